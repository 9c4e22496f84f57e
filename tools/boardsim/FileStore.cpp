#include "tools/boardsim/FileStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "tools/boardsim/SystemError.h"

namespace boardsim {

namespace {

constexpr mode_t FileMode = 0644;

// Returns 0, or the errno of the write that failed.
int WriteAll(int fd, std::span<const std::uint8_t> bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return 0;
}

int OpenForAppending(const std::filesystem::path& path, int extraFlags)
{
    int fd = -1;
    do {
        fd = ::open(path.c_str(), extraFlags | O_WRONLY | O_APPEND | O_CLOEXEC, FileMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        ThrowSystemError("open " + path.string());
    }
    return fd;
}

}  // namespace

FileStore::FileStore(std::optional<std::filesystem::path> folder) : folder_(std::move(folder))
{
    if (folder_) {
        std::filesystem::create_directories(*folder_);
    }
}

FileStore::~FileStore()
{
    for (const auto& [path, file] : open_) {
        ::close(file.fd);
    }
}

std::filesystem::path FileStore::PathOf(const std::string& relative) const
{
    return *folder_ / relative;
}

FileStore::OpenFile& FileStore::Opened(const std::string& relative, int extraFlags)
{
    if (const auto it = open_.find(relative); it != open_.end()) {
        return it->second;
    }
    if (open_.size() >= OpenLimit) {
        Finish(open_.begin()->first);
    }
    return open_.emplace(relative, OpenFile{OpenForAppending(PathOf(relative), extraFlags), {}}).first->second;
}

void FileStore::WritePending(const std::string& relative, OpenFile& file)
{
    // The path is only spelt out for the error.
    if (const int error = WriteAll(file.fd, file.pending); error != 0) {
        errno = error;
        ThrowSystemError("write " + PathOf(relative).string());
    }
    file.pending.clear();
}

void FileStore::Start(const std::string& relative)
{
    kept_.insert(relative);
    if (!folder_) {
        return;
    }
    Finish(relative);
    std::filesystem::create_directories(PathOf(relative).parent_path());
    Opened(relative, O_CREAT | O_TRUNC);
}

void FileStore::Append(const std::string& relative, std::span<const std::uint8_t> bytes)
{
    if (!folder_) {
        return;
    }
    OpenFile& file = Opened(relative, 0);
    file.pending.insert(file.pending.end(), bytes.begin(), bytes.end());
    if (file.pending.size() >= BufferLimit) {
        WritePending(relative, file);
    }
}

void FileStore::Finish(const std::string& relative)
{
    const auto it = open_.find(relative);
    if (it == open_.end()) {
        return;
    }
    const int fd = it->second.fd;
    try {
        WritePending(relative, it->second);
    } catch (...) {
        open_.erase(it);
        ::close(fd);
        throw;
    }
    open_.erase(it);
    if (::close(fd) != 0 && errno != EINTR) {
        ThrowSystemError("close " + PathOf(relative).string());
    }
}

void FileStore::Flush()
{
    for (auto& [relative, file] : open_) {
        WritePending(relative, file);
    }
}

bool FileStore::Pending() const
{
    return std::any_of(open_.begin(), open_.end(), [](const auto& entry) { return !entry.second.pending.empty(); });
}

void FileStore::RemoveUnder(const std::string& prefix)
{
    for (auto it = kept_.begin(); it != kept_.end();) {
        if (it->rfind(prefix, 0) != 0) {
            ++it;
            continue;
        }
        Finish(*it);
        if (folder_) {
            std::filesystem::remove(PathOf(*it));
        }
        it = kept_.erase(it);
    }
}

}  // namespace boardsim
