#include "transfer/board/BoardLock.h"

#include <QCryptographicHash>
#include <QString>

#include <windows.h>

#include "transfer/engine/SystemError.h"

namespace {

// Global: one name for every session of the machine, so that an updater in
// another user's session (fast user switching, a remote desktop) is refused
// too; Local would give each session a lock of its own. Creating a mutex
// there needs no privilege.
constexpr const char* LockNamePrefix = "Global\\orvenda-updater-board-";

[[noreturn]] void RaiseLockFailed(DWORD error)
{
    throw EBoardLockFailed("The board cannot be locked for the update: " + SystemErrorText(static_cast<int>(error)));
}

} // namespace

std::string BoardLockName(const std::string& key)
{
    // Always the digest: a key holds backslashes (\\.\COM1), which part an
    // object's name.
    const QByteArray digest = QCryptographicHash::hash(QByteArray::fromStdString(key), QCryptographicHash::Sha256);
    return LockNamePrefix + digest.toHex().toStdString();
}

// Holding the lock is having made the object: it exists while a handle to it
// is open, and the system closes a process's handles when it ends, however
// it ends. The mutex is never owned: ownership belongs to a thread and lets
// that thread take it again, while the scheduler runs many boards' tries on
// one thread, and they must refuse each other.
TBoardLock::TBoardLock(const std::string& key, const std::string& name)
{
    const std::wstring lockName = QString::fromStdString(BoardLockName(key)).toStdWString();
    const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, lockName.c_str());
    const DWORD error = ::GetLastError();
    if (mutex != nullptr && error != ERROR_ALREADY_EXISTS) {
        handle_ = reinterpret_cast<THandle>(mutex);
        return;
    }
    if (mutex != nullptr)
        ::CloseHandle(mutex);
    // Another user's object is there but not open to this one: also held.
    // Who holds it the object does not tell.
    if (mutex != nullptr || error == ERROR_ACCESS_DENIED)
        throw EBoardBusy(name, {});
    RaiseLockFailed(error);
}

void TBoardLock::Release() noexcept
{
    // The last handle closed, the object and its name are gone.
    ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}
