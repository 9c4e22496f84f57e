#include "serial/CPortDevice.h"

#include <fcntl.h>
#include <linux/major.h>
#include <linux/serial.h>
#include <sys/sysmacros.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cerrno>
#include <chrono>
#include <limits>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// The COMn names an operator chooses from, and the device each stands for when
// the working directory has no entry of that name.
constexpr int FirstComNumber = 1;
constexpr int LastComNumber = 4;
constexpr const char* ComPrefix = "COM";
constexpr const char* ComDevicePrefix = "/dev/ttyS";

// The rates termios can express.
constexpr std::array<std::pair<std::int32_t, speed_t>, 26> TermiosRates = {{
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200},
    {300, B300}, {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400},
    {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800},
    {500000, B500000}, {576000, B576000}, {921600, B921600}, {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
}};

constexpr std::array<tcflag_t, 4> CharacterSizes = {CS5, CS6, CS7, CS8};

// Runs a system call again for as long as a signal interrupts it.
template <typename Call>
auto RetryOnSignal(Call call)
{
    for (;;) {
        auto result = call();
        if (result != -1 || errno != EINTR)
            return result;
    }
}

// The errno of a call that a device may simply not offer (a pseudo-terminal
// has neither modem lines nor error counters).
bool NotOffered(int error)
{
    return error == ENOTTY || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

[[noreturn]] void Fail(std::int32_t code, int error)
{
    throw EComPort(code, error);
}

// Waits until `events` are ready on `handle` or the deadline has passed.
// Returns the ready events, 0 at the deadline; errno on failure.
int WaitReady(int handle, short events, Deadline deadline)
{
    for (;;) {
        int timeoutMs = -1;
        if (deadline) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0)
                return 0;
            timeoutMs = static_cast<int>(left.count());
        }
        pollfd entry{handle, events, 0};
        int ready = ::poll(&entry, 1, timeoutMs);
        if (ready > 0)
            return entry.revents;
        if (ready < 0 && errno != EINTR)
            return -1;
    }
}

constexpr short HangUpEvents = POLLERR | POLLHUP | POLLNVAL;

// A failure after some bytes went through returns those; the next call
// reports it.
std::int32_t DoneOrFail(std::int32_t done, std::int32_t code, int error)
{
    if (done == 0)
        Fail(code, error);
    return done;
}

// Moves `count` bytes with `transferRest(done)` (a read or write of what is
// left), waiting for the device to be ready in `direction` between partial
// transfers until `deadlineFor(done)` has passed.
template <typename TransferRest, typename DeadlineFor>
std::int32_t TransferBytes(int handle, std::int32_t count, short direction, std::int32_t failCode,
                           TransferRest transferRest, DeadlineFor deadlineFor)
{
    std::int32_t done = 0;
    bool hungUp = false;
    while (done < count) {
        ssize_t moved = RetryOnSignal([&] { return transferRest(done); });
        if (moved > 0) {
            done += static_cast<std::int32_t>(moved);
            continue;
        }
        if (moved == -1 && errno != EAGAIN)
            return DoneOrFail(done, failCode, errno);
        // A hung-up device stays "ready" and moves nothing: waiting again
        // would never end.
        if (hungUp)
            return DoneOrFail(done, failCode, EIO);
        int ready = WaitReady(handle, direction, deadlineFor(done));
        if (ready == 0)
            break;
        if (ready == -1)
            return DoneOrFail(done, failCode, errno);
        hungUp = (ready & HangUpEvents) != 0;
    }
    return done;
}

// The longest wait one request makes; a product of two time-out values may go
// far beyond it (and beyond what the clock can count).
constexpr std::int64_t LongestWaitMs = std::numeric_limits<std::int32_t>::max();

Deadline DeadlineAfter(std::int64_t milliseconds)
{
    return Clock::now() + std::chrono::milliseconds(std::min(milliseconds, LongestWaitMs));
}

Deadline WriteDeadline(const TComTimeoutValues& timeouts, std::int32_t count)
{
    std::int64_t total = std::int64_t{timeouts.WriteTotalMultiplier} * count + timeouts.WriteTotalConstant;
    if (total == 0)
        return std::nullopt;
    return DeadlineAfter(total);
}

std::optional<speed_t> TermiosSpeed(std::int32_t bitsPerSecond)
{
    for (const auto& [rate, speed] : TermiosRates) {
        if (rate == bitsPerSecond)
            return speed;
    }
    return std::nullopt;
}

