// The command table and the request encoder. Everything here is a plain
// function over texts and bytes, and the table is constant data; the encoder's
// state is the request frame each session with a board holds.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "protocol/Bytes.h"

inline constexpr Byte FrameStartByte = 0xA5;
inline constexpr int FrameHeaderSize = 4;       // start byte, checksum, 16-bit payload length
inline constexpr int TxFrameSize = 1500;
inline constexpr int MaxCommandFields = 100;
inline constexpr int NameFieldSize = 12;        // NM parameters: 12 bytes, zero padded

// Command groups and the operations of the block writes, which are built
// without the command table.
inline constexpr Byte GroupDataFile = 0x11;
inline constexpr Byte GroupBoot = 0x13;
inline constexpr Byte OperationImageBlock = 0xC9;
inline constexpr Byte OperationBootError = 0x01;
inline constexpr Byte OperationDataFileBlock = 0x1E;
inline constexpr Byte OperationFlashFileBlock = 0x7C;
inline constexpr int ImageBlockSize = 1024;

// The request frame being built, and whether the board answers it. Every
// session with a board has one of its own.
struct TRequestFrame {
    std::array<Byte, TxFrameSize> TxFrame{};
    std::int32_t TxLength = 0;  // 1-based position of the next byte: the frame is TxLength - 1 bytes
    Byte NoReply = 0;           // 1 when the request just built gets no answer
    std::string CallText;       // the call being encoded; cut down as arguments are taken
};

// The name of a template or call text: its leading part up to its first ":",
// or, when it has none, up to its first "(" (empty when it has neither).
std::string CommandName(const std::string& text);

struct CommandMatch {
    bool found = false;
    Byte noReply = 1;
    std::string fieldList;  // e.g. "13,C8,BY"
};

// The board's command templates in table order, each the part of its
// command's definition from the "%" on, behind a blank. Built once, on first
// use, and constant afterwards, so sessions on several threads share them.
std::span<const std::string> CommandTemplates();

// Looks a call text up among the first `count` templates, in table order.
CommandMatch MatchCommand(const std::string& callText,
                          std::span<const std::string> templates, std::int32_t count);
// Looks a call text up among the board's command templates.
CommandMatch MatchCommand(const std::string& callText);

// Takes the next argument from a call text, cutting the text down as the
// encoder does.
std::string TakeArgument(std::string& callText);

// Encodes a field list with the arguments of `callText` into
// `frame` and returns the new TxLength (frame length + 1). Raises EConvertError
// for an argument or literal that does not convert; raises std::length_error
// rather than write beyond `frame`.
std::int32_t EncodeRequest(const std::string& fieldList, std::string& callText,
                           std::span<Byte> frame, std::span<const Byte> dataBlock);

// The checksum of a whole frame: the low byte of the sum of its bytes behind
// the start byte and the checksum itself.
Byte FrameChecksum(std::span<const Byte> frame);

// Writes start byte, payload length and checksum around a payload of
// `payloadLength` bytes that already stands at offset 4 of `frame`, and
// returns the TxLength of the frame. Block senders use it too.
std::int32_t CloseFrame(std::span<Byte> frame, int payloadLength);

// Builds a block write in `frame`: group, operation, the file handle when
// there is one (4 bytes), the block length (2 bytes) and the block's bytes.
// Returns the TxLength of the frame. The bytes may already stand where they
// go, at BlockDataOffset: a block read straight into its frame is not copied.
std::size_t BlockDataOffset(bool withHandle);
std::int32_t EncodeBlockWrite(std::span<Byte> frame, Byte group, Byte operation,
                              std::optional<std::uint32_t> handle, std::span<const Byte> data);

// Conversions with the runtime's error text.
std::uint32_t HexArgument(const std::string& text);   // BY, BO, SH and literals
std::int64_t DecimalArgument(const std::string& text); // LO
