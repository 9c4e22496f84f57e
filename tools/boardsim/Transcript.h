// One line per frame the board receives or sends, decoded:
//   rx 13 C8 SetBurnBlock block=0 length=7
//   tx 13 01 GetBootError result=0 boot_error=0 length=8
//   rx bad checksum: A5 00 02 00 13 01 length=6
// Lines are buffered, not written one by one: the board writes them when the
// buffer is full, when its links have been quiet for a moment, on request
// (SIGUSR1) and when it stops.
#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <string>

#include "tools/boardsim/Protocol.h"

namespace boardsim {

class Transcript {
public:
    // No file: lines are dropped. Throws std::runtime_error when the file
    // cannot be created.
    explicit Transcript(const std::optional<std::filesystem::path>& file);

    void Line(const std::string& text);
    // Writes the buffered lines to the file.
    void Flush();
    // Lines are buffered that the file does not hold yet.
    bool Pending() const { return pending_; }

private:
    std::optional<std::ofstream> out_;
    bool pending_ = false;
};

// "rx 13 C8 SetBurnBlock block=0 length=7"
std::string DescribeRequest(const Request& request);
// "13 01 GetBootError result=0 boot_error=0 length=8"
std::string DescribeAnswer(const Bytes& frame);
// The first bytes of a frame in hexadecimal, for refused frames.
std::string HexDump(std::span<const std::uint8_t> bytes);

}  // namespace boardsim
