// The board as both links see it: takes the bytes of the serial line or the
// datagrams of the network, checks each request, lets the board carry it out,
// keeps the counts and the transcript, and hands back what to send, shaped by
// the faults in force. Knows nothing of file descriptors, so that it can be
// fed directly.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/boardsim/Board.h"
#include "tools/boardsim/Faults.h"
#include "tools/boardsim/FileStore.h"
#include "tools/boardsim/FrameAssembler.h"
#include "tools/boardsim/Transcript.h"

namespace boardsim {

inline constexpr std::uint16_t RequestPort = 3333;
inline constexpr std::uint16_t SearchPort = 3334;
inline constexpr char SearchMessage[] = "DRVK";

struct Counters {
    std::uint64_t frames = 0;          // requests accepted
    std::uint64_t bytes = 0;           // bytes received on the request links
    std::uint64_t badFrames = 0;       // frames refused by the checks, and runs of stray bytes
    std::uint64_t strayBytes = 0;      // serial bytes outside any frame
    std::uint64_t refused = 0;         // accepted frames naming no open file or burn block
    std::uint64_t sizeMismatches = 0;  // flash files closed at another size than announced
    std::uint64_t answers = 0;         // answers sent (before faults drop them: see dropped)
    std::uint64_t searches = 0;        // search messages answered
    std::map<std::string, std::uint64_t> perCommand;
};

struct SessionSettings {
    BoardSettings board;
    bool strict = false;
    FaultOptions faults;
};

// A search reply: its bytes and the port to send it from.
struct SearchReply {
    Bytes bytes;
    std::uint16_t fromPort = SearchPort;
};

class Session {
public:
    Session(const SessionSettings& settings, FileStore& store, Transcript& transcript);

    // Bytes read from the serial line; returns the writes to make.
    std::vector<Transmission> OnSerialBytes(std::span<const std::uint8_t> bytes);
    // One datagram to the request port; returns the datagrams to send back.
    std::vector<Transmission> OnDatagram(std::span<const std::uint8_t> datagram);
    // One datagram to the search port, from `sender` ("address:port").
    std::optional<SearchReply> OnSearch(std::span<const std::uint8_t> datagram, const std::string& sender);

    // Strict mode met a frame it had to refuse: the board should stop.
    bool Failed() const { return failed_; }
    const Counters& Counts() const { return counters_; }
    // "key=value" lines: frames, bytes, bad_frames, ..., then command.<Name>.
    std::string Summary() const;

private:
    std::vector<Transmission> OnFrame(std::span<const std::uint8_t> frame, Link link);
    void OnStray(const StreamPiece& piece);
    void Bad(const std::string& line);

    bool strict_;
    Board board_;
    FileStore& store_;
    Transcript& transcript_;
    AnswerShaper shaper_;
    FrameAssembler assembler_;
    Counters counters_;
    bool failed_ = false;
};

}  // namespace boardsim
