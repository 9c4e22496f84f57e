// Answer reception on the serial link, fed arbitrary receive events.
//
// The input is a sequence of receive events, each a 16-bit little-endian size
// (taken modulo one more than the largest chunk) followed by that many bytes
// (fewer at the end of the input). Each event goes through the receive
// handler's steps: the chunk lands in RxChunk, the frame bytes are stored,
// then the current frame is decoded. After every step the receive state must
// stay within RxBuffer, the stored bytes must be exactly the frame's, and
// decoding must take no more from a frame than the frame holds.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "app/Encoder.h"
#include "app/UpdateState.h"
#include "serial/AnswerDecoding.h"
#include "serial/ReceiveState.h"
#include "tests/fuzz/AnswerChecks.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using fuzz::ReceiveCounts;

// The frame length a chunk announces for a frame starting at `start`
// (0-based); length bytes beyond the chunk count as 0.
std::int32_t AnnouncedLength(std::span<const Byte> chunk, std::size_t start)
{
    return fuzz::WordAt(chunk, start + OffsetLength) + FrameHeaderSize;
}

// A chunk with a start byte: a frame too long for RxBuffer is dropped with
// whatever frame was current; any other frame becomes the current one, its
// bytes in this chunk stored from RxStart, with room behind them for the rest.
void CheckFrameStarted(std::span<const Byte> chunk, std::size_t start, bool stored, const ReceiveCounts& before)
{
    const std::int32_t length = AnnouncedLength(chunk, start);
    if (length > RxBufferSize) {
        FUZZ_CHECK(!stored);
        FUZZ_CHECK(RxCount == 0 && RxStart == 0 && FrameRemaining == 0);
        return;
    }
    const auto inChunk = std::min(static_cast<std::size_t>(length), chunk.size() - start);
    FUZZ_CHECK(stored);
    FUZZ_CHECK(RxStart == before.count + 1 || RxStart == 1);
    FUZZ_CHECK(RxCount == RxStart - 1 + static_cast<std::int32_t>(inChunk));
    FUZZ_CHECK(FrameRemaining == length - static_cast<std::int32_t>(inChunk));
    FUZZ_CHECK(std::equal(chunk.begin() + static_cast<std::ptrdiff_t>(start),
                          chunk.begin() + static_cast<std::ptrdiff_t>(start + inChunk),
                          RxBuffer.begin() + (RxStart - 1)));
}

// A chunk without a start byte carries the current frame on by as many bytes
// as it still expects; the rest of the chunk is dropped.
void CheckFrameContinued(std::span<const Byte> chunk, bool stored, const ReceiveCounts& before)
{
    const auto taken = std::min(static_cast<std::size_t>(before.remaining), chunk.size());
    FUZZ_CHECK(stored);
    FUZZ_CHECK(RxStart == before.start);
    FUZZ_CHECK(RxCount == before.count + static_cast<std::int32_t>(taken));
    FUZZ_CHECK(FrameRemaining == before.remaining - static_cast<std::int32_t>(taken));
    FUZZ_CHECK(std::equal(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(taken),
                          RxBuffer.begin() + before.count));
}

// One receive event, as the serial receive handler runs it.
void ReceiveEvent(std::span<const std::uint8_t> bytes)
{
    // As the handler leaves RxChunk: the bytes, zeros behind them.
    std::fill(std::copy(bytes.begin(), bytes.end(), RxChunk.begin()), RxChunk.end(), Byte{0});
    const std::span<const Byte> chunk(RxChunk.data(), bytes.size());

    const ReceiveCounts before = fuzz::TakeCounts();
    const bool stored = AssembleFrame(chunk);
    const auto start = std::find(chunk.begin(), chunk.end(), FrameStartByte);
    if (start != chunk.end())
        CheckFrameStarted(chunk, static_cast<std::size_t>(start - chunk.begin()), stored, before);
    else
        CheckFrameContinued(chunk, stored, before);

    // Checks the receive bounds first.
    fuzz::DecodeAndCheck(fuzz::Link::Serial);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto chunkSize = [](fuzz::FuzzInput& input) -> std::size_t { return input.TakeWord() % (RxChunkSize + 1); };
    fuzz::ReceiveAll(fuzz::FuzzInput(data, size), chunkSize, ReceiveEvent);
    return 0;
}
