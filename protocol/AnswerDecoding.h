// Answer reception: the assembly of the board's answer frames from the bytes of
// the serial receive events, and the answer table that recognises them.
// Everything here works on bytes and on one session's receive state
// (protocol/ReceiveState.h); the session feeds it the link's bytes and
// reports what it decoded.
//
// An answer frame: start byte 0xA5, checksum (not verified), 16-bit
// little-endian payload length N, group, operation, result code, answer data;
// N + 4 bytes in all. "Frame offset k" is RxBuffer position RxStart + k.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "protocol/Bytes.h"
#include "protocol/ReceiveState.h"

// Frame offsets of the fields every answer has.
inline constexpr int OffsetLength = 2;
inline constexpr int OffsetGroup = 4;
inline constexpr int OffsetOperation = 5;
inline constexpr int OffsetResult = 6;
inline constexpr int OffsetData = 7;

// Group of an entry that matches whatever the answer's group is.
inline constexpr int AnyGroup = -1;

// What decoding an answer does besides raising AnswerReceived.
enum class AnswerEffect {
    None,
    CopyBlock,       // Read Data Block: the block goes to RxBlock
    DataHandle,      // DataFileHandle := LONG at 7
    FlashHandle,     // FlashFileHandle := LONG at 7
    BurnState,       // the front ends show the burn state and line
};

struct AnswerEntry {
    const char* name;
    int group;              // AnyGroup, or the group byte to compare
    Byte operation;
    AnswerEffect effect;
    bool raisesAnswer;      // sets AnswerReceived
    bool decodedOnNetwork;  // also decoded from a datagram
};

inline constexpr int AnswerCount = 24;

// Tried in this order; the first entry whose group and operation match wins.
extern const std::array<AnswerEntry, AnswerCount> AnswerTable;

// Beeps the operator hears for the board's alarm frame (group 0xFF,
// operation 0x00), at every receive event while it is the current frame.
inline constexpr int AlarmBeeps = 2;

// What one receive event or one datagram brought about, for the front end to show.
// The update state (AnswerReceived, the handles) and RxBlock are already set.
struct DecodeOutcome {
    int beeps = 0;
    const AnswerEntry* answer = nullptr;  // the decoded answer, if any
    // The decoded answer's own bytes: its group and operation, its result
    // code, and for Get Boot Error the board's boot error (0 when the frame
    // ends before a field).
    Byte group = 0;
    Byte operation = 0;
    Byte result = 0;
    Byte bootError = 0;
    bool discarded = false;               // a frame did not fit its buffer, or ended before
                                          // the fields its answer carries, and was dropped
    // Get Burnt State: the texts the front ends show, in this order
    // (the state text is empty when the state is neither idle nor busy).
    std::string burnStateText;
    std::string burnLineText;
    // ReceiveChunk's sink only: the completed frame's bytes in RxBuffer, as
    // they came (a Read Data Block answer's are cleared once copied). Valid
    // for the sink's call alone.
    std::span<const Byte> frame;
};

// The first entry of the table that matches a group and operation code, or
// nullptr when there is none.
const AnswerEntry* FindAnswer(Byte group, Byte operation);

// The receive side of one session: the receive state, and what decoded
// answers set (AnswerReceived and the board's file handles).
class TAnswerReceiver : public TReceiveState {
public:
    Byte AnswerReceived = 0;
    std::int32_t DataFileHandle = 0;
    std::int32_t FlashFileHandle = 0;

    // What ReceiveChunk reports for each answer it decodes.
    using AnswerSink = std::function<void(const DecodeOutcome&)>;

    // One serial receive event (at most RxChunkSize bytes): every frame that
    // the read completes is decoded, in order, with the answer table and its
    // effects. A frame starts at an 0xA5 (one right behind another 0xA5 of the
    // noise starts none); a frame whose start byte, length bytes or rest come
    // in a later read is completed from it, unless a new start byte among the
    // bytes it still needs shows that the board began another frame. Bytes
    // outside frames are dropped. A frame longer than RxBuffer is dropped; one
    // that fits RxBuffer but not behind the bytes stored so far is stored from
    // position 1. A decoded frame is consumed (RxCount := RxStart := 0); one
    // that matches no entry stays the current frame until the next start.
    // The alarm frame beeps when it arrives, and at every later read while it
    // is the current frame. Returns the read's beeps, whether a frame was
    // dropped, and the last answer decoded; `each` hears every frame the read
    // completes but the alarm: its answer, or none for a frame that is none.
    DecodeOutcome ReceiveChunk(std::span<const Byte> chunk, const AnswerSink& each = {});

    // The decoding of the current frame alone: the alarm check, then, when the
    // frame is complete, the answer table with its effects.
    DecodeOutcome DecodeSerialAnswer();

    // The network link's decoding of the datagram stored at RxStart: the alarm
    // check, then the answers a transfer waits for (boot error, create file,
    // number of data files, flash info); any other answer is left in RxBuffer
    // undecoded.
    DecodeOutcome DecodeNetworkAnswer();

    // The unsigned little-endian numbers at RxBuffer positions p .. p + 3 and
    // p .. p + 1; positions outside RxBuffer read as 0.
    std::uint32_t LongAt(std::int32_t position) const;
    std::uint16_t ShortAt(std::int32_t position) const;
    // The same numbers as decimal texts.
    std::string LongToStr(std::int32_t position) const;
    std::string ShortToStr(std::int32_t position) const;

private:
    Byte BufferByte(std::int32_t position) const;
    Byte FrameByte(int offset) const;
    // The current frame's bytes stored so far.
    std::span<const Byte> CompletedFrame() const;
    std::uint32_t NumberAt(std::int32_t position, int size) const;
    struct ReceiveResult {
        DecodeOutcome outcome;
        const AnswerSink* sink;
        std::int32_t alarmChecked;  // the frame start whose alarm this read has beeped for
    };
    void Append(std::span<const Byte> bytes);
    void DropCurrentFrame();
    bool HeaderPending() const;
    void MakeRoom(int length);
    bool TakeLength(ReceiveResult& result);
    void CheckAlarm(ReceiveResult& result);
    void FrameCompleted(ReceiveResult& result);
    bool PendingStartIsNoise(std::span<const Byte> chunk) const;
    std::size_t ContinueFrame(std::span<const Byte> chunk, ReceiveResult& result);
    std::size_t StartFrame(std::span<const Byte> chunk, std::size_t start, ReceiveResult& result);
    int StoredFrameBytes() const;
    bool IsAlarmFrame() const;
    int CurrentFrameLength() const;
    bool CurrentFrameComplete() const;
    bool FrameHolds(int end) const;
    bool TakeHandle(std::int32_t& handle);
    bool CopyBlock();
    bool ShowBurnState(DecodeOutcome& outcome) const;
    bool TakeAnswerFields(const AnswerEntry& entry, DecodeOutcome& outcome) const;
    void Apply(const AnswerEntry& entry, DecodeOutcome& outcome);
    template <typename Admit>
    DecodeOutcome Decode(Admit decodes);
};
