#include "tests/serial/DeviceShim.h"

#include <dlfcn.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

std::atomic<bool> serving{false};
std::atomic<dev_t> servedDevice{0};
std::atomic<int> modemLines{0};
std::atomic<bool> framingErrorsGrow{false};
std::atomic<int> framingErrors{0};
std::atomic<int> serialFlags{0};
std::atomic<speed_t> keptSpeed{0};
std::atomic<tcflag_t> keptSize{0};

// The held output: how long a write stays queued, when the last one ends its
// hold (steady clock, nanoseconds), and how many bytes are held.
std::atomic<int> holdMs{0};
std::atomic<long long> heldUntil{0};
std::atomic<long> heldBytes{0};
std::atomic<bool> closedWhileQueued{false};
const char* reportPath = nullptr;  // set once, at load

std::atomic<long> modemLineReads{0};
std::atomic<long> modemLineWaits{0};
std::atomic<long> counterReads{0};
std::atomic<long> serialFlagReads{0};
std::atomic<long> serialFlagSets{0};
std::atomic<long> writeWaitsRunOut{0};
// A gate the reads of the error counters wait at while it is shut.
std::atomic<bool> counterReadsHeld{false};
std::atomic<long> counterReadsWaiting{0};
constexpr auto GatePoll = std::chrono::milliseconds(1);

template <typename Function>
Function Next(const char* name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

bool Served(int handle)
{
    if (!serving.load())
        return false;
    struct stat entry {};
    return ::fstat(handle, &entry) == 0 && S_ISCHR(entry.st_mode) && entry.st_rdev == servedDevice.load();
}

long long Now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool OutputHeld() { return holdMs.load() > 0 && Now() < heldUntil.load(); }

void HoldWritten(long count)
{
    if (holdMs.load() <= 0 || count <= 0)
        return;
    if (!OutputHeld())
        heldBytes.store(0);
    heldBytes += count;
    heldUntil.store(Now() + std::chrono::nanoseconds(std::chrono::milliseconds(holdMs.load())).count());
}

void ReportClose()
{
    if (OutputHeld())
        closedWhileQueued.store(true);
    if (reportPath == nullptr)
        return;
    if (std::FILE* report = std::fopen(reportPath, "w")) {
        std::fputs(closedWhileQueued.load() ? ShimClosedQueued : ShimClosedDrained, report);
        std::fclose(report);
    }
}

// The answer to a request the pseudo-terminal lacks; false for the others.
bool Answer(unsigned long request, void* argument)
{
    switch (request) {
    case TIOCOUTQ:
        if (!OutputHeld())
            return false;
        *static_cast<int*>(argument) = static_cast<int>(heldBytes.load());
        return true;
    case TIOCMGET:
        ++modemLineReads;
        *static_cast<int*>(argument) = modemLines.load();
        return true;
    case TIOCMIWAIT:
        ++modemLineWaits;
        return true;
    case TIOCGICOUNT: {
        ++counterReads;
        ++counterReadsWaiting;
        while (counterReadsHeld.load())
            std::this_thread::sleep_for(GatePoll);
        --counterReadsWaiting;
        auto* counters = static_cast<serial_icounter_struct*>(argument);
        std::memset(counters, 0, sizeof *counters);
        counters->frame = framingErrorsGrow.load() ? ++framingErrors : framingErrors.load();
        return true;
    }
    case TIOCGSERIAL: {
        ++serialFlagReads;
        auto* serial = static_cast<serial_struct*>(argument);
        std::memset(serial, 0, sizeof *serial);
        serial->flags = serialFlags.load();
        return true;
    }
    case TIOCSSERIAL:
        ++serialFlagSets;
        serialFlags.store(static_cast<const serial_struct*>(argument)->flags);
        return true;
    default:
        return false;
    }
}

} // namespace

