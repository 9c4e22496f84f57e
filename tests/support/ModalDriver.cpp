#include "tests/support/ModalDriver.h"

#include <QAbstractButton>
#include <QApplication>

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

void ModalDriver::AnswerOpenBox()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible())
        return;
    boxes_.push_back({box->windowTitle(), box->text(), box->icon()});
    QAbstractButton* button = box->button(answer_);
    if (button == nullptr)
        button = box->button(QMessageBox::Ok);
    if (button != nullptr)
        button->click();
    else
        box->reject();
}
