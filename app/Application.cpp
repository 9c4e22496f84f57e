#include "app/Application.h"

namespace {
bool Terminating = false;
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName(ProgramName);
}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowException(error);
    } catch (...) {
        ShowException(std::runtime_error("Unknown error"));
    }
    return false;
}

void TerminateProgram()
{
    Terminating = true;
    QCoreApplication::quit();
}

bool ProgramTerminating()
{
    return Terminating;
}

void ResetProgramTermination()
{
    Terminating = false;
}

void ProcessMessages()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (Terminating)
        throw EAbort();
}
