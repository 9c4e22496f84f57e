#include "app/Application.h"

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
