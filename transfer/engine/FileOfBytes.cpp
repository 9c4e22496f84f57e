#include "transfer/engine/FileOfBytes.h"

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

bool SameTime(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

EFileChanged::EFileChanged(const std::string& path)
    : std::runtime_error("The file '" + path + "' changed while it was sent; the board's copy is incomplete.")
{
}

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
    modified_ = status.st_mtim;
    changed_ = status.st_ctim;
}

TFileOfBytes::~TFileOfBytes()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::size_t TFileOfBytes::Read(unsigned char* buffer, std::size_t capacity)
{
    HashRead();
    std::size_t total = 0;
    while (total < capacity) {
        const std::size_t n = ReadOnce(buffer + total, capacity - total);
        if (n == 0)
            break;
        total += n;
    }
    unhashed_ = buffer;
    unhashedLength_ = total;
    return total;
}

void TFileOfBytes::HashRead()
{
    if (unhashedLength_ == 0)
        return;
    hash_.Add(unhashed_, unhashedLength_);
    unhashedLength_ = 0;
}

std::size_t TFileOfBytes::ReadOnce(unsigned char* buffer, std::size_t wanted)
{
    if (aheadStart_ == aheadEnd_) {
        aheadStart_ = 0;
        aheadEnd_ = ReadAhead();
    }
    const std::size_t taken = std::min(wanted, aheadEnd_ - aheadStart_);
    std::copy_n(ahead_.begin() + static_cast<std::ptrdiff_t>(aheadStart_), taken, buffer);
    aheadStart_ += taken;
    return taken;
}

std::size_t TFileOfBytes::ReadAhead()
{
    const std::int64_t left = size_ - consumed_;
    if (left == 0) {
        CheckEnd();
        return 0;
    }
    if (consumed_ >= nextCheck_) {
        CheckUnchanged();
        nextCheck_ = consumed_ + CheckInterval;
    }
    ahead_.resize(ReadAheadSize);
    const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(left, ReadAheadSize));
    for (;;) {
        const ssize_t n = ::read(fd_, ahead_.data(), wanted);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            RaiseInOutError(errno);
        // The file ends before the size announced to the board.
        if (n == 0)
            throw EFileChanged(path_);
        consumed_ += n;
        return static_cast<std::size_t>(n);
    }
}

void TFileOfBytes::CheckEnd()
{
    if (endChecked_)
        return;
    // A file that still has bytes where it ended when it was opened has grown
    // (or, like the kernel's own files, never told its size): the board
    // would not get all of it.
    unsigned char beyond = 0;
    ssize_t n = -1;
    do {
        n = ::pread(fd_, &beyond, 1, size_);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        RaiseInOutError(errno);
    if (n > 0)
        throw EFileChanged(path_);
    endChecked_ = true;
}

void TFileOfBytes::CheckUnchanged() const
{
    struct stat status {};
    if (::fstat(fd_, &status) != 0)
        RaiseInOutError(errno);
    if (status.st_size != size_ || !SameTime(status.st_mtim, modified_) || !SameTime(status.st_ctim, changed_))
        throw EFileChanged(path_);
}

std::string TFileOfBytes::Sha256()
{
    HashRead();
    return hash_.Hex();
}
