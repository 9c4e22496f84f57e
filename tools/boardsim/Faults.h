// Faults the board shows on request, so that the updater's handling of a
// misbehaving board can be tried: answers that never come, come late, come in
// pieces, come with noise or twice, come garbled or answer another request,
// come behind a stale copy of the answer before them; alarm frames; datagrams
// that are empty or too long; forged answers from another port of the
// board's address; search replies from the wrong port or with the wrong
// content.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/boardsim/Protocol.h"

namespace boardsim {

using Milliseconds = std::chrono::milliseconds;

inline constexpr Milliseconds DefaultSplitPause{50};

// How each answer is garbled so that it decodes as no answer at all:
//   Lead       a stray start byte (A5) before it. In a datagram the answer
//              follows whole; on the serial line, where a receiver skips a
//              stray byte before a whole frame as noise, the answer is shifted
//              behind it within its own length and so loses its last byte.
//   Operation  an operation code that no answer has; the checksum fits.
//   Cut        only its header, group and operation: the result code and what
//              follows never come, though its length counts them.
enum class Garble { Lead, Operation, Cut };

// The mode of this name ("lead", "operation", "cut"), or nothing.
std::optional<Garble> GarbleNamed(const std::string& name);
// The names of every mode, for messages: "lead, operation, cut".
std::string GarbleNames();

struct FaultOptions {
    bool noAnswer = false;                      // answer nothing
    std::uint32_t dropEvery = 0;                // drop the Nth, 2Nth, ... answer (0: none)
    std::uint32_t silentFirst = 0;              // drop the first N answers, then answer
    Milliseconds delay{0};                      // before each answer
    std::vector<std::size_t> split;             // chunk sizes; the rest follows as a last chunk
    Milliseconds splitPause = DefaultSplitPause;  // between chunks
    Bytes noise;                                // bytes sent just before each answer
    bool alarm = false;                         // an alarm frame before each answer
    std::optional<Milliseconds> secondAnswer;   // the answer again, this long after the first
    std::optional<Milliseconds> copyFirst;      // the previous answer again, the answer this long after it
    bool forgePort = false;                     // datagrams: a forged answer from another port first
    bool emptyDatagram = false;                 // datagrams: an empty datagram instead of the answer
    std::size_t padDatagram = 0;                // datagrams: zero bytes up to this length
    std::optional<Garble> garble;               // each answer garbled this way
    bool wrongAnswer = false;                   // a Get Version answer in place of each answer
    bool noSearchReply = false;
    std::optional<std::uint16_t> searchFrom;    // reply to a search from this port
    std::optional<Bytes> searchReply;           // reply to a search with these bytes
};

enum class Link { Serial, Datagram };

// One write on the serial line or one datagram, sent `pause` after the piece
// before it (after the request for the first piece). A forged datagram goes
// out from another port of the board's address than the request port.
struct Transmission {
    Milliseconds pause{0};
    Bytes bytes;
    bool forged = false;
};

class AnswerShaper {
public:
    explicit AnswerShaper(FaultOptions faults);

    // The pieces that carry `answer` on `link`; none when the answer is
    // dropped. A second answer repeats `answer` as it is, so that a garbled or
    // wrong answer can be followed by the right one. A copy of the previous
    // answer repeats that answer as it went out (garbled or wrong as it was,
    // without alarm, noise or padding); the first answer has none before it.
    // A forged answer, on datagrams alone, is a GetBootError answer that
    // reports success and no boot error.
    std::vector<Transmission> Shape(const Bytes& answer, Link link);

    // The faults in force, in words for the transcript (empty: none).
    std::string Describe(Link link) const;

    std::uint64_t Dropped() const { return dropped_; }
    const FaultOptions& Options() const { return faults_; }

private:
    bool DropsNext();
    // What goes out in place of the answer: itself, garbled, or the wrong one.
    Bytes Sent(const Bytes& answer, Link link) const;
    Bytes DatagramBody(const Bytes& answer) const;
    void AppendChunks(std::vector<Transmission>& out, const Bytes& body) const;
    // What goes out ahead of the answer itself: a forged answer, the copy of
    // the previous one.
    std::vector<Transmission> Ahead(Link link) const;

    FaultOptions faults_;
    std::uint64_t shaped_ = 0;
    std::uint64_t dropped_ = 0;
    std::optional<Bytes> previous_;  // the last answer as it went out
};

}  // namespace boardsim
