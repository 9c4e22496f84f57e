#include "transfer/board/BoardLock.h"

#include <utility>

EBoardBusy::EBoardBusy(const std::string& board, const std::string& holder)
    : std::runtime_error("Board " + board + " is being updated by another updater" + holder + ".")
{
}

TBoardLock::TBoardLock(TBoardLock&& other) noexcept : handle_(std::exchange(other.handle_, NoHandle))
{
}

TBoardLock& TBoardLock::operator=(TBoardLock&& other) noexcept
{
    std::swap(handle_, other.handle_);
    return *this;
}

TBoardLock::~TBoardLock()
{
    if (handle_ != NoHandle)
        Release();
}

std::optional<TBoardLock> LockBoard(const TBoardIdentity& board)
{
    if (board.key == UsbBoardIdentity().key)
        return std::nullopt;
    return std::optional<TBoardLock>(std::in_place, board.key, board.name);
}
