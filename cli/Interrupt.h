// Ctrl-C, SIGTERM and SIGHUP (a `timeout`, a closed terminal, a service
// manager), or on Windows Ctrl-C, Ctrl-Break and a closed console: the
// handler only raises a flag; every session checks it at its next wait and
// ends there, so that ports and sockets are closed in order, the summary of
// what was done is printed and the history records it.
#pragma once

// Installs the handler for SIGINT, SIGTERM and SIGHUP (for the console's
// events on Windows). A closed standard output (SIGPIPE) ends nothing:
// printing fails, the update goes on and is recorded.
void InstallInterruptHandler();

// While one lives, a signal ends the program at once with 128 + its number:
// for waits that hold nothing to close or record (the history read, name
// lookups, a busy history lock).
class TExitAtOnceOnSignal {
public:
    TExitAtOnceOnSignal();
    ~TExitAtOnceOnSignal();
    TExitAtOnceOnSignal(const TExitAtOnceOnSignal&) = delete;
    TExitAtOnceOnSignal& operator=(const TExitAtOnceOnSignal&) = delete;
};
// The same for a wait that a callback brackets (true as it starts, false as
// it ends): another program's lock on the history may be held for as long as
// it likes.
void ExitAtOnceOnSignal(bool atOnce);
bool Interrupted();
// 128 + the number of the signal that interrupted the run (130 for Ctrl-C),
// on Windows too.
int InterruptedExitStatus();
