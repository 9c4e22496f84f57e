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
    {"Get Number of Data Files", AnyGroup, 0x22, AnswerEffect::None, true, true},
    {"Get Number of Data Files", 0x13, 0x1C, AnswerEffect::None, true, false},
    {"Get Number of FLASH Files", 0x13, 0x79, AnswerEffect::None, true, false},
    {"answer to GetFlashInfo", 0x13, 0x78, AnswerEffect::None, true, true},
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

// The payload length and checksum of a frame that starts at `start` in `bytes`
// (its first four bytes there).
int LengthAt(std::span<const Byte> bytes, std::size_t start)
{
    return bytes[start + OffsetLength] + (bytes[start + OffsetLength + 1] << BitsPerByte) + FrameHeaderSize;
}

// Whether `bytes` hold, from `start`, a whole frame whose checksum (the sum of
// its bytes from offset 2 on) agrees. Answers are taken without checking it;
// this only tells a start byte in the line's noise from a real answer.
bool HoldsCheckedFrame(std::span<const Byte> bytes, std::size_t start)
{
    if (start + FrameHeaderSize > bytes.size())
        return false;
    const auto length = static_cast<std::size_t>(LengthAt(bytes, start));
    if (start + length > bytes.size())
        return false;
    return FrameChecksum(bytes.subspan(start, length)) == bytes[start + 1];
}

constexpr std::size_t NoStart = static_cast<std::size_t>(-1);

// The first start byte in `bytes` at or after `from` behind which a whole
// frame with a good checksum stands.
std::size_t CheckedFrameStart(std::span<const Byte> bytes, std::size_t from)
{
    for (std::size_t q = from; q < bytes.size(); ++q)
        if (bytes[q] == FrameStartByte && HoldsCheckedFrame(bytes, q))
            return q;
    return NoStart;
}

// The first 0xA5 at or after `from` that can start a frame: one right behind
// another 0xA5 of the line's noise cannot (it is that one's checksum byte).
// The byte at `from` follows nothing when `fresh` (a read's first byte, or
// the byte after a whole frame).
std::size_t NextStart(std::span<const Byte> chunk, std::size_t from, bool fresh)
{
    for (std::size_t j = from; j < chunk.size(); ++j) {
        const bool follows = j > from || !fresh;
        if (chunk[j] == FrameStartByte && !(follows && j > 0 && chunk[j - 1] == FrameStartByte))
            return j;
    }
    return NoStart;
}