// The settings termios has no way to express.
bool Expressible(const TComLineSettings& settings)
{
    bool handshakeRTS = settings.flow.ControlRTS == rtsHandshake;
    return settings.stopBits != sbOne5StopBits && !settings.discardNull && !settings.flow.OutDSRFlow
           && !settings.flow.DSRSensitivity && settings.flow.ControlDTR != dtrHandshake
           && settings.flow.ControlRTS != rtsToggle && settings.flow.OutCTSFlow == handshakeRTS
           && !(settings.parity.Check && settings.parity.Replace && settings.parity.ReplaceChar != 0);
}

void MakeRaw(termios& state)
{
    state.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL
                                            | IXON | IXOFF | IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
    state.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    state.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    state.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    state.c_cflag |= CREAD | CLOCAL;
    // A read returns at once with what is there; the time-outs are the driver's.
    state.c_cc[VMIN] = 0;
    state.c_cc[VTIME] = 0;
}

tcflag_t ParityFlags(TParityBits parity)
{
    switch (parity) {
    case prOdd: return PARENB | PARODD;
    case prEven: return PARENB;
    case prMark: return PARENB | PARODD | CMSPAR;
    case prSpace: return PARENB | CMSPAR;
    case prNone: break;
    }
    return 0;
}

void BuildLineState(termios& state, const TComLineSettings& settings, speed_t speed)
{
    MakeRaw(state);
    ::cfsetispeed(&state, speed);
    ::cfsetospeed(&state, speed);
    state.c_cflag |= CharacterSizes[settings.dataBits] | ParityFlags(settings.parity.Bits);
    if (settings.stopBits == sbTwoStopBits)
        state.c_cflag |= CSTOPB;
    // A byte with a parity error arrives as 0.
    if (settings.parity.Check)
        state.c_iflag |= INPCK;
    if (settings.flow.OutCTSFlow)
        state.c_cflag |= CRTSCTS;
    if (settings.flow.XonXoffOut)
        state.c_iflag |= IXON;
    if (settings.flow.XonXoffIn)
        state.c_iflag |= IXOFF;
    state.c_cc[VSTART] = static_cast<cc_t>(settings.flow.XonChar);
    state.c_cc[VSTOP] = static_cast<cc_t>(settings.flow.XoffChar);
}

// Raises or drops one modem output line; a device without modem lines keeps
// none to set.
void SetModemLine(int handle, int line, bool on)
{
    int request = on ? TIOCMBIS : TIOCMBIC;
    if (RetryOnSignal([&] { return ::ioctl(handle, request, &line); }) == -1 && !NotOffered(errno))
        Fail(ecSetState, errno);
}

// The device numbers of pseudo-terminal slaves: the Unix 98 ones and the
// legacy BSD ones.
bool IsPseudoTerminal(int handle)
{
    struct stat entry {};
    if (::fstat(handle, &entry) == -1 || !S_ISCHR(entry.st_mode))
        return false;
    const unsigned int number = ::major(entry.st_rdev);
    return number == PTY_SLAVE_MAJOR
           || (number >= UNIX98_PTY_SLAVE_MAJOR && number < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT);
}

// A pseudo-terminal always carries 8 data bits without parity, whatever it
// was asked for.
bool SizeTaken(const termios& requested, const termios& applied, bool pseudoTerminal)
{
    const tcflag_t size = applied.c_cflag & CSIZE;
    if (size == (requested.c_cflag & CSIZE))
        return true;
    return pseudoTerminal && size == CS8 && (applied.c_cflag & PARENB) == 0;
}

bool IsComName(const std::string& name, int& number)
{
    const std::string prefix = ComPrefix;
    if (name.size() != prefix.size() + 1 || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    number = name.back() - '0';
    return number >= FirstComNumber && number <= LastComNumber;
}

} // namespace

const std::int32_t NotOpenError = EBADF;
const std::int32_t InvalidValueError = EINVAL;

std::vector<std::int32_t> DriverBaudRates()
{
    std::vector<std::int32_t> rates;
    for (const auto& [rate, speed] : TermiosRates)
        rates.push_back(rate);
    return rates;
}

std::string ComDevicePath(const std::string& name)
{
    int number = 0;
    if (!IsComName(name, number))
        return name;
    struct stat entry {};
    if (::lstat(name.c_str(), &entry) == 0)
        return "./" + name;
    return ComDevicePrefix + std::to_string(number - FirstComNumber);
}

