#include "tests/support/ModalDriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>

namespace {

// A box is answered as soon as its own event loop runs; the timer is only a
// backstop for a dialog whose showing the watcher missed.
constexpr int BackstopMs = 50;

} // namespace

ModalDriver::ModalDriver(QMessageBox::StandardButton answer) : answer_(answer)
{
    timer_.setInterval(BackstopMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { AnswerOpenBox(); });
    timer_.start();
    QApplication::instance()->installEventFilter(&watcher_);
}

ModalDriver::~ModalDriver()
{
    QApplication::instance()->removeEventFilter(&watcher_);
    timer_.stop();
}

bool ModalDriver::ShowWatcher::eventFilter(QObject* watched, QEvent* event)
{
    // The receiver is looked at before the event: events that the serial
    // port's thread posts pass through here too, and their hand-over to this
    // thread is made visible to ThreadSanitizer only once their own receiver
    // takes them.
    if (qobject_cast<QDialog*>(watched) != nullptr && event->type() == QEvent::Show)
        QTimer::singleShot(0, this, [this] { driver_.AnswerOpenBox(); });
    return false;
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
