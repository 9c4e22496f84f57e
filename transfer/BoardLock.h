// One board, one updater: an advisory lock per board (a serial device or a
// board's network address), held while an update runs. A second updater on
// the same board, in this process or another, is refused before it sends
// anything; the kernel releases the lock when its holder ends, however it ends.
//
// The locks are files in $XDG_RUNTIME_DIR/orvenda-updater, or, where that is
// not set, in /tmp/orvenda-updater-<uid>.
#pragma once

#include <stdexcept>
#include <string>

// "Board NAME is being updated by another updater."
class EBoardBusy : public std::runtime_error {
public:
    explicit EBoardBusy(const std::string& board);
};

// The lock folder, the lock file or the lock itself could not be had.
class EBoardLockFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TBoardLock {
public:
    // Takes the lock of the board `key` stands for (SerialBoardKey,
    // NetworkBoardKey); `name` is how the operator knows the board. Raises
    // EBoardBusy when another updater holds it, EBoardLockFailed when it
    // cannot be taken at all.
    TBoardLock(const std::string& key, const std::string& name);
    ~TBoardLock();
    TBoardLock(const TBoardLock&) = delete;
    TBoardLock& operator=(const TBoardLock&) = delete;

private:
    int fd_ = -1;
};

// The key of the board behind a serial port name: the device it opens, with
// every link resolved, so that COM1 and the device it points to are one board.
std::string SerialBoardKey(const std::string& port);
// The key of a board at a dotted IPv4 address.
std::string NetworkBoardKey(const std::string& address);

// The folder of the lock files.
std::string BoardLockFolder();
