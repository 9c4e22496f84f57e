#include "protocol/AnswerDecoding.h"

#include <algorithm>

#include "protocol/Encoder.h"

const std::array<AnswerEntry, AnswerCount> AnswerTable = {{
    {"Read Data Block", 0x11, 0x1F, AnswerEffect::CopyBlock, true, false},
    {"Get Version", 0x0B, 0x0A, AnswerEffect::None, true, false},
    {"Get VIP Register", 0x12, 0x10, AnswerEffect::None, true, false},
    {"Get Pallete Entry", 0x14, 0x47, AnswerEffect::None, true, false},
    {"Get Last Error", AnyGroup, 0x0B, AnswerEffect::None, true, false},
    {"Get Boot Error", 0x13, 0x01, AnswerEffect::None, true, true},
    {"Get Current Disk", AnyGroup, 0x16, AnswerEffect::None, true, false},
    {"Get Disk Parameters", 0x12, 0x17, AnswerEffect::None, false, false},
    {"Create Data File", AnyGroup, 0x1B, AnswerEffect::DataHandle, true, true},
    {"Create Boot File", 0x13, 0x15, AnswerEffect::None, true, false},
    {"Create FLASH File", 0x13, 0x7B, AnswerEffect::FlashHandle, true, true},
    {"Get Burnt State", 0x13, 0x2B, AnswerEffect::BurnState, true, false},
    {"Get Copy Stream File Status", 0x11, 0xAB, AnswerEffect::None, true, false},
    {"Open Data File", 0x11, 0x1C, AnswerEffect::DataHandle, true, false},
    {"Get Transport", 0x50, 0x42, AnswerEffect::None, true, false},
    {"QLN ASI Get No of Programs", 0x50, 0x64, AnswerEffect::None, true, false},
    {"QLN ASI Get Current Number Programs", 0x50, 0x68, AnswerEffect::None, true, false},
    {"Get Data File Size", AnyGroup, 0x20, AnswerEffect::None, true, false},
    {"Get Data Partition Free Space", AnyGroup, 0x21, AnswerEffect::None, false, false},
    {"Get Number of Stream Files", AnyGroup, 0x29, AnswerEffect::None, true, false},
    {"Get Number of Data Files", AnyGroup, 0x22, AnswerEffect::None, true, false},
    {"Get Number of Data Files", 0x13, 0x1C, AnswerEffect::None, true, false},
    {"Get Number of FLASH Files", 0x13, 0x79, AnswerEffect::None, true, false},
    {"answer to GetFlashInfo", 0x13, 0x78, AnswerEffect::None, true, false},
}};

namespace {

// The board's alarm frame.
constexpr Byte AlarmGroup = 0xFF;
constexpr Byte AlarmOperation = 0x00;

// Get Burnt State: burn state at offset 7, burn line (WORD) at offset 8.
constexpr Byte BurnIdle = 0;
constexpr Byte BurnBusy = 1;
constexpr int OffsetBurnLine = 8;
constexpr int BurnLineSize = 2;

// Read Data Block: block length (WORD) at offset 7, the block from offset 9.
constexpr int OffsetBlock = 9;

// Create answers: the handle (LONG) at offset 7.
constexpr int HandleSize = 4;

constexpr int BitsPerByte = 8;

// A frame starts at the first 0xA5 of a chunk; only one frame starts per
// chunk, so an 0xA5 right after another one never starts one. 1-based, 0 = none.
int FindFrameStart(std::span<const Byte> chunk)
{
    const auto start = std::find(chunk.begin(), chunk.end(), FrameStartByte);
    return start == chunk.end() ? 0 : static_cast<int>(start - chunk.begin()) + 1;
}

// A chunk byte by 1-based position; positions beyond the chunk read as 0, as
// the length bytes of a frame that starts at the chunk's end do.
int ChunkByte(std::span<const Byte> chunk, int position)
{
    return position <= static_cast<int>(chunk.size()) ? chunk[static_cast<std::size_t>(position - 1)] : 0;
}

} // namespace

Byte TAnswerReceiver::BufferByte(std::int32_t position) const
{
    if (position < 1 || position > RxBufferSize)
        return 0;
    return RxBuffer[static_cast<std::size_t>(position - 1)];
}

Byte TAnswerReceiver::FrameByte(int offset) const
{
    return BufferByte(RxStart + offset);
}

