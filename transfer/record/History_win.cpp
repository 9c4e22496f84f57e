#include "transfer/record/HistoryFile.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <chrono>
#include <windows.h>

#include "transfer/engine/Link.h"

namespace {

// How often a scheduled append asks again for a lock another program holds.
constexpr std::chrono::milliseconds LockRetryInterval{50};

// The whole file, from its start on: the lock covers every line.
constexpr DWORD WholeFileLow = MAXDWORD;
constexpr DWORD WholeFileHigh = MAXDWORD;
// A write at this offset goes to the file's end, whoever appended last.
constexpr DWORD AtTheEnd = MAXDWORD;

int LastError()
{
    return static_cast<int>(::GetLastError());
}

std::wstring Wide(const QString& path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// Why the open history file is not one to write to: 0 when it is a file on
// a disk, else the refusal or the error. A link is opened as itself and
// refused, never followed. Another user's file needs no refusal of its own:
// the file lives in the user's own profile, which others cannot write to.
int WhyRefused(HANDLE file)
{
    if (::GetFileType(file) != FILE_TYPE_DISK)
        return NotRegularFileError;
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic))
        return LastError();
    if ((basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return SymbolicLinkError;
    return (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? NotRegularFileError : 0;
}

// Opens the history for appending, creating it when needed, shared with the
// other updaters (and with a rotation's rename); INVALID_HANDLE_VALUE with
// the refusal or the error in `error`.
HANDLE OpenHistory(const std::wstring& name, int& error)
{
    constexpr DWORD SharedWithAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE file = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, SharedWithAll, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = LastError();
        return file;
    }
    error = WhyRefused(file);
    if (error != 0) {
        ::CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// Takes the file's lock, waiting for it or not; false with the error left
// for GetLastError otherwise.
bool TakeLock(HANDLE file, DWORD flags)
{
    OVERLAPPED from{};
    return ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | flags, 0, WholeFileLow, WholeFileHigh, &from) != FALSE;
}

// Holds the file's lock, telling the wait for another program's; false
// when the file system has none. On a thread whose waits go through a
// scheduler (many boards at once) the lock is asked for again on a timer,
// so that the other boards go on meanwhile; elsewhere the wait blocks.
bool Lock(HANDLE file, const HistoryLockWaiting& lockWaiting)
{
    bool locked = TakeLock(file, LOCKFILE_FAIL_IMMEDIATELY);
    if (!locked && ::GetLastError() == ERROR_LOCK_VIOLATION) {
        if (lockWaiting)
            lockWaiting(true);
        if (TLinkWaiter* const loop = TLinkWaiter::OfThisThread()) {
            while (!(locked = TakeLock(file, LOCKFILE_FAIL_IMMEDIATELY)) && ::GetLastError() == ERROR_LOCK_VIOLATION)
                loop->Sleep(LockRetryInterval);
        } else {
            locked = TakeLock(file, 0);
        }
        if (lockWaiting)
            lockWaiting(false);
    }
    return locked;
}

std::int64_t SizeOf(HANDLE file)
{
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(file, &size) ? size.QuadPart : -1;
}

OVERLAPPED At(std::int64_t offset)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    return at;
}

// True when the file's last byte (of `size`) is not a line end: a line cut
// off by a crash or by an older updater, after which an appended line would
// be swallowed by it.
bool EndsInCutOffLine(HANDLE file, std::int64_t size)
{
    if (size <= 0)
        return false;
    char last = '\n';
    DWORD read = 0;
    OVERLAPPED at = At(size - 1);
    return ::ReadFile(file, &last, 1, &read, &at) && read == 1 && last != '\n';
}

// Writes the bytes at the file's end with one call; returns 0 or the error.
int WriteInOneCall(HANDLE file, const QByteArray& bytes)
{
    OVERLAPPED end{};
    end.Offset = AtTheEnd;
    end.OffsetHigh = AtTheEnd;
    DWORD written = 0;
    if (!::WriteFile(file, bytes.constData(), static_cast<DWORD>(bytes.size()), &written, &end))
        return LastError();
    // Only a full disk cuts a write to a file short.
    return written == static_cast<DWORD>(bytes.size()) ? 0 : ERROR_DISK_FULL;
}

// Cuts the file back to `size`, taking back a line that did not go out whole.
void TakeBack(HANDLE file, std::int64_t size)
{
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    ::SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end);
}

// Appends the line under the lock, as the Linux build does (see there why).
int AppendLocked(HANDLE file, const QByteArray& line, bool locked)
{
    const std::int64_t before = SizeOf(file);
    if (before < 0)
        return LastError();
    const int error = WriteInOneCall(file, EndsInCutOffLine(file, before) ? '\n' + line : line);
    if (error != 0 && locked)
        TakeBack(file, before);
    return error;
}

// The volume and index that tell one file from another.
bool FileIdOf(HANDLE file, BY_HANDLE_FILE_INFORMATION& id)
{
    return ::GetFileInformationByHandle(file, &id) != FALSE;
}

// True when the handle is still the file at `name`: another updater may have
// rotated it while this one waited for its lock.
bool StillAt(HANDLE file, const std::wstring& name)
{
    const HANDLE named = ::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION open{};
    BY_HANDLE_FILE_INFORMATION there{};
    const bool same = FileIdOf(file, open) && FileIdOf(named, there) &&
                      open.dwVolumeSerialNumber == there.dwVolumeSerialNumber &&
                      open.nFileIndexHigh == there.nFileIndexHigh && open.nFileIndexLow == there.nFileIndexLow;
    ::CloseHandle(named);
    return same;
}

// Makes the locked file the rotated part when it has reached the rotation
// size; true when it did, and the append is to open the path again.
bool Rotated(HANDLE file, const QString& path)
{
    if (SizeOf(file) < HistoryRotateSize)
        return false;
    return ::MoveFileExW(Wide(path).c_str(), Wide(RotatedHistoryPath(path)).c_str(), MOVEFILE_REPLACE_EXISTING) !=
           FALSE;
}

} // namespace

