#include "transfer/FileOfBytes.h"

#include <algorithm>
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

// Raised for a folder, a device, a pipe or a socket: reading one would
// never stop, block, or tell nothing, so only regular files are opened.
[[noreturn]] void RaiseNotRegularFile(const std::string& path)
{
    throw EInOutError("'" + path + "' is not a regular file", ErrorAccessDenied);
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

TFileOfBytes::TFileOfBytes(const std::string& path) : path_(path)
{
    if (path.empty())
        RaiseInOutError(ENOENT);
    // Looked at before opening: opening a device can act on it (a serial
    // line raises its control lines).
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        RaiseInOutError(errno);
    if (!S_ISREG(status.st_mode))
        RaiseNotRegularFile(path);
    // Without waiting, in case the name has become a pipe in the meantime
    // (a regular file ignores the flag).
    do {
        fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0)
        RaiseInOutError(errno);
    const bool known = ::fstat(fd_, &status) == 0;
    const int error = errno;
    if (!known || !S_ISREG(status.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        if (!known)
            RaiseInOutError(error);
        RaiseNotRegularFile(path);
    }
    size_ = status.st_size;
}

TFileOfBytes::~TFileOfBytes()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::size_t TFileOfBytes::Read(unsigned char* buffer, std::size_t capacity)
{
    std::size_t total = 0;
    while (total < capacity) {
        if (ahead_.start == ahead_.end && !FillAhead())
            break;
        const std::size_t n = std::min(capacity - total, ahead_.end - ahead_.start);
        std::copy_n(ahead_.bytes.begin() + static_cast<std::ptrdiff_t>(ahead_.start), n, buffer + total);
        ahead_.start += n;
        total += n;
    }
    return total;
}

bool TFileOfBytes::FillAhead()
{
    if (ahead_.bytes.empty())
        ahead_.bytes.resize(ReadAheadSize);
    for (;;) {
        const ssize_t n = ::read(fd_, ahead_.bytes.data(), ahead_.bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            RaiseInOutError(errno);
        ahead_.start = 0;
        ahead_.end = static_cast<std::size_t>(n);
        return n > 0;
    }
}