// Little-endian number of `size` bytes at a buffer position.
std::uint32_t TAnswerReceiver::NumberAt(std::int32_t position, int size) const
{
    std::uint32_t value = 0;
    for (int k = size - 1; k >= 0; --k)
        value = (value << BitsPerByte) | BufferByte(position + k);
    return value;
}

// Appends bytes behind RxCount, never beyond RxBuffer.
void TAnswerReceiver::Append(std::span<const Byte> bytes)
{
    const auto room = static_cast<std::size_t>(RxBufferSize - RxCount);
    const std::size_t count = std::min(bytes.size(), room);
    std::copy_n(bytes.begin(), count, RxBuffer.begin() + RxCount);
    RxCount += static_cast<std::int32_t>(count);
}

void TAnswerReceiver::DropCurrentFrame()
{
    RxCount = 0;
    RxStart = 0;
    FrameRemaining = 0;
}

// Stores a frame that starts at chunk position `start` and is `length` bytes
// long; the bytes that the chunk does not hold yet are left to later events.
bool TAnswerReceiver::StartFrame(std::span<const Byte> chunk, int start, int length)
{
    if (length > RxBufferSize) {
        DropCurrentFrame();
        return false;
    }
    // Nothing reads the bytes before a new frame's start again, so a frame
    // that would run past the end of RxBuffer is stored from its beginning.
    if (RxCount + length > RxBufferSize)
        RxCount = 0;
    RxStart = RxCount + 1;
    const int inChunk = std::min(length, static_cast<int>(chunk.size()) - start + 1);
    Append(chunk.subspan(static_cast<std::size_t>(start - 1), static_cast<std::size_t>(inChunk)));
    FrameRemaining = length - inChunk;
    return true;
}

void TAnswerReceiver::ContinueFrame(std::span<const Byte> chunk)
{
    const int taken = std::min(FrameRemaining, static_cast<int>(chunk.size()));
    Append(chunk.first(static_cast<std::size_t>(taken)));
    FrameRemaining -= taken;
}

int TAnswerReceiver::StoredFrameBytes() const
{
    return RxStart >= 1 ? RxCount - RxStart + 1 : 0;
}

bool TAnswerReceiver::IsAlarmFrame() const
{
    return StoredFrameBytes() > OffsetOperation && FrameByte(OffsetGroup) == AlarmGroup &&
           FrameByte(OffsetOperation) == AlarmOperation;
}

int TAnswerReceiver::CurrentFrameLength() const
{
    return static_cast<int>(ShortAt(RxStart + OffsetLength)) + FrameHeaderSize;
}

bool TAnswerReceiver::CurrentFrameComplete() const
{
    const int stored = StoredFrameBytes();
    return stored >= FrameHeaderSize && stored >= CurrentFrameLength();
}

// Whether the current frame's own bytes reach up to frame offset `end`. What
// lies behind a short frame in RxBuffer is left over from earlier frames (or is
// a datagram's extra bytes), so no field is read from there.
bool TAnswerReceiver::FrameHolds(int end) const
{
    return end <= CurrentFrameLength();
}

// A create answer's handle; false when the frame ends before it.
bool TAnswerReceiver::TakeHandle(std::int32_t& handle)
{
    if (!FrameHolds(OffsetData + HandleSize))
        return false;
    handle = static_cast<std::int32_t>(LongAt(RxStart + OffsetData));
    return true;
}

// Read Data Block: copies the block into RxBlock and clears the stored bytes.
// A block that runs past its frame or does not fit RxBlock is dropped.
bool TAnswerReceiver::CopyBlock()
{
    const int blockLength = ShortAt(RxStart + OffsetData);
    const bool fits = blockLength <= RxBlockSize && FrameHolds(OffsetBlock + blockLength);
    if (fits) {
        const auto first = RxBuffer.begin() + (RxStart - 1 + OffsetBlock);
        std::copy_n(first, blockLength, RxBlock.begin());
    }
    std::fill_n(RxBuffer.begin(), RxCount, Byte{0});
    FrameRemaining = 0;
    return fits;
}

bool TAnswerReceiver::ShowBurnState(DecodeOutcome& outcome) const
{
    if (!FrameHolds(OffsetBurnLine + BurnLineSize))
        return false;
    const Byte state = FrameByte(OffsetData);
    if (state == BurnIdle)
        outcome.burnStateText = "Burn State : Idle";
    else if (state == BurnBusy)
        outcome.burnStateText = "Burn State : Busy";
    outcome.burnLineText = "Burn Line :" + ShortToStr(RxStart + OffsetBurnLine);
    return true;
}

