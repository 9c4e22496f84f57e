// Checks of answer decoding that the serial and the network harness share:
// the receive state stays within its buffers, and decoding acts on the bytes
// of the current frame alone - never on bytes that an earlier frame left
// behind it in RxBuffer.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "protocol/AnswerDecoding.h"
#include "protocol/ReceiveState.h"
#include "tests/fuzz/FuzzSupport.h"

// The receive side of the session that the harnesses drive.
extern TAnswerReceiver Receiver;

namespace fuzz {

// Which answers are decoded: all of the table on the serial link, only those
// marked for it on the network link.
enum class Link { Serial, Network };

// RxCount, RxStart and FrameRemaining as they were before a step.
struct ReceiveCounts {
    std::int32_t count = 0;
    std::int32_t start = 0;
    std::int32_t remaining = 0;
};

// The whole receive state as it was before a step.
struct ReceiveSnapshot : ReceiveCounts {
    std::array<Byte, RxBufferSize> buffer{};
    std::array<Byte, RxBlockSize> block{};

    // The bytes stored so far of the current frame; empty when there is none.
    std::span<const Byte> StoredFrame() const;
};

// Both check the receive bounds first. The counts alone spare the copy of the
// buffers where a check needs no more.
ReceiveCounts TakeCounts();
ReceiveSnapshot TakeSnapshot();

// RxCount, RxStart and FrameRemaining lie within RxBuffer and agree with each
// other: a current frame has its start stored, and the bytes it still expects
// fit behind the stored ones.
void CheckReceiveBounds();

// Decodes the current frame as `link` does and checks the outcome, the receive
// state, the handles and AnswerReceived against what the frame's own bytes
// call for.
DecodeOutcome DecodeAndCheck(Link link);

// Runs one fuzz input from the program's initial state as a sequence of
// receptions: each is a size that `takeSize` takes from the input, then as many
// bytes (fewer at the input's end), which go to `receive`.
template <typename TakeSize, typename Receive>
void ReceiveAll(FuzzInput input, TakeSize takeSize, Receive receive)
{
    Receiver = TAnswerReceiver();
    while (!input.Empty()) {
        const std::size_t size = takeSize(input);
        receive(input.TakeBytes(size));
    }
}

} // namespace fuzz
