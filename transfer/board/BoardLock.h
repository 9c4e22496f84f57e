// One board, one updater, machine-wide: a lock per board key (see
// BoardIdentity), held while an update runs and across its retries. A second
// updater on the same board, in this process or another, of any user, started
// from any environment, is refused before it sends anything.
//
// The lock is a name the system keeps machine-wide, with no file behind it:
// no folder, environment variable or user decides where it is, nobody can
// remove or replace it while it is held, and the system frees it when its
// holder ends, however it ends. On Linux it is a name in the kernel's
// abstract socket namespace, "orvenda-updater/board/<key>", that a socket
// binds; on Windows a named kernel object, "Global\orvenda-updater-board-
// <digest of the key>", that the holder's handle keeps in being.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "transfer/board/BoardIdentity.h"

// "Board NAME is being updated by another updater (process 1234 of user
// alice)."; the holder is left out when it cannot be told.
class EBoardBusy : public std::runtime_error {
public:
    EBoardBusy(const std::string& board, const std::string& holder);
};

// The lock could not be had for a reason other than another updater.
class EBoardLockFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TBoardLock {
public:
    // Takes the lock of the board `key` stands for (TBoardIdentity::key);
    // `name` is how the operator knows the board. Raises EBoardBusy when
    // another updater holds it, EBoardLockFailed when it cannot be taken at all.
    TBoardLock(const std::string& key, const std::string& name);
    ~TBoardLock();
    TBoardLock(TBoardLock&& other) noexcept;
    TBoardLock& operator=(TBoardLock&& other) noexcept;

private:
    // Gives the lock back; the system's part, as taking it is.
    void Release() noexcept;

    // The socket's descriptor on Linux, the object's handle on Windows; -1
    // while none is held.
    using THandle = std::intptr_t;
    static constexpr THandle NoHandle = -1;
    THandle handle_ = NoHandle;
};

// Takes the lock of `board`; none for the USB link's board, which nothing
// reaches. Raises EBoardBusy when another updater holds it.
std::optional<TBoardLock> LockBoard(const TBoardIdentity& board);

// The machine-wide name of the lock of `key`: on Linux the abstract socket
// name, without its leading NUL.
std::string BoardLockName(const std::string& key);
