#include "transfer/engine/LinkWake.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

// An event descriptor: one counter, written by a signal, read to zero by an
// emptying, with nothing to flush in between.
namespace LinkWake {

int Make()
{
    return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void Signal(int wake)
{
    const std::uint64_t one = 1;
    while (wake != -1 && ::write(wake, &one, sizeof one) == -1 && errno == EINTR) {
    }
}

void Empty(int wake)
{
    std::uint64_t count = 0;
    while (wake != -1 && ::read(wake, &count, sizeof count) == -1 && errno == EINTR) {
    }
}

void Close(int wake)
{
    if (wake != -1)
        ::close(wake);
}

} // namespace LinkWake
