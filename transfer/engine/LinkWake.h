// What wakes a link's wait when the link is cancelled: a descriptor that
// turns readable once signalled and stays so until emptied, so that a wait
// begun after the cancel still ends at once. The waits watch it beside the
// board's socket or port, in the kernel (poll, epoll, select) or in Qt's
// event loop (a socket notifier).
#pragma once

namespace LinkWake {

// A new wake, not signalled; -1 when the system has none to give.
int Make();
// Makes the wake readable. Safe in a signal handler (Linux) and on a console
// handler's thread (Windows); a wake of -1 is ignored.
void Signal(int wake);
// Makes it unreadable again.
void Empty(int wake);
void Close(int wake);

} // namespace LinkWake
