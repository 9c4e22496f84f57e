// Cuts the serial byte stream into frames. The line carries no frame
// boundaries, so the assembler relies on the start byte and the payload
// length alone and leaves every other check to ParseRequest. Bytes that cannot
// start a frame are handed out as stray pieces, so that the board can report
// them instead of silently skipping them.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "tools/boardsim/Protocol.h"

namespace boardsim {

struct StreamPiece {
    enum class Kind { Frame, Stray };
    Kind kind = Kind::Frame;
    Bytes bytes;
    // Stray pieces only: true for the first piece of a run of stray bytes, so
    // that a run that arrives in several reads is reported once.
    bool startsRun = false;
    std::string reason;
};

class FrameAssembler {
public:
    void Feed(std::span<const std::uint8_t> bytes);

    // The next complete frame or run of stray bytes, or nothing while the
    // buffered bytes are only the beginning of a frame.
    std::optional<StreamPiece> Next();

    // Bytes held back as the beginning of a frame.
    std::size_t Pending() const { return buffer_.size(); }

private:
    StreamPiece TakeStray(std::size_t count, std::string reason);
    StreamPiece TakeFrame(std::size_t count);

    Bytes buffer_;
    bool inStrayRun_ = false;
};

}  // namespace boardsim
