#include "tools/boardsim/FileStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace boardsim {

namespace {

constexpr mode_t FileMode = 0644;

[[noreturn]] void ThrowErrno(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

void WriteAll(int fd, std::span<const std::uint8_t> bytes, const std::string& what)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowErrno("write " + what);
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
}

// Opens, writes and closes: a file is never held open between blocks, so it is
// complete on disk whenever the board is between requests.
void WriteFile(const std::filesystem::path& path, int flags, std::span<const std::uint8_t> bytes)
{
    int fd = -1;
    do {
        fd = ::open(path.c_str(), flags | O_WRONLY | O_CLOEXEC, FileMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        ThrowErrno("open " + path.string());
    }
    try {
        WriteAll(fd, bytes, path.string());
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0 && errno != EINTR) {
        ThrowErrno("close " + path.string());
    }
}

}  // namespace

FileStore::FileStore(std::optional<std::filesystem::path> folder) : folder_(std::move(folder))
{
    if (folder_) {
        std::filesystem::create_directories(*folder_);
    }
}

std::filesystem::path FileStore::PathOf(const std::string& relative) const
{
    return *folder_ / relative;
}

void FileStore::Start(const std::string& relative)
{
    kept_.insert(relative);
    if (!folder_) {
        return;
    }
    const auto path = PathOf(relative);
    std::filesystem::create_directories(path.parent_path());
    WriteFile(path, O_CREAT | O_TRUNC, {});
}

void FileStore::Append(const std::string& relative, std::span<const std::uint8_t> bytes)
{
    if (folder_) {
        WriteFile(PathOf(relative), O_APPEND, bytes);
    }
}

void FileStore::RemoveUnder(const std::string& prefix)
{
    for (auto it = kept_.begin(); it != kept_.end();) {
        if (it->rfind(prefix, 0) != 0) {
            ++it;
            continue;
        }
        if (folder_) {
            std::filesystem::remove(PathOf(*it));
        }
        it = kept_.erase(it);
    }
}

}  // namespace boardsim
