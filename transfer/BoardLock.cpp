#include "transfer/BoardLock.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serial/CPortDevice.h"

namespace {

constexpr const char* ProgramFolder = "orvenda-updater";
constexpr const char* FallbackFolderPrefix = "/tmp/orvenda-updater-";
constexpr mode_t PrivateFolderMode = 0700;
constexpr mode_t LockFileMode = 0600;
constexpr const char* LockFileSuffix = ".lock";

std::string SystemText(int error)
{
    return std::strerror(error);
}

[[noreturn]] void RaiseLockFailed(const std::string& what, int error)
{
    throw EBoardLockFailed("The board cannot be locked for the update: " + what + ": " + SystemText(error));
}

// The folder is made private to this user; one that another user owns, or
// that is a link, is not used (another user could otherwise take our locks).
void MakePrivateFolder(const std::string& folder)
{
    if (::mkdir(folder.c_str(), PrivateFolderMode) != 0 && errno != EEXIST)
        RaiseLockFailed("cannot make the folder " + folder, errno);
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0)
        RaiseLockFailed("cannot look at the folder " + folder, errno);
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::getuid())
        RaiseLockFailed("the folder " + folder + " is not a folder of this user", EPERM);
}

// A key as a file name: "/" and "%" written as %2F and %25.
std::string FileNameOfKey(const std::string& key)
{
    std::string name;
    for (const char c : key) {
        if (c == '/')
            name += "%2F";
        else if (c == '%')
            name += "%25";
        else
            name += c;
    }
    return name + LockFileSuffix;
}

} // namespace

EBoardBusy::EBoardBusy(const std::string& board)
    : std::runtime_error("Board " + board + " is being updated by another updater.")
{
}

std::string BoardLockFolder()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && runtime.startsWith('/'))
        return runtime.toStdString() + "/" + ProgramFolder;
    return FallbackFolderPrefix + std::to_string(::getuid());
}

std::string SerialBoardKey(const std::string& port)
{
    const std::string device = ComDevicePath(port);
    char resolved[PATH_MAX];
    // A device that is not there keeps its name: opening it fails anyway.
    if (::realpath(device.c_str(), resolved) == nullptr)
        return "serial:" + device;
    return std::string("serial:") + resolved;
}

std::string NetworkBoardKey(const std::string& address)
{
    return "udp:" + address;
}

TBoardLock::TBoardLock(const std::string& key, const std::string& name)
{
    const std::string folder = BoardLockFolder();
    MakePrivateFolder(folder);
    const std::string path = folder + "/" + FileNameOfKey(key);
    do {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, LockFileMode);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0)
        RaiseLockFailed("cannot open " + path, errno);
    int result = 0;
    do {
        result = ::flock(fd_, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0)
        return;
    const int error = errno;
    ::close(fd_);
    fd_ = -1;
    if (error == EWOULDBLOCK)
        throw EBoardBusy(name);
    RaiseLockFailed("cannot lock " + path, error);
}

TBoardLock::~TBoardLock()
{
    // Closing the last descriptor of the lock releases it.
    if (fd_ >= 0)
        ::close(fd_);
}
