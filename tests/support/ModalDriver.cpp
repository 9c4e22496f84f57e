#include "tests/support/ModalDriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>

ModalDriver::ModalDriver(QMessageBox::StandardButton answer) : answer_(answer)
{
    timer_.setInterval(2);
    QObject::connect(&timer_, &QTimer::timeout, [this] { AnswerOpenBox(); });
    timer_.start();
}

ModalDriver::~ModalDriver()
{
    timer_.stop();
}

void ModalDriver::AnswerFileDialog(QFileDialog* dialog)
{
    auto* nameField = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    fileDialogs_.push_back({nameField != nullptr ? nameField->text() : QString(), dialog->nameFilters()});
    if (files_.isEmpty()) {
        dialog->reject();
        return;
    }
    // Typed into the name field, as an operator would.
    QStringList quoted;
    for (const QString& file : files_)
        quoted << QLatin1Char('"') + file + QLatin1Char('"');
    if (nameField != nullptr)
        nameField->setText(files_.size() == 1 ? files_.first() : quoted.join(QLatin1Char(' ')));
    QMetaObject::invokeMethod(dialog, "accept");
}

void ModalDriver::AnswerOpenBox()
{
    if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget()); dialog && dialog->isVisible()) {
        AnswerFileDialog(dialog);
        return;
    }
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible())
        return;
    boxes_.push_back({box->windowTitle(), box->text(), box->icon()});
    QAbstractButton* button = box->button(answer_);
    if (button == nullptr)
        button = box->button(QMessageBox::Ok);
    if (button == nullptr)
        button = box->button(questionAnswer_);
    if (button != nullptr)
        button->click();
    else
        box->reject();
}