void TAnswerReceiver::TakeAnswerFields(const AnswerEntry& entry, DecodeOutcome& outcome) const
{
    outcome.group = FrameByte(OffsetGroup);
    outcome.operation = FrameByte(OffsetOperation);
    if (FrameHolds(OffsetResult + 1))
        outcome.result = FrameByte(OffsetResult);
    if (entry.group == GroupBoot && entry.operation == OperationBootError && FrameHolds(OffsetData + 1))
        outcome.bootError = FrameByte(OffsetData);
}

// Carries out a decoded answer's effect, consumes its frame and raises
// AnswerReceived when the answer does. An answer too short for the fields its
// effect reads is consumed and discarded.
void TAnswerReceiver::Apply(const AnswerEntry& entry, DecodeOutcome& outcome)
{
    bool accepted = true;
    switch (entry.effect) {
    case AnswerEffect::None:
        break;
    case AnswerEffect::CopyBlock:
        accepted = CopyBlock();
        break;
    case AnswerEffect::DataHandle:
        accepted = TakeHandle(DataFileHandle);
        break;
    case AnswerEffect::FlashHandle:
        accepted = TakeHandle(FlashFileHandle);
        break;
    case AnswerEffect::BurnState:
        accepted = ShowBurnState(outcome);
        break;
    }
    TakeAnswerFields(entry, outcome);
    RxCount = 0;
    RxStart = 0;
    if (!accepted) {
        outcome.discarded = true;
        return;
    }
    outcome.answer = &entry;
    if (entry.raisesAnswer)
        AnswerReceived = 1;
}

// The alarm check and the recognition of a complete current frame, with the
// entries that `decodes` admits.
template <typename Admit>
DecodeOutcome TAnswerReceiver::Decode(Admit decodes)
{
    DecodeOutcome outcome;
    if (IsAlarmFrame())
        outcome.beeps = AlarmBeeps;
    // A frame too short to carry its group and operation is no answer.
    if (!CurrentFrameComplete() || !FrameHolds(OffsetOperation + 1))
        return outcome;
    const AnswerEntry* entry = FindAnswer(FrameByte(OffsetGroup), FrameByte(OffsetOperation));
    if (entry != nullptr && decodes(*entry))
        Apply(*entry, outcome);
    return outcome;
}



const AnswerEntry* FindAnswer(Byte group, Byte operation)
{
    const auto match = std::find_if(AnswerTable.begin(), AnswerTable.end(), [&](const AnswerEntry& entry) {
        return entry.operation == operation && (entry.group == AnyGroup || entry.group == group);
    });
    return match == AnswerTable.end() ? nullptr : &*match;
}

std::uint32_t TAnswerReceiver::LongAt(std::int32_t position) const
{
    return NumberAt(position, sizeof(std::uint32_t));
}

std::uint16_t TAnswerReceiver::ShortAt(std::int32_t position) const
{
    return static_cast<std::uint16_t>(NumberAt(position, sizeof(std::uint16_t)));
}

std::string TAnswerReceiver::LongToStr(std::int32_t position) const
{
    return std::to_string(LongAt(position));
}

std::string TAnswerReceiver::ShortToStr(std::int32_t position) const
{
    return std::to_string(ShortAt(position));
}

bool TAnswerReceiver::AssembleFrame(std::span<const Byte> chunk)
{
    chunk = chunk.first(std::min(chunk.size(), static_cast<std::size_t>(RxChunkSize)));
    const int start = FindFrameStart(chunk);
    if (start == 0) {
        ContinueFrame(chunk);
        return true;
    }
    const int payloadLength = ChunkByte(chunk, start + OffsetLength) +
                              (ChunkByte(chunk, start + OffsetLength + 1) << BitsPerByte);
    return StartFrame(chunk, start, payloadLength + FrameHeaderSize);
}

DecodeOutcome TAnswerReceiver::DecodeSerialAnswer()
{
    return Decode([](const AnswerEntry&) { return true; });
}

DecodeOutcome TAnswerReceiver::ReceiveChunk(std::span<const Byte> chunk)
{
    const bool stored = AssembleFrame(chunk);
    DecodeOutcome outcome = DecodeSerialAnswer();
    outcome.discarded = outcome.discarded || !stored;
    return outcome;
}

DecodeOutcome TAnswerReceiver::DecodeNetworkAnswer()
{
    return Decode([](const AnswerEntry& entry) { return entry.decodedOnNetwork; });
}
