#include "transfer/record/FileReplace.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "transfer/engine/FileOfBytes.h"

namespace {

// Beside the settings file, so that the rename stays within one file system.
const std::string TemporarySuffix = ".new";

constexpr mode_t NewFileMode = 0666;  // narrowed by the process's umask
constexpr mode_t PermissionBits = 07777;

// Writes all bytes and flushes them to the device; returns 0 or the errno of
// the first failure.
int WriteAll(int fd, std::span<const Byte> bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return errno;
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return ::fsync(fd) == 0 ? 0 : errno;
}

// The permissions the new file takes over from the one it replaces; a new
// settings file gets those of NewFileMode under the umask.
int KeepPermissions(int fd, const std::filesystem::path& target)
{
    struct stat status {};
    if (::stat(target.c_str(), &status) != 0)
        return 0;
    return ::fchmod(fd, status.st_mode & PermissionBits) == 0 ? 0 : errno;
}

} // namespace

const int TooManyLinksError = ELOOP;

void ReplaceContent(const std::filesystem::path& target, std::span<const Byte> record)
{
    const std::string temporary = target.string() + TemporarySuffix;
    int fd = -1;
    do {
        // Never through a link left in the temporary file's place.
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, NewFileMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        RaiseInOutError(errno);
    int error = KeepPermissions(fd, target);
    if (error == 0)
        error = WriteAll(fd, record);
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        RaiseInOutError(error);
    }
}