QString HistoryStateFolder()
{
    // %LOCALAPPDATA%: the user's own, kept on this machine, as a history of
    // this machine's updates should be.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

int MakeHistoryFolder(const QString& folder, QString& failed)
{
    const std::wstring name = Wide(folder);
    int error = ::CreateDirectoryW(name.c_str(), nullptr) ? 0 : LastError();
    const QString parent = QFileInfo(folder).path();
    if (error == ERROR_PATH_NOT_FOUND && parent != folder) {
        error = MakeHistoryFolder(parent, failed);
        if (error != 0)
            return error;
        error = ::CreateDirectoryW(name.c_str(), nullptr) ? 0 : LastError();
    }
    if (error == ERROR_ALREADY_EXISTS) {
        const DWORD attributes = ::GetFileAttributesW(name.c_str());
        error = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                    ? 0
                    : ERROR_DIRECTORY;
    }
    if (error != 0)
        failed = folder;
    return error;
}

int AppendHistoryLine(const QString& path, const QByteArray& line, const HistoryLockWaiting& lockWaiting)
{
    // Another updater's rotation, then this one's: the path is opened again
    // at most so often.
    constexpr int MostOpenings = 3;
    const std::wstring name = Wide(path);
    for (int opening = 1;; ++opening) {
        int error = 0;
        const HANDLE file = OpenHistory(name, error);
        if (file == INVALID_HANDLE_VALUE)
            return error;
        const bool locked = Lock(file, lockWaiting);
        const bool again = locked && opening < MostOpenings && (!StillAt(file, name) || Rotated(file, path));
        if (!again)
            error = AppendLocked(file, line, locked);
        // Closing gives the lock back.
        if (!::CloseHandle(file) && error == 0)
            error = LastError();
        if (!again)
            return error;
    }
}
