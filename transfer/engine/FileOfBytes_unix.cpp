#include "transfer/engine/FileOfBytes.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol/RuntimeErrors.h"

namespace {

// The runtime's own error numbers for the errors it names.
constexpr int ErrorFileNotFound = 2;
constexpr int ErrorAccessDenied = 5;
constexpr int ErrorInvalidName = 123;

constexpr std::int64_t NanosecondsPerSecond = 1'000'000'000;

// Raised for a folder, a device, a pipe or a socket: reading one would
// never stop, block, or tell nothing, so only regular files are opened.
[[noreturn]] void RaiseNotRegularFile(const std::string& path)
{
    throw EInOutError("'" + path + "' is not a regular file", ErrorAccessDenied);
}

std::int64_t Nanoseconds(const timespec& time)
{
    return static_cast<std::int64_t>(time.tv_sec) * NanosecondsPerSecond + time.tv_nsec;
}

int Descriptor(std::intptr_t handle)
{
    return static_cast<int>(handle);
}

} // namespace

void RaiseInOutError(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        throw EInOutError("File not found", ErrorFileNotFound);
    case EACCES:
    case EPERM:
    case EISDIR:
        throw EInOutError("File access denied", ErrorAccessDenied);
    case ENAMETOOLONG:
    case EINVAL:
        throw EInOutError("Invalid filename", ErrorInvalidName);
    default:
        throw EInOutError("I/O error " + std::to_string(error), error);
    }
}

void TFileOfBytes::Open()
{
    if (path_.empty())
        RaiseInOutError(ENOENT);
    // Looked at before opening: opening a device can act on it (a serial
    // line raises its control lines).
    struct stat status {};
    if (::stat(path_.c_str(), &status) != 0)
        RaiseInOutError(errno);
    if (!S_ISREG(status.st_mode))
        RaiseNotRegularFile(path_);
    // Without waiting, in case the name has become a pipe in the meantime
    // (a regular file ignores the flag).
    int fd = -1;
    do {
        fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        RaiseInOutError(errno);
    const bool known = ::fstat(fd, &status) == 0;
    const int error = errno;
    if (!known || !S_ISREG(status.st_mode)) {
        ::close(fd);
        if (!known)
            RaiseInOutError(error);
        RaiseNotRegularFile(path_);
    }
    handle_ = fd;
    opened_ = {status.st_size, Nanoseconds(status.st_mtim), Nanoseconds(status.st_ctim)};
}

void TFileOfBytes::Close() noexcept
{
    if (handle_ != NoHandle)
        ::close(Descriptor(handle_));
}

TFileOfBytes::TStamp TFileOfBytes::Stamp() const
{
    struct stat status {};
    if (::fstat(Descriptor(handle_), &status) != 0)
        RaiseInOutError(errno);
    return {status.st_size, Nanoseconds(status.st_mtim), Nanoseconds(status.st_ctim)};
}

std::size_t TFileOfBytes::ReadNext(unsigned char* buffer, std::size_t wanted)
{
    ssize_t n = -1;
    do {
        n = ::read(Descriptor(handle_), buffer, wanted);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        RaiseInOutError(errno);
    return static_cast<std::size_t>(n);
}

bool TFileOfBytes::HasByteAt(std::int64_t offset) const
{
    unsigned char beyond = 0;
    ssize_t n = -1;
    do {
        n = ::pread(Descriptor(handle_), &beyond, 1, offset);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        RaiseInOutError(errno);
    return n > 0;
}
