#include "transfer/board/BoardLock.h"

#include <QCryptographicHash>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <pwd.h>
#include <sys/un.h>
#include <unistd.h>

#include "transfer/engine/SystemError.h"

namespace {

constexpr const char* LockNamePrefix = "orvenda-updater/board/";
// The abstract name follows the leading NUL of sun_path.
constexpr std::size_t LongestLockName = sizeof(sockaddr_un::sun_path) - 1;

[[noreturn]] void RaiseLockFailed(int error)
{
    throw EBoardLockFailed("The board cannot be locked for the update: " + SystemErrorText(error));
}

// The user's name, or the number when the system has no name for it.
std::string UserName(uid_t user)
{
    passwd entry{};
    passwd* found = nullptr;
    std::array<char, 4096> strings{};
    if (::getpwuid_r(user, &entry, strings.data(), strings.size(), &found) == 0 && found != nullptr)
        return found->pw_name;
    return std::to_string(user);
}

// " (process 1234 of user alice)": who holds the lock at `address`, as its
// socket tells one that connects to it; nothing when it cannot be told.
std::string HolderOf(const sockaddr_un& address, socklen_t length)
{
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0)
        return {};
    ucred holder{};
    socklen_t size = sizeof holder;
    const bool told = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
                      ::getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &holder, &size) == 0 && holder.pid > 0;
    ::close(probe);
    return told ? " (process " + std::to_string(holder.pid) + " of user " + UserName(holder.uid) + ")" : "";
}

} // namespace

std::string BoardLockName(const std::string& key)
{
    const std::string name = LockNamePrefix + key;
    if (name.size() <= LongestLockName)
        return name;
    // A long device path still names one lock: its digest does.
    const QByteArray digest = QCryptographicHash::hash(QByteArray::fromStdString(key), QCryptographicHash::Sha256);
    return LockNamePrefix + digest.toHex().toStdString();
}

TBoardLock::TBoardLock(const std::string& key, const std::string& name)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        RaiseLockFailed(errno);
    const std::string lockName = BoardLockName(key);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, lockName.data(), lockName.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + lockName.size());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        // Listening lets an updater that is refused learn who holds the
        // board; the connections are never taken, and go with the socket.
        ::listen(fd, SOMAXCONN);
        handle_ = fd;
        return;
    }
    const int error = errno;
    ::close(fd);
    if (error == EADDRINUSE)
        throw EBoardBusy(name, HolderOf(address, length));
    RaiseLockFailed(error);
}

void TBoardLock::Release() noexcept
{
    // Closing the socket frees its name.
    ::close(static_cast<int>(handle_));
}
