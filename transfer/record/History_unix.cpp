#include "transfer/record/HistoryFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "transfer/engine/Link.h"

namespace {

// How often a scheduled append asks again for a lock another program holds.
constexpr std::chrono::milliseconds LockRetryInterval{50};

constexpr mode_t HistoryFileMode = 0644;
// Narrowed by the umask, as the folders of any program.
constexpr mode_t FolderMode = 0777;

// HOME, or without it the user's home from the password database: Qt would
// take the root folder.
QString HomeFolder()
{
    const QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty())
        return home;
    const passwd* user = ::getpwuid(::getuid());
    return user != nullptr && user->pw_dir != nullptr ? QFile::decodeName(user->pw_dir) : QDir::homePath();
}

// True when the file's last byte (of `size`) is not a line end: a line cut
// off by a crash or by an older updater, after which an appended line would
// be swallowed by it.
bool EndsInCutOffLine(int fd, off_t size)
{
    if (size == 0)
        return false;
    char last = '\n';
    ssize_t read = -1;
    do {
        read = ::pread(fd, &last, 1, size - 1);
    } while (read == -1 && errno == EINTR);
    return read == 1 && last != '\n';
}

// Why the open history file is not one to write to: 0 when it is a regular
// file of the user's own, else the refusal or the errno.
int WhyRefused(int fd)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return errno;
    if (!S_ISREG(status.st_mode))
        return NotRegularFileError;
    return status.st_uid == ::geteuid() ? 0 : OtherOwnerError;
}

// Opens the history for appending, creating it when needed, but never
// through a symbolic link: returns the descriptor, or -1 with the refusal
// or the errno in `error`.
int OpenHistory(const QByteArray& name, int& error)
{
    int fd = -1;
    do {
        // Not blocked by a pipe in the file's place: it is refused below.
        fd = ::open(name.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW,
                    HistoryFileMode);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1) {
        error = errno;
        struct stat status {};
        // ELOOP also comes from a loop of links among the folders above.
        if (error == ELOOP && ::lstat(name.constData(), &status) == 0 && S_ISLNK(status.st_mode))
            error = SymbolicLinkError;
        return -1;
    }
    error = WhyRefused(fd);
    if (error != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Takes the file's lock if it is free; -1 with errno otherwise.
int TryLock(int fd)
{
    int locked = -1;
    do {
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked == -1 && errno == EINTR);
    return locked;
}

// Holds the file's lock, telling the wait for another program's; false
// when the file system has none. On a thread whose waits go through a
// scheduler (many boards at once) the lock is asked for again on a timer,
// so that the other boards go on meanwhile; elsewhere the wait blocks.
bool Lock(int fd, const HistoryLockWaiting& lockWaiting)
{
    int locked = TryLock(fd);
    if (locked == -1 && errno == EWOULDBLOCK) {
        if (lockWaiting)
            lockWaiting(true);
        if (TLinkWaiter* const loop = TLinkWaiter::OfThisThread()) {
            while ((locked = TryLock(fd)) == -1 && errno == EWOULDBLOCK)
                loop->Sleep(LockRetryInterval);
        } else {
            do {
                locked = ::flock(fd, LOCK_EX);
            } while (locked == -1 && errno == EINTR);
        }
        if (lockWaiting)
            lockWaiting(false);
    }
    return locked == 0;
}

// Writes the bytes with one call; returns 0 or the errno.
int WriteInOneCall(int fd, const QByteArray& bytes)
{
    ssize_t written = -1;
    do {
        written = ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size()));
    } while (written == -1 && errno == EINTR);
    if (written == -1)
        return errno;
    // Only a full disk (or the process's file size limit) cuts a write to a
    // regular file short.
    return written == bytes.size() ? 0 : ENOSPC;
}

// Cuts the file back to `size`, taking back a line that did not go out whole.
void TakeBack(int fd, off_t size)
{
    int cut = -1;
    do {
        cut = ::ftruncate(fd, size);
    } while (cut == -1 && errno == EINTR);
}

// Appends the line to the open file (under its lock when `locked`), after a
// line end of its own when the file ends in a cut-off line; returns 0 or the
// errno. The lock keeps another updater from appending between the look at
// the file's end and the write, and so lets a line that did not go out whole
// be taken back. Without the lock (a file system that has none) the worst is
// an empty line, which reading skips, or a cut-off line left in place, as
// another updater's line may already follow it.
int AppendLocked(int fd, const QByteArray& line, bool locked)
{
    struct stat before {};
    if (::fstat(fd, &before) != 0)
        return errno;
    const int error = WriteInOneCall(fd, EndsInCutOffLine(fd, before.st_size) ? '\n' + line : line);
    if (error != 0 && locked)
        TakeBack(fd, before.st_size);
    return error;
}

// True when the descriptor is still the file at `name`: another updater may
// have rotated it while this one waited for its lock.
bool StillAt(int fd, const QByteArray& name)
{
    struct stat open {};
    struct stat named {};
    return ::fstat(fd, &open) == 0 && ::lstat(name.constData(), &named) == 0 && open.st_dev == named.st_dev &&
           open.st_ino == named.st_ino;
}

// Makes the locked file the rotated part when it has reached the rotation
// size; true when it did, and the append is to open the path again.
bool Rotated(int fd, const QString& path)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0 || status.st_size < HistoryRotateSize)
        return false;
    return ::rename(QFile::encodeName(path).constData(), QFile::encodeName(RotatedHistoryPath(path)).constData()) == 0;
}

} // namespace

QString HistoryStateFolder()
{
    // A relative XDG_STATE_HOME is invalid and is ignored.
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || QDir::isRelativePath(state))
        return HomeFolder() + QStringLiteral("/.local/state");
    return state;
}

// Makes the folder and those above it that are missing. Returns 0, or the
// errno of the folder that could not be made, which is put in `failed`.
int MakeHistoryFolder(const QString& folder, QString& failed)
{
    const QByteArray name = QFile::encodeName(folder);
    int error = ::mkdir(name.constData(), FolderMode) == 0 ? 0 : errno;
    const QString parent = QFileInfo(folder).path();
    if (error == ENOENT && parent != folder) {
        error = MakeHistoryFolder(parent, failed);
        if (error != 0)
            return error;
        error = ::mkdir(name.constData(), FolderMode) == 0 ? 0 : errno;
    }
    if (error == EEXIST) {
        struct stat status {};
        error = ::stat(name.constData(), &status) == 0 && S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
    }
    if (error != 0)
        failed = folder;
    return error;
}

// Writes the whole line with one call, so that lines from other threads and
// processes never interleave with it; returns 0, a refusal or the errno.
int AppendHistoryLine(const QString& path, const QByteArray& line, const HistoryLockWaiting& lockWaiting)
{
    // Another updater's rotation, then this one's: the path is opened again
    // at most so often.
    constexpr int MostOpenings = 3;
    const QByteArray name = QFile::encodeName(path);
    for (int opening = 1;; ++opening) {
        int error = 0;
        const int fd = OpenHistory(name, error);
        if (fd == -1)
            return error;
        const bool locked = Lock(fd, lockWaiting);
        const bool again = locked && opening < MostOpenings && (!StillAt(fd, name) || Rotated(fd, path));
        if (!again)
            error = AppendLocked(fd, line, locked);
        if (::close(fd) == -1 && error == 0 && errno != EINTR)
            error = errno;
        if (!again)
            return error;
    }
}
