#include "transfer/record/SettingsFile.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <span>
#include <sys/stat.h>
#include <unistd.h>

#include "transfer/engine/FileOfBytes.h"

namespace {

// Beside the settings file, so that the rename stays within one file system.
const std::string TemporarySuffix = ".new";

constexpr mode_t NewFileMode = 0666;  // narrowed by the process's umask
constexpr mode_t PermissionBits = 07777;
// Longer chains of links are taken for a loop.
constexpr int MaxLinkDepth = 40;

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

// The file a save replaces: the settings file itself or, when it is a
// symbolic link, the file at the end of its chain of links, so that links the
// operator made stay in place. A link names its target relative to the
// folder it is in.
std::filesystem::path SaveTarget(const std::string& path)
{
    std::filesystem::path target = path;
    for (int depth = 0;; ++depth) {
        std::error_code error;
        if (!std::filesystem::is_symlink(target, error))
            return target;  // also when it cannot be told: opening it will say why
        if (depth == MaxLinkDepth)
            RaiseInOutError(ELOOP);
        const std::filesystem::path link = std::filesystem::read_symlink(target, error);
        if (error)
            RaiseInOutError(error.value());
        target = target.parent_path() / link;  // an absolute link replaces the whole path
    }
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

void WriteRecord(std::span<const Byte> record, const std::string& path)
{
    const std::filesystem::path target = SaveTarget(path);
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

} // namespace

std::optional<TSettingsRecord> ReadSettingsFile(const std::string& path)
{
    std::error_code error;
    if (!std::filesystem::exists(path, error) && !error)
        return std::nullopt;
    TFileOfBytes file(path);
    std::array<Byte, MaxRecordSize> content{};
    const std::size_t length = file.Read(content.data(), content.size());
    return ParseSettingsRecord(std::span<const Byte>(content).first(length));
}

void WriteSerialRecord(const std::array<Byte, SerialFieldCount>& positions, const std::string& path)
{
    WriteRecord(SerialRecordBytes(positions), path);
}

void WriteNetworkRecord(const std::array<Byte, NetworkFieldCount>& address, const std::string& path)
{
    WriteRecord(NetworkRecordBytes(address), path);
}
