// The application object: the standard error report around every event, and
// the program's end.
#pragma once

#include <QApplication>
#include <exception>

#include "app/Feedback.h"

class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);

    // Every exception that ends a handler lands here and is reported; the
    // program keeps running.
    bool notify(QObject* receiver, QEvent* event) override;
};

// SIGTERM and SIGHUP (a session's end, a service manager, `kill`), or on
// Windows the session's end (a logoff, a shutdown), close `window` as the
// operator would: an update under way ends stopped and is recorded before
// the program ends.
void CloseOnTermination(QWidget* window);

// Runs a piece of start-up or handler code under the standard error report.
template <typename Operation>
void RunReported(Operation&& operation)
{
    try {
        operation();
    } catch (const std::exception& error) {
        ShowException(error);
    }
}

// Connects a signal to a handler of a window so that the handler runs under
// the standard error report: an error ends the handler, is shown, and never
// unwinds through the toolkit's signal dispatch.
template <typename Sender, typename Signal, typename Window>
void ConnectReported(Sender* sender, Signal signal, Window* window, void (Window::*handler)())
{
    QObject::connect(sender, signal, window, [window, handler] { RunReported([&] { (window->*handler)(); }); });
}