extern "C" {

int ioctl(int handle, unsigned long request, ...) noexcept
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (Served(handle) && Answer(request, argument))
        return 0;
    static const auto system = Next<int (*)(int, unsigned long, ...)>("ioctl");
    return system(handle, request, argument);
}

int tcgetattr(int handle, termios* state) noexcept
{
    static const auto system = Next<int (*)(int, termios*)>("tcgetattr");
    const int result = system(handle, state);
    if (result != 0 || !Served(handle))
        return result;
    if (const speed_t speed = keptSpeed.load(); speed != 0) {
        ::cfsetospeed(state, speed);
        ::cfsetispeed(state, speed);
    }
    if (const tcflag_t size = keptSize.load(); size != 0)
        state->c_cflag = (state->c_cflag & ~static_cast<tcflag_t>(CSIZE)) | size;
    return result;
}

ssize_t write(int handle, const void* buffer, size_t count)
{
    static const auto system = Next<ssize_t (*)(int, const void*, size_t)>("write");
    const ssize_t written = system(handle, buffer, count);
    if (written > 0 && holdMs.load() > 0 && Served(handle))
        HoldWritten(written);
    return written;
}

int poll(pollfd* entries, nfds_t count, int timeoutMs)
{
    static const auto system = Next<int (*)(pollfd*, nfds_t, int)>("poll");
    const int ready = system(entries, count, timeoutMs);
    if (ready == 0 && count == 1 && entries[0].events == POLLOUT && Served(entries[0].fd))
        ++writeWaitsRunOut;
    return ready;
}

int close(int handle)
{
    static const auto system = Next<int (*)(int)>("close");
    if (Served(handle))
        ReportClose();
    return system(handle);
}

void ShimServe(const char* path)
{
    serving.store(false);
    for (auto* count : {&modemLineReads, &modemLineWaits, &counterReads, &serialFlagReads, &serialFlagSets,
                        &writeWaitsRunOut})
        count->store(0);
    modemLines.store(0);
    framingErrorsGrow.store(false);
    framingErrors.store(0);
    serialFlags.store(0);
    keptSpeed.store(0);
    keptSize.store(0);
    holdMs.store(0);
    heldUntil.store(0);
    heldBytes.store(0);
    closedWhileQueued.store(false);
    struct stat entry {};
    if (path == nullptr || ::stat(path, &entry) != 0)
        return;
    servedDevice.store(entry.st_rdev);
    serving.store(true);
}

ShimCallCounts ShimCalls()
{
    return {modemLineReads.load(), modemLineWaits.load(), counterReads.load(), serialFlagReads.load(),
            serialFlagSets.load(), writeWaitsRunOut.load()};
}

void ShimSetModemLines(int lines) { modemLines.store(lines); }
void ShimSetFramingErrorsGrow(bool grow) { framingErrorsGrow.store(grow); }
void ShimSetSerialFlags(int flags) { serialFlags.store(flags); }
int ShimSerialFlags() { return serialFlags.load(); }
void ShimKeepSpeed(speed_t speed) { keptSpeed.store(speed); }
void ShimKeepCharacterSize(tcflag_t size) { keptSize.store(size); }
void ShimHoldOutput(int milliseconds) { holdMs.store(milliseconds); }
bool ShimClosedWhileQueued() { return closedWhileQueued.load(); }
void ShimHoldCounterReads(bool hold) { counterReadsHeld.store(hold); }
long ShimCounterReadsWaiting() { return counterReadsWaiting.load(); }
}

namespace {

// A child process (the updater run by a test) is configured at load.
[[gnu::constructor]] void ServeFromTheEnvironment()
{
    const char* path = std::getenv("ORVENDA_SHIM_SERVE");
    if (path == nullptr)
        return;
    ShimServe(path);
    if (const char* hold = std::getenv("ORVENDA_SHIM_HOLD_MS"))
        ShimHoldOutput(std::atoi(hold));
    if (const char* report = std::getenv("ORVENDA_SHIM_REPORT"))
        reportPath = report;  // the environment outlives the process's calls
}

} // namespace