bool IsBootErrorAnswer(const AnswerEntry& entry)
{
    return entry.group == GroupBoot && entry.operation == OperationBootError;
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

// A create answer's handle; false when the frame ends before it. A board
// that refuses a create may end its answer right after the result code: the
// refusal is an answer all the same, and the handle stays as it was.
bool TAnswerReceiver::TakeHandle(std::int32_t& handle)
{
    if (!FrameHolds(OffsetData + HandleSize))
        return FrameHolds(OffsetResult + 1) && FrameByte(OffsetResult) != 0;
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

// Takes the fields every answer carries: false when the frame ends before
// its result code, or a boot-error answer before its boot error, so that a
// cut answer is never read as a success.
bool TAnswerReceiver::TakeAnswerFields(const AnswerEntry& entry, DecodeOutcome& outcome) const
{
    outcome.group = FrameByte(OffsetGroup);
    outcome.operation = FrameByte(OffsetOperation);
    if (!FrameHolds(OffsetResult + 1))
        return false;
    outcome.result = FrameByte(OffsetResult);
    if (!IsBootErrorAnswer(entry))
        return true;
    if (!FrameHolds(OffsetData + 1))
        return false;
    outcome.bootError = FrameByte(OffsetData);
    return true;
}

// Carries out a decoded answer's effect, consumes its frame and raises
// AnswerReceived when the answer does. An answer too short for the fields its
// effect reads is consumed and discarded.
void TAnswerReceiver::Apply(const AnswerEntry& entry, DecodeOutcome& outcome)
{
    // Taken before the effect: Read Data Block clears the stored bytes.
    bool accepted = TakeAnswerFields(entry, outcome);
    switch (accepted ? entry.effect : AnswerEffect::None) {
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

bool TAnswerReceiver::HeaderPending() const
{
    return RxStart >= 1 && StoredFrameBytes() < FrameHeaderSize;
}

void TAnswerReceiver::MakeRoom(int length)
{
    // Nothing reads the bytes before a frame's start again, so a frame that
    // would run past the end of RxBuffer is stored from its beginning.
    if (RxStart - 1 + length <= RxBufferSize)
        return;
    const int stored = StoredFrameBytes();
    std::copy_n(RxBuffer.begin() + (RxStart - 1), stored, RxBuffer.begin());
    RxStart = 1;
    RxCount = stored;
}

// The current frame's length is known: checks it against RxBuffer and sets
// what is still to come. False when the frame was dropped for its size.
bool TAnswerReceiver::TakeLength(ReceiveResult& result)
{
    const int length = CurrentFrameLength();
    if (length > RxBufferSize) {
        DropCurrentFrame();
        result.outcome.discarded = true;
        return false;
    }
    MakeRoom(length);
    FrameRemaining = length - StoredFrameBytes();
    return true;
}

void TAnswerReceiver::CheckAlarm(ReceiveResult& result)
{
    if (RxStart >= 1 && RxStart != result.alarmChecked && IsAlarmFrame()) {
        result.outcome.beeps += AlarmBeeps;
        result.alarmChecked = RxStart;
    }
}

std::span<const Byte> TAnswerReceiver::CompletedFrame() const
{
    if (RxStart < 1)
        return {};
    const auto stored = static_cast<std::size_t>(StoredFrameBytes());
    return std::span<const Byte>(RxBuffer).subspan(static_cast<std::size_t>(RxStart - 1), stored);
}

void TAnswerReceiver::FrameCompleted(ReceiveResult& result)
{
    CheckAlarm(result);
    if (IsAlarmFrame())
        return;
    const bool hears = result.sink != nullptr && *result.sink;
    // A frame too short to carry its group and operation is no answer; one
    // that matches no entry stays the current frame until the next start.
    const AnswerEntry* entry =
        FrameHolds(OffsetOperation + 1) ? FindAnswer(FrameByte(OffsetGroup), FrameByte(OffsetOperation)) : nullptr;
    DecodeOutcome decoded;
    decoded.frame = CompletedFrame();
    if (entry != nullptr)
        Apply(*entry, decoded);
    result.outcome.discarded = result.outcome.discarded || decoded.discarded;
    if (decoded.answer == nullptr) {
        if (hears)
            (*result.sink)(decoded);
        return;
    }
    result.outcome.answer = decoded.answer;
    result.outcome.group = decoded.group;
    result.outcome.operation = decoded.operation;
    result.outcome.result = decoded.result;
    result.outcome.bootError = decoded.bootError;
    if (!decoded.burnStateText.empty())
        result.outcome.burnStateText = decoded.burnStateText;
    if (!decoded.burnLineText.empty())
        result.outcome.burnLineText = decoded.burnLineText;
    if (hears)
        (*result.sink)(decoded);
}

// A start byte at the end of an earlier read is the line's noise when this
// read holds a whole frame with a good checksum and the start's own frame
// would not be one.
bool TAnswerReceiver::PendingStartIsNoise(std::span<const Byte> chunk) const
{
    if (CheckedFrameStart(chunk, 0) == NoStart)
        return false;
    std::array<Byte, FrameHeaderSize + RxChunkSize> joined{};
    const auto stored = static_cast<std::size_t>(StoredFrameBytes());
    std::copy_n(RxBuffer.begin() + (RxStart - 1), stored, joined.begin());
    std::copy(chunk.begin(), chunk.end(), joined.begin() + static_cast<std::ptrdiff_t>(stored));
    return !HoldsCheckedFrame(std::span<const Byte>(joined.data(), stored + chunk.size()), 0);
}

// Carries on the current frame with the read's first bytes; returns how many
// it took. A start byte among the bytes the frame still needs abandons it
// (the board has begun another frame), once its length is known.
std::size_t TAnswerReceiver::ContinueFrame(std::span<const Byte> chunk, ReceiveResult& result)
{
    std::size_t taken = 0;
    if (HeaderPending() && PendingStartIsNoise(chunk)) {
        const std::size_t checked = CheckedFrameStart(chunk, 0);
        DropCurrentFrame();
        return checked;
    }
    if (HeaderPending()) {
        taken = std::min(chunk.size(), static_cast<std::size_t>(FrameHeaderSize - StoredFrameBytes()));
        Append(chunk.first(taken));
        if (HeaderPending() || !TakeLength(result))
            return taken;
    }
    const std::span<const Byte> rest = chunk.subspan(taken);
    const std::size_t wanted = std::min(rest.size(), static_cast<std::size_t>(FrameRemaining));
    const std::size_t start = NextStart(rest.first(wanted), 0, taken == 0);
    if (start != NoStart) {
        FrameRemaining = 0;
        return taken + start;
    }
    Append(rest.first(wanted));
    FrameRemaining -= static_cast<int>(wanted);
    if (FrameRemaining == 0)
        FrameCompleted(result);
    return taken + wanted;
}

// Starts a frame at chunk index `start`; returns the index after the bytes
// it took. A start whose frame does not end in this read while a frame with
// a good checksum starts behind it in the same read is the line's noise.
std::size_t TAnswerReceiver::StartFrame(std::span<const Byte> chunk, std::size_t start, ReceiveResult& result)
{
    const std::span<const Byte> from = chunk.subspan(start);
    if (from.size() >= static_cast<std::size_t>(FrameHeaderSize)) {
        const auto length = static_cast<std::size_t>(LengthAt(from, 0));
        if (length > from.size()) {
            const std::size_t checked = CheckedFrameStart(from, 1);
            if (checked != NoStart)
                return start + checked;
        }
        if (length > static_cast<std::size_t>(RxBufferSize)) {
            DropCurrentFrame();
            result.outcome.discarded = true;
            return start + 1;
        }
        if (RxCount + static_cast<int>(length) > RxBufferSize)
            RxCount = 0;
    } else if (RxCount + FrameHeaderSize > RxBufferSize) {
        RxCount = 0;
    }
    RxStart = RxCount + 1;
    FrameRemaining = 0;
    const std::size_t header = std::min(from.size(), static_cast<std::size_t>(FrameHeaderSize));
    Append(from.first(header));
    if (HeaderPending())
        return start + header;
    if (!TakeLength(result))
        return start + header;
    const std::size_t body = std::min(from.size() - header, static_cast<std::size_t>(FrameRemaining));
    Append(from.subspan(header, body));
    FrameRemaining -= static_cast<int>(body);
    if (FrameRemaining == 0)
        FrameCompleted(result);
    return start + header + body;
}

DecodeOutcome TAnswerReceiver::ReceiveChunk(std::span<const Byte> chunk, const AnswerSink& each)
{
    chunk = chunk.first(std::min(chunk.size(), static_cast<std::size_t>(RxChunkSize)));
    ReceiveResult result{{}, &each, 0};
    std::size_t at = 0;
    bool fresh = true;
    if (RxStart >= 1 && (HeaderPending() || FrameRemaining > 0)) {
        at = ContinueFrame(chunk, result);
        fresh = FrameRemaining == 0 && !HeaderPending();
    }
    // Every frame that starts in this read is taken in turn; bytes outside
    // frames are the line's noise and are dropped.
    for (;;) {
        const std::size_t start = NextStart(chunk, at, fresh);
        if (start == NoStart)
            break;
        at = StartFrame(chunk, start, result);
        fresh = FrameRemaining == 0 && !HeaderPending();
    }
    CheckAlarm(result);
    return result.outcome;
}

DecodeOutcome TAnswerReceiver::DecodeSerialAnswer()
{
    return Decode([](const AnswerEntry&) { return true; });
}

DecodeOutcome TAnswerReceiver::DecodeNetworkAnswer()
{
    return Decode([](const AnswerEntry& entry) { return entry.decodedOnNetwork; });
}
