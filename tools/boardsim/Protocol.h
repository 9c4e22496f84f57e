// The board's side of the command protocol: frame layout, the commands the
// board knows, and the checks every request must pass before the board acts
// on it. Written from the board's point of view and shares no code with the
// updater, so that a fault on either side shows up as a disagreement.
//
// A frame is: start byte, checksum (sum modulo 256 of every byte from the
// payload length on), 16-bit little-endian payload length L, then L payload
// bytes: command group, operation code, parameters. Answers add a result code
// after the operation code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace boardsim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t StartByte = 0xA5;
inline constexpr std::size_t ChecksumOffset = 1;
inline constexpr std::size_t LengthOffset = 2;
inline constexpr std::size_t GroupOffset = 4;
inline constexpr std::size_t OperationOffset = 5;
inline constexpr std::size_t ParametersOffset = 6;
inline constexpr std::size_t HeaderSize = GroupOffset;  // start byte, checksum, length
inline constexpr std::size_t CommandSize = 2;            // group and operation code

inline constexpr std::uint8_t DataFileGroup = 0x11;
inline constexpr std::uint8_t BootGroup = 0x13;
inline constexpr std::uint8_t AlarmGroup = 0xFF;
inline constexpr std::uint8_t AlarmOperation = 0x00;
inline constexpr std::uint8_t ResultSuccess = 0;
inline constexpr std::uint8_t NoBootError = 0;  // GetBootError: the board booted without error

inline constexpr std::size_t NameSize = 12;        // names: zero padded to 12 bytes
inline constexpr std::size_t ImageBlockLimit = 1024;
inline constexpr std::size_t FileBlockLimit = 512;
inline constexpr std::size_t HandleSize = 4;
inline constexpr std::size_t BlockCountSize = 2;
// The longest request the board accepts: an image block of 1024 bytes.
inline constexpr std::size_t MaxRequestPayload = CommandSize + BlockCountSize + ImageBlockLimit;
inline constexpr std::size_t MaxRequestFrame = HeaderSize + MaxRequestPayload;

inline constexpr std::uint8_t BurnBlockCount = 2;  // burn block 0 (firmware) and 1 (BIOS)

enum class Command {
    GetBootError,
    SetBurnBlock,
    CreateDataFile,
    GetNumberofDataFiles,
    CloseDataFile,
    SetBurnMode,
    CreateFlashFile,
    GetFlashInfo,
    EraseFlash,
    CloseFlashFile,
    ImageBlock,
    DataFileBlock,
    FlashFileBlock,
};

struct CommandInfo {
    Command command;
    std::uint8_t group;
    std::uint8_t operation;
    const char* name;
    bool answered;  // the board answers this request
};

const CommandInfo& InfoOf(Command command);
// Null when the board does not know this group and operation.
const CommandInfo* FindCommand(std::uint8_t group, std::uint8_t operation);

// A request that passed every check, with its parameters decoded. Only the
// fields of its command are meaningful.
struct Request {
    Command command = Command::GetBootError;
    std::size_t frameLength = 0;
    std::uint8_t value = 0;      // SetBurnBlock block, SetBurnMode mode, CreateFlashFile type
    std::uint32_t handle = 0;    // closes and file block writes
    std::uint32_t length = 0;    // CreateFlashFile: announced file length
    std::string name;            // CreateDataFile and CreateFlashFile
    Bytes data;                  // block writes
};

// Why a frame was refused, in words for the transcript.
struct Rejection {
    std::string reason;
};

// Checks one whole frame (start byte, length, checksum, command, parameters)
// and decodes it. Never reads beyond `frame`.
std::variant<Request, Rejection> ParseRequest(std::span<const std::uint8_t> frame);

// The checksum a frame must carry: the sum of its bytes from offset 2 on.
std::uint8_t ChecksumOf(std::span<const std::uint8_t> frame);

// Builds a frame around `body` (group, operation code and what follows).
Bytes BuildFrame(std::span<const std::uint8_t> body);

// An answer frame: group, operation code, result code, then `data`.
Bytes BuildAnswer(std::uint8_t group, std::uint8_t operation, std::uint8_t result,
                  std::span<const std::uint8_t> data = {});

// The board's alarm frame.
Bytes BuildAlarm();

std::uint16_t ReadWord(std::span<const std::uint8_t> bytes, std::size_t offset);
std::uint32_t ReadLong(std::span<const std::uint8_t> bytes, std::size_t offset);
void AppendWord(Bytes& bytes, std::uint16_t value);
void AppendLong(Bytes& bytes, std::uint32_t value);

}  // namespace boardsim