std::string ComDeviceName(const std::string& name)
{
    return ComDevicePath(name);
}

std::unique_ptr<TComDevice> TComDevice::Open(const std::string& name)
{
    const std::string path = ComDevicePath(name);
    int handle = RetryOnSignal([&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (handle == -1)
        Fail(ecOpen, errno);
    // Exclusive: a lock other openers of the port test, and the terminal's own
    // exclusive mode for those that do not.
    int error = 0;
    if (!::isatty(handle))
        error = ENOTTY;
    else if (RetryOnSignal([&] { return ::flock(handle, LOCK_EX | LOCK_NB); }) == -1)
        error = errno;
    else if (::ioctl(handle, TIOCEXCL) == -1)
        error = errno;
    if (error != 0) {
        ::close(handle);
        Fail(ecOpen, error);
    }
    return std::unique_ptr<TComDevice>(new TComDevice(handle));
}

TComDevice::TComDevice(int handle) : handle_(handle), pseudoTerminal_(IsPseudoTerminal(handle))
{
    RequestLowLatency();
}

std::string TComDevice::Path() const
{
    std::array<char, PATH_MAX> name{};
    return ::ttyname_r(handle_, name.data(), name.size()) == 0 ? std::string(name.data()) : std::string();
}

TComDevice::~TComDevice()
{
    RestoreSerialFlags();
    ::ioctl(handle_, TIOCNXCL);
    ::close(handle_);
}

// A serial driver then hands received bytes on at once instead of batching
// them, which shortens each request-answer round trip. A device that keeps no
// serial flags, or refuses the change, works as it is.
void TComDevice::RequestLowLatency()
{
    serial_struct serial{};
    if (::ioctl(handle_, TIOCGSERIAL, &serial) == -1)
        return;
    const int flags = serial.flags;
    serial.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(handle_, TIOCSSERIAL, &serial) == 0)
        savedSerialFlags_ = flags;
}

void TComDevice::RestoreSerialFlags()
{
    serial_struct serial{};
    if (!savedSerialFlags_ || ::ioctl(handle_, TIOCGSERIAL, &serial) == -1)
        return;
    serial.flags = *savedSerialFlags_;
    ::ioctl(handle_, TIOCSSERIAL, &serial);
}

void TComDevice::SetQueueSizes(std::int32_t inputSize, std::int32_t outputSize)
{
    // The kernel sizes a terminal's queues itself; the driver only checks that
    // the requested sizes are usable, as its 80 % mark and XON/XOFF thresholds
    // come from them.
    if (!QueueSizesUsable(inputSize, outputSize))
        Fail(ecSetup, EINVAL);
}

void TComDevice::SetLineState(const TComLineSettings& settings)
{
    std::optional<speed_t> speed = TermiosSpeed(settings.bitsPerSecond);
    if (!speed || !Expressible(settings))
        Fail(ecSetState, EINVAL);
    termios previous{};
    if (::tcgetattr(handle_, &previous) == -1)
        Fail(ecSetState, errno);
    termios state = previous;
    BuildLineState(state, settings, *speed);
    // A device may keep what it cannot take (a pseudo-terminal always carries
    // 8 data bits without parity), as a device without modem lines keeps none.
    // The C library reports that as EINVAL when nothing at all changed; every
    // value the driver asks for has been checked above, and the read-back
    // below tells what the device took.
    if (RetryOnSignal([&] { return ::tcsetattr(handle_, TCSANOW, &state); }) == -1 && errno != EINVAL)
        Fail(ecSetState, errno);
    termios applied{};
    if (::tcgetattr(handle_, &applied) == -1)
        Fail(ecSetState, errno);
    if (::cfgetospeed(&applied) != *speed || !SizeTaken(state, applied, pseudoTerminal_)) {
        RetryOnSignal([&] { return ::tcsetattr(handle_, TCSANOW, &previous); });
        Fail(ecSetState, EINVAL);
    }
    SetModemLine(handle_, TIOCM_DTR, settings.flow.ControlDTR == dtrEnable);
    // Under RTS handshake the kernel drives RTS itself.
    if (settings.flow.ControlRTS != rtsHandshake)
        SetModemLine(handle_, TIOCM_RTS, settings.flow.ControlRTS == rtsEnable);
}

void TComDevice::SetTimeouts(const TComTimeoutValues& timeouts)
{
    if (!TimeoutsValid(timeouts))
        Fail(ecSetTimeouts, EINVAL);
    timeouts_ = timeouts;
}

std::int32_t TComDevice::Read(std::uint8_t* buffer, std::int32_t count)
{
    const TComTimeoutValues& t = timeouts_;
    bool immediate = t.ReadInterval == NoReadInterval && t.ReadTotalMultiplier == 0
                     && t.ReadTotalConstant == 0;
    std::int64_t total = std::int64_t{t.ReadTotalMultiplier} * count + t.ReadTotalConstant;
    Deadline totalDeadline = total > 0 ? DeadlineAfter(total) : std::nullopt;
    auto deadlineFor = [&](std::int32_t done) -> Deadline {
        if (immediate)
            return Clock::now();
        if (t.ReadInterval <= 0 || done == 0)
            return totalDeadline;
        Deadline interval = DeadlineAfter(t.ReadInterval);
        return totalDeadline && *totalDeadline < *interval ? totalDeadline : interval;
    };
    auto readRest = [&](std::int32_t done) {
        return ::read(handle_, buffer + done, static_cast<std::size_t>(count - done));
    };
    return TransferBytes(handle_, count, POLLIN, ecRead, readRest, deadlineFor);
}

std::int32_t TComDevice::Write(const std::uint8_t* buffer, std::int32_t count)
{
    auto writeRest = [&](std::int32_t done) {
        return ::write(handle_, buffer + done, static_cast<std::size_t>(count - done));
    };
    // The clock is read only when the line is full: the frames go out a byte
    // a write, and most writes never wait.
    std::optional<Deadline> deadline;
    return TransferBytes(handle_, count, POLLOUT, ecWrite, writeRest, [&](std::int32_t) {
        if (!deadline)
            deadline = WriteDeadline(timeouts_, count);
        return *deadline;
    });
}

std::int32_t TComDevice::InputCount()
{
    TakeErrors(false);
    int waiting = 0;
    if (::ioctl(handle_, FIONREAD, &waiting) == -1)
        Fail(ecClearError, errno);
    return waiting;
}

TComErrors TComDevice::TakeErrors(bool parityCheck)
{
    const std::lock_guard lock(countersLock_);
    errno = 0;
    std::optional<TComCounters> now = ReadLineCounters(handle_);
    if (!now) {
        if (errno != 0 && !NotOffered(errno))
            Fail(ecClearError, errno);
        return {};
    }
    TComErrors errors;
    if (now->frame != seenCounters_.frame)
        errors.Include(erFrame);
    if (parityCheck && now->parity != seenCounters_.parity)
        errors.Include(erParity);
    if (now->overrun != seenCounters_.overrun)
        errors.Include(erOverrun);
    if (now->breaks != seenCounters_.breaks)
        errors.Include(erBreak);
    if (now->rxOverflow != seenCounters_.rxOverflow)
        errors.Include(erRxOverflow);
    seenCounters_ = *now;
    return errors;
}

std::optional<std::int32_t> TComDevice::OutputCount()
{
    return OutputQueueCount(handle_);
}

std::optional<TComCounters> ReadLineCounters(int handle)
{
    serial_icounter_struct counters{};
    if (::ioctl(handle, TIOCGICOUNT, &counters) == -1)
        return std::nullopt;
    return TComCounters{counters.frame, counters.parity, counters.overrun, counters.brk, counters.buf_overrun};
}

std::optional<TComSignals> ReadModemLines(int handle)
{
    int lines = 0;
    if (::ioctl(handle, TIOCMGET, &lines) == -1) {
        if (NotOffered(errno))
            return std::nullopt;
        Fail(ecModemStatus, errno);
    }
    TComSignals present;
    if ((lines & TIOCM_CTS) != 0)
        present.Include(csCTS);
    if ((lines & TIOCM_DSR) != 0)
        present.Include(csDSR);
    if ((lines & TIOCM_RNG) != 0)
        present.Include(csRing);
    if ((lines & TIOCM_CAR) != 0)
        present.Include(csRLSD);
    return present;
}

std::optional<std::int32_t> InputQueueCount(int handle)
{
    int waiting = 0;
    if (::ioctl(handle, FIONREAD, &waiting) == -1)
        return std::nullopt;
    return waiting;
}

std::optional<std::int32_t> OutputQueueCount(int handle)
{
    int queued = 0;
    if (::ioctl(handle, TIOCOUTQ, &queued) == -1)
        return std::nullopt;
    return queued;
}

void PurgeQueues(int handle)
{
    ::tcflush(handle, TCIOFLUSH);
}
