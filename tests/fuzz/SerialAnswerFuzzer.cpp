// Answer reception on the serial link, fed receive events.
//
// The input's first byte chooses one of two kinds of run:
// - arbitrary receive events: each a 16-bit little-endian size (taken modulo
//   one more than the largest chunk) followed by that many bytes (fewer at
//   the input's end). After every event the receive state must stay within
//   RxBuffer, and every answer reported must be one of the table's.
// - well-formed answers in any chunking: the input describes answers (which
//   answer, its data) and then the sizes of the reads that carry their bytes.
//   Every answer must be decoded exactly once, in the order sent, whatever
//   the chunking: none lost, none twice.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/AnswerDecoding.h"
#include "protocol/Encoder.h"
#include "protocol/ReceiveState.h"
#include "tests/fuzz/AnswerChecks.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using Bytes = std::vector<Byte>;

// Answers the transfers wait for, with group and operation as the board
// sends them, and how many data bytes follow the result code.
struct AnswerKind {
    Byte group;
    Byte operation;
    std::size_t dataBytes;
};
constexpr std::array<AnswerKind, 5> AnswerKinds = {{
    {0x13, 0x01, 1},  // Get Boot Error
    {0x11, 0x1B, 4},  // Create Data File
    {0x13, 0x7B, 4},  // Create FLASH File
    {0x11, 0x22, 4},  // Get Number of Data Files
    {0x13, 0x78, 0},  // answer to GetFlashInfo
}};
constexpr std::size_t MaxAnswers = 64;
// A start byte among a frame's later bytes would begin another frame when
// that frame is split across reads; well-formed answers carry none.
constexpr Byte StartByteStandIn = 0x5A;

void ArbitraryEvent(std::span<const std::uint8_t> bytes)
{
    // A complete frame that is no answer is heard too, without an entry.
    const DecodeOutcome outcome = Receiver.ReceiveChunk(bytes, [](const DecodeOutcome& each) {
        FUZZ_CHECK(each.answer == nullptr || FindAnswer(each.group, each.operation) == each.answer);
    });
    FUZZ_CHECK(outcome.beeps % AlarmBeeps == 0);
    fuzz::CheckReceiveBounds();
}

void ArbitraryEvents(fuzz::FuzzInput input)
{
    const auto chunkSize = [](fuzz::FuzzInput& in) -> std::size_t { return in.TakeWord() % (RxChunkSize + 1); };
    fuzz::ReceiveAll(input, chunkSize, ArbitraryEvent);
}

// One answer frame with a good checksum and no start byte behind its first.
void AppendAnswer(fuzz::FuzzInput& input, Bytes& stream, std::vector<const AnswerKind*>& sent)
{
    const AnswerKind& kind = AnswerKinds[input.TakeByte() % AnswerKinds.size()];
    Bytes payload{kind.group, kind.operation, input.TakeByte()};
    for (std::size_t k = 0; k < kind.dataBytes; ++k)
        payload.push_back(input.TakeByte());
    std::replace(payload.begin(), payload.end(), FrameStartByte, StartByteStandIn);
    const auto length = static_cast<Byte>(payload.size());
    Byte sum = length;
    for (Byte b : payload)
        sum = static_cast<Byte>(sum + b);
    stream.insert(stream.end(), {FrameStartByte, sum, length, 0x00});
    stream.insert(stream.end(), payload.begin(), payload.end());
    sent.push_back(&kind);
}

void WellFormedAnswers(fuzz::FuzzInput input)
{
    Receiver = TAnswerReceiver();
    Bytes stream;
    std::vector<const AnswerKind*> sent;
    const std::size_t count = 1 + input.TakeByte() % MaxAnswers;
    for (std::size_t k = 0; k < count; ++k)
        AppendAnswer(input, stream, sent);

    std::size_t decoded = 0;
    const auto each = [&](const DecodeOutcome& answer) {
        FUZZ_CHECK(decoded < sent.size());
        FUZZ_CHECK(answer.answer != nullptr);
        FUZZ_CHECK(answer.group == sent[decoded]->group && answer.operation == sent[decoded]->operation);
        ++decoded;
    };
    for (std::size_t at = 0; at < stream.size();) {
        // Reads of 1 to RxChunkSize bytes; whole chunks once the input ends.
        const std::size_t size = input.Empty() ? RxChunkSize : 1 + input.TakeWord() % RxChunkSize;
        const std::size_t piece = std::min(size, stream.size() - at);
        Receiver.ReceiveChunk(std::span<const Byte>(stream).subspan(at, piece), each);
        fuzz::CheckReceiveBounds();
        at += piece;
    }
    FUZZ_CHECK(decoded == sent.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::FuzzInput input(data, size);
    if (input.TakeByte() % 2 == 0)
        ArbitraryEvents(input);
    else
        WellFormedAnswers(input);
    return 0;
}
