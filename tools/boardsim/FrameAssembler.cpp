#include "tools/boardsim/FrameAssembler.h"

#include <algorithm>

namespace boardsim {

void FrameAssembler::Feed(std::span<const std::uint8_t> bytes)
{
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<StreamPiece> FrameAssembler::Next()
{
    if (buffer_.empty()) {
        return std::nullopt;
    }
    if (buffer_.front() != StartByte) {
        const auto start = std::find(buffer_.begin(), buffer_.end(), StartByte);
        return TakeStray(static_cast<std::size_t>(start - buffer_.begin()), "bytes outside a frame");
    }
    if (buffer_.size() < HeaderSize) {
        return std::nullopt;
    }
    // A length the board never accepts would make it wait for bytes that are
    // not coming and swallow the frames after them: drop the start byte and
    // look for the next one instead.
    const std::size_t payload = ReadWord(buffer_, LengthOffset);
    if (payload < CommandSize || payload > MaxRequestPayload) {
        return TakeStray(1, "payload length " + std::to_string(payload) + " out of range");
    }
    if (buffer_.size() < HeaderSize + payload) {
        return std::nullopt;
    }
    return TakeFrame(HeaderSize + payload);
}

StreamPiece FrameAssembler::TakeStray(std::size_t count, std::string reason)
{
    StreamPiece piece{StreamPiece::Kind::Stray,
                      Bytes(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count)),
                      !inStrayRun_, std::move(reason)};
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
    inStrayRun_ = true;
    return piece;
}

StreamPiece FrameAssembler::TakeFrame(std::size_t count)
{
    StreamPiece piece{StreamPiece::Kind::Frame,
                      Bytes(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count)), false, {}};
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
    inStrayRun_ = false;
    return piece;
}

}  // namespace boardsim
