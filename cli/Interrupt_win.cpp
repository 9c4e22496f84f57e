#include "cli/Interrupt.h"

#include "cli/Interrupt_p.h"

#include <windows.h>

namespace {

// The console's events end the run with the status of the POSIX signal that
// means the same, so that a script reads the ending alike everywhere:
// Ctrl-C is SIGINT (130); Ctrl-Break, a logoff and a shutdown are asks to
// stop, as SIGTERM (143) is; a closed console window is a hung-up terminal,
// SIGHUP (129).
constexpr int CtrlCStatus = SignalExitBase + 2;
constexpr int StopStatus = SignalExitBase + 15;
constexpr int HangUpStatus = SignalExitBase + 1;

int StatusFor(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        return CtrlCStatus;
    case CTRL_CLOSE_EVENT:
        return HangUpStatus;
    default:
        return StopStatus;
    }
}

// Windows ends the program as soon as the handler returns from these.
bool EndsProgram(DWORD event)
{
    return event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
}

// Runs on a thread Windows starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event)
{
    EndRunOnRequest(StatusFor(event));
    // Holding this thread gives the run the few seconds Windows grants to
    // stop its boards, record them and exit with its own status.
    if (EndsProgram(event))
        ::Sleep(INFINITE);
    return TRUE;
}

} // namespace

// A program started in a process group of its own ignores Ctrl-C until it
// asks for it again; its handler is installed whatever it inherited, as a
// signal's handler is.
void InstallInterruptHandler()
{
    ::SetConsoleCtrlHandler(nullptr, FALSE);
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}
