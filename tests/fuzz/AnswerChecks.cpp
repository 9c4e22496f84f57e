#include "tests/fuzz/AnswerChecks.h"

#include <algorithm>
#include <string>

#include "protocol/Encoder.h"
#include "tests/fuzz/FuzzSupport.h"

TAnswerReceiver Receiver;

namespace fuzz {

namespace {

// Handles the decoding must leave as they are unless a create answer carries
// a new one.
constexpr std::int32_t UntouchedDataHandle = 0x0D0D0D0D;
constexpr std::int32_t UntouchedFlashHandle = 0x0F0F0F0F;

constexpr Byte AlarmGroup = 0xFF;
constexpr Byte AlarmOperation = 0x00;

// Where the answers' fields lie (frame offsets) and how long they are.
constexpr std::size_t CommandEnd = OffsetOperation + 1;  // a shorter frame carries no command
constexpr std::size_t HandleSize = 4;
constexpr std::size_t BlockLengthSize = 2;
constexpr std::size_t BlockOffset = OffsetData + BlockLengthSize;
constexpr std::size_t BurnLineOffset = OffsetData + 1;
constexpr std::size_t BurnLineSize = 2;
constexpr Byte BurnIdle = 0;
constexpr Byte BurnBusy = 1;

std::size_t FrameLength(std::span<const Byte> stored)
{
    return WordAt(stored, OffsetLength) + std::size_t{FrameHeaderSize};
}

bool IsComplete(std::span<const Byte> stored)
{
    return stored.size() >= FrameHeaderSize && stored.size() >= FrameLength(stored);
}

bool IsAlarm(std::span<const Byte> stored)
{
    return stored.size() >= CommandEnd && stored[OffsetGroup] == AlarmGroup &&
           stored[OffsetOperation] == AlarmOperation;
}

// The answer a stored frame is, on `link`; nullptr when it is incomplete, too
// short to carry its command, or an answer the link does not decode.
const AnswerEntry* ExpectedAnswer(std::span<const Byte> stored, Link link)
{
    if (!IsComplete(stored) || FrameLength(stored) < CommandEnd)
        return nullptr;
    const AnswerEntry* entry = FindAnswer(stored[OffsetGroup], stored[OffsetOperation]);
    if (entry != nullptr && link == Link::Network && !entry->decodedOnNetwork)
        return nullptr;
    return entry;
}

bool HandleFits(std::span<const Byte> frame)
{
    return OffsetData + HandleSize <= frame.size();
}

// Whether the frame carries the fields every answer has (its result code, and
// a boot-error answer its boot error) and those its effect reads, within the
// frame and, for a data block, within RxBlock. A create answer that ends after
// a non-zero result code is a refusal, taken without a handle.
bool EffectFits(const AnswerEntry& entry, std::span<const Byte> frame)
{
    if (OffsetResult + 1 > frame.size())
        return false;
    if (entry.group == GroupBoot && entry.operation == OperationBootError && OffsetData + 1 > frame.size())
        return false;
    switch (entry.effect) {
    case AnswerEffect::None:
        return true;
    case AnswerEffect::CopyBlock: {
        const std::size_t blockLength = WordAt(frame, OffsetData);
        return blockLength <= RxBlockSize && BlockOffset + blockLength <= frame.size();
    }
    case AnswerEffect::DataHandle:
    case AnswerEffect::FlashHandle:
        return HandleFits(frame) || frame[OffsetResult] != 0;
    case AnswerEffect::BurnState:
        return BurnLineOffset + BurnLineSize <= frame.size();
    }
    return false;
}

void CheckHandles(std::int32_t dataHandle, std::int32_t flashHandle)
{
    FUZZ_CHECK(Receiver.DataFileHandle == dataHandle);
    FUZZ_CHECK(Receiver.FlashFileHandle == flashHandle);
}

// Nothing decoded: the frame stays current and nothing changed.
void CheckLeftAlone(const ReceiveSnapshot& before, const DecodeOutcome& outcome)
{
    FUZZ_CHECK(outcome.answer == nullptr);
    FUZZ_CHECK(!outcome.discarded);
    FUZZ_CHECK(Receiver.RxCount == before.count && Receiver.RxStart == before.start && Receiver.FrameRemaining == before.remaining);
    FUZZ_CHECK(Receiver.RxBuffer == before.buffer);
    FUZZ_CHECK(Receiver.RxBlock == before.block);
    FUZZ_CHECK(Receiver.AnswerReceived == 0);
    CheckHandles(UntouchedDataHandle, UntouchedFlashHandle);
}

// An answer whose fields do not fit: consumed, and nothing taken from it.
void CheckDiscarded(const ReceiveSnapshot& before, const DecodeOutcome& outcome)
{
    FUZZ_CHECK(outcome.answer == nullptr);
    FUZZ_CHECK(outcome.discarded);
    FUZZ_CHECK(Receiver.RxCount == 0 && Receiver.RxStart == 0);
    FUZZ_CHECK(Receiver.RxBlock == before.block);
    FUZZ_CHECK(Receiver.AnswerReceived == 0);
    CheckHandles(UntouchedDataHandle, UntouchedFlashHandle);
}

// Read Data Block: the block lands at the start of RxBlock, the stored bytes
// are cleared, and nothing else changes.
void CheckBlockCopied(const ReceiveSnapshot& before, std::span<const Byte> frame)
{
    const std::size_t blockLength = WordAt(frame, OffsetData);
    const auto block = frame.subspan(BlockOffset, blockLength);
    FUZZ_CHECK(std::equal(block.begin(), block.end(), Receiver.RxBlock.begin()));
    FUZZ_CHECK(std::equal(Receiver.RxBlock.begin() + static_cast<std::ptrdiff_t>(blockLength), Receiver.RxBlock.end(),
                          before.block.begin() + static_cast<std::ptrdiff_t>(blockLength)));
    const auto cleared = Receiver.RxBuffer.begin() + before.count;
    FUZZ_CHECK(std::all_of(Receiver.RxBuffer.begin(), cleared, [](Byte b) { return b == 0; }));
    FUZZ_CHECK(std::equal(cleared, Receiver.RxBuffer.end(), before.buffer.begin() + before.count));
    FUZZ_CHECK(Receiver.FrameRemaining == 0);
}

void CheckBurnState(const DecodeOutcome& outcome, std::span<const Byte> frame)
{
    const Byte state = frame[OffsetData];
    const std::string stateText = state == BurnIdle   ? "Burn State : Idle"
                                  : state == BurnBusy ? "Burn State : Busy"
                                                      : "";
    FUZZ_CHECK(outcome.burnStateText == stateText);
    FUZZ_CHECK(outcome.burnLineText == "Burn Line :" + std::to_string(WordAt(frame, BurnLineOffset)));
}

void CheckDecoded(const ReceiveSnapshot& before, const AnswerEntry& entry, const DecodeOutcome& outcome,
                  std::span<const Byte> frame)
{
    FUZZ_CHECK(outcome.answer == &entry);
    FUZZ_CHECK(!outcome.discarded);
    FUZZ_CHECK(Receiver.RxCount == 0 && Receiver.RxStart == 0);
    FUZZ_CHECK(Receiver.AnswerReceived == (entry.raisesAnswer ? 1 : 0));
    const auto handle = static_cast<std::int32_t>(LongAt(frame, OffsetData));
    const bool newHandle = HandleFits(frame);
    CheckHandles(entry.effect == AnswerEffect::DataHandle && newHandle ? handle : UntouchedDataHandle,
                 entry.effect == AnswerEffect::FlashHandle && newHandle ? handle : UntouchedFlashHandle);
    if (entry.effect == AnswerEffect::CopyBlock) {
        CheckBlockCopied(before, frame);
        return;
    }
    FUZZ_CHECK(Receiver.RxBuffer == before.buffer);
    FUZZ_CHECK(Receiver.RxBlock == before.block);
    if (entry.effect == AnswerEffect::BurnState)
        CheckBurnState(outcome, frame);
}

} // namespace

std::span<const Byte> ReceiveSnapshot::StoredFrame() const
{
    if (start < 1)
        return {};
    return std::span<const Byte>(buffer).subspan(static_cast<std::size_t>(start - 1),
                                                 static_cast<std::size_t>(count - start + 1));
}

ReceiveCounts TakeCounts()
{
    CheckReceiveBounds();
    return {Receiver.RxCount, Receiver.RxStart, Receiver.FrameRemaining};
}

ReceiveSnapshot TakeSnapshot()
{
    ReceiveSnapshot snapshot;
    static_cast<ReceiveCounts&>(snapshot) = TakeCounts();
    snapshot.buffer = Receiver.RxBuffer;
    snapshot.block = Receiver.RxBlock;
    return snapshot;
}

void CheckReceiveBounds()
{
    FUZZ_CHECK(Receiver.RxCount >= 0 && Receiver.RxCount <= RxBufferSize);
    FUZZ_CHECK(Receiver.RxStart >= 0 && Receiver.RxStart <= Receiver.RxCount);
    FUZZ_CHECK(Receiver.RxStart >= 1 || Receiver.RxCount == 0);
    FUZZ_CHECK(Receiver.FrameRemaining >= 0);
    FUZZ_CHECK(Receiver.FrameRemaining == 0 || Receiver.RxStart >= 1);
    FUZZ_CHECK(Receiver.RxCount + Receiver.FrameRemaining <= RxBufferSize);
}

DecodeOutcome DecodeAndCheck(Link link)
{
    const ReceiveSnapshot before = TakeSnapshot();
    const std::span<const Byte> stored = before.StoredFrame();
    Receiver.AnswerReceived = 0;
    Receiver.DataFileHandle = UntouchedDataHandle;
    Receiver.FlashFileHandle = UntouchedFlashHandle;

    const DecodeOutcome outcome = link == Link::Serial ? Receiver.DecodeSerialAnswer() : Receiver.DecodeNetworkAnswer();

    FUZZ_CHECK(outcome.beeps == (IsAlarm(stored) ? AlarmBeeps : 0));
    const AnswerEntry* entry = ExpectedAnswer(stored, link);
    if (entry == nullptr) {
        CheckLeftAlone(before, outcome);
    } else {
        const std::span<const Byte> frame = stored.first(FrameLength(stored));
        if (EffectFits(*entry, frame))
            CheckDecoded(before, *entry, outcome, frame);
        else
            CheckDiscarded(before, outcome);
    }
    CheckReceiveBounds();
    return outcome;
}

} // namespace fuzz
