#include "tools/boardsim/SerialLine.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cstdlib>

#include "tools/boardsim/SystemError.h"

namespace boardsim {

namespace {

constexpr std::size_t ReadChunk = 4096;
constexpr std::size_t PathSize = 256;
constexpr std::uint32_t BitsPerByte = 10;  // 8N1: start bit, 8 data bits, stop bit
// How far the paced line may fall behind the clock before it stops catching
// up: longer than a wake-up of the poll loop (milliseconds) and than one
// byte, so that pacing holds the line's rate, and short, so that an idle line
// saves up no burst.
constexpr auto CatchUpWindow = std::chrono::milliseconds(10);

int OpenMaster()
{
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0) {
        ThrowSystemError("open a pseudo-terminal");
    }
    return fd;
}

void MakeRaw(int slave)
{
    termios settings{};
    if (::tcgetattr(slave, &settings) != 0) {
        ThrowSystemError("read the pseudo-terminal's settings");
    }
    // No echo and no translation of line ends: the line carries binary frames.
    ::cfmakeraw(&settings);
    if (::tcsetattr(slave, TCSANOW, &settings) != 0) {
        ThrowSystemError("make the pseudo-terminal raw");
    }
}

void MakeLink(const std::filesystem::path& link, const std::string& target)
{
    std::error_code error;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(link, error))) {
        std::filesystem::remove(link);
    }
    std::filesystem::create_symlink(target, link);
}

}  // namespace

SerialLine::SerialLine(const std::optional<std::filesystem::path>& link, std::uint32_t baud)
{
    master_ = OpenMaster();
    std::array<char, PathSize> name{};
    if (::ptsname_r(master_, name.data(), name.size()) != 0) {
        ::close(master_);
        ThrowSystemError("name the pseudo-terminal");
    }
    path_ = name.data();
    try {
        slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) {
            ThrowSystemError("open " + path_);
        }
        MakeRaw(slave_);
        if (::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK) != 0) {
            ThrowSystemError("make the pseudo-terminal non-blocking");
        }
        if (link) {
            MakeLink(*link, path_);
            link_ = link;
        }
    } catch (...) {
        if (slave_ >= 0) {
            ::close(slave_);
        }
        ::close(master_);
        throw;
    }
    if (baud != 0) {
        byteTime_ = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(BitsPerByte)) / baud;
        catchUp_ = std::max<Clock::duration>(CatchUpWindow, *byteTime_);
    }
}

SerialLine::~SerialLine()
{
    if (link_) {
        std::error_code ignored;
        std::filesystem::remove(*link_, ignored);
    }
    ::close(slave_);
    ::close(master_);
}

std::size_t SerialLine::Allowance(Clock::time_point now) const
{
    if (!byteTime_) {
        return ReadChunk;
    }
    const Clock::time_point clock = std::max(lineClock_, now - catchUp_);
    return std::min<std::size_t>(ReadChunk, static_cast<std::size_t>((now - clock) / *byteTime_));
}

short SerialLine::Events(Clock::time_point now) const
{
    short events = 0;
    if (Allowance(now) > 0) {
        events |= POLLIN;
    }
    if (outbox_.HasDue(now)) {
        events |= POLLOUT;
    }
    return events;
}

std::optional<Clock::time_point> SerialLine::NextWake(Clock::time_point now) const
{
    std::optional<Clock::time_point> wake = outbox_.NextDue();
    if (Allowance(now) == 0) {
        const Clock::time_point nextByte = lineClock_ + *byteTime_;
        wake = wake ? std::min(*wake, nextByte) : nextByte;
    }
    return wake;
}

Bytes SerialLine::Read(Clock::time_point now)
{
    Bytes buffer(Allowance(now));
    if (buffer.empty()) {
        return buffer;
    }
    ssize_t got = -1;
    do {
        got = ::read(master_, buffer.data(), buffer.size());
    } while (got < 0 && errno == EINTR);
    // EIO: no side holds the line open; EAGAIN: nothing waiting after all.
    if (got < 0 && (errno == EAGAIN || errno == EIO)) {
        got = 0;
    } else if (got < 0) {
        ThrowSystemError("read " + path_);
    }
    buffer.resize(static_cast<std::size_t>(got));
    if (byteTime_) {
        lineClock_ = std::max(lineClock_, now - catchUp_) + *byteTime_ * got;
    }
    return buffer;
}

void SerialLine::Send(const std::vector<Transmission>& pieces, Clock::time_point now)
{
    outbox_.Schedule(pieces, now, master_);
}

void SerialLine::Flush(Clock::time_point now)
{
    while (outbox_.HasDue(now)) {
        Bytes& bytes = outbox_.Front().bytes;
        if (bytes.empty()) {
            outbox_.Pop();
            continue;
        }
        const ssize_t written = ::write(master_, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno == EAGAIN) {
            return;  // the updater is not reading: wait for room
        }
        if (written < 0) {
            ThrowSystemError("write " + path_);
        }
        bytes.erase(bytes.begin(), bytes.begin() + written);
    }
}

}  // namespace boardsim
