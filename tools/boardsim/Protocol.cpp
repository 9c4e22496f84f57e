#include "tools/boardsim/Protocol.h"

#include <algorithm>
#include <array>
#include <numeric>

namespace boardsim {

namespace {

constexpr auto CommandList = std::to_array<CommandInfo>({
    {Command::GetBootError, BootGroup, 0x01, "GetBootError", true},
    {Command::SetBurnBlock, BootGroup, 0xC8, "SetBurnBlock", false},
    {Command::CreateDataFile, DataFileGroup, 0x1B, "CreateDataFile", true},
    {Command::GetNumberofDataFiles, DataFileGroup, 0x22, "GetNumberofDataFiles", true},
    {Command::CloseDataFile, DataFileGroup, 0x1D, "CloseDataFile", false},
    {Command::SetBurnMode, BootGroup, 0x2A, "SetBurnMode", false},
    {Command::CreateFlashFile, BootGroup, 0x7B, "CreateFlashFile", true},
    {Command::GetFlashInfo, BootGroup, 0x78, "GetFlashInfo", true},
    {Command::EraseFlash, BootGroup, 0x7F, "EraseFlash", false},
    {Command::CloseFlashFile, BootGroup, 0x7D, "CloseFlashFile", false},
    {Command::ImageBlock, BootGroup, 0xC9, "ImageBlock", false},
    {Command::DataFileBlock, DataFileGroup, 0x1E, "DataFileBlock", false},
    {Command::FlashFileBlock, BootGroup, 0x7C, "FlashFileBlock", false},
});

constexpr std::size_t ByteSize = 1;
constexpr std::size_t LongSize = 4;
constexpr std::uint8_t FirstPrintable = 0x20;
constexpr std::uint8_t Delete = 0x7F;
constexpr int BitsPerByte = 8;

Rejection Reject(std::string reason)
{
    return Rejection{std::move(reason)};
}

Rejection WrongSize(std::size_t expected, std::size_t actual)
{
    return Reject("parameters: " + std::to_string(actual) + " bytes, expected " +
                  std::to_string(expected));
}

// A name field: the text up to the first zero byte, only zero bytes after it.
// The board keeps files under these names, so anything that could leave its
// folder or garble a listing is refused.
std::variant<std::string, Rejection> DecodeName(std::span<const std::uint8_t> field)
{
    const auto end = std::find(field.begin(), field.end(), 0);
    if (std::any_of(end, field.end(), [](std::uint8_t b) { return b != 0; })) {
        return Reject("name: bytes after its terminating zero");
    }
    std::string name(field.begin(), end);
    if (name.empty()) {
        return Reject("name: empty");
    }
    if (name == "." || name == "..") {
        return Reject("name: '" + name + "' is not a file name");
    }
    for (unsigned char c : name) {
        if (c < FirstPrintable || c == Delete || c == '/') {
            return Reject("name: contains a control character or '/'");
        }
    }
    return name;
}

// Block writes: [handle,] 16-bit count n, n data bytes.
std::variant<Request, Rejection> DecodeBlock(Request request, std::span<const std::uint8_t> params,
                                             bool withHandle, std::size_t limit)
{
    const std::size_t head = (withHandle ? HandleSize : 0) + BlockCountSize;
    if (params.size() < head) {
        return Reject("parameters: " + std::to_string(params.size()) + " bytes, block header needs " +
                      std::to_string(head));
    }
    if (withHandle) {
        request.handle = ReadLong(params, 0);
    }
    const std::size_t count = ReadWord(params, head - BlockCountSize);
    if (count > limit) {
        return Reject("block of " + std::to_string(count) + " bytes, at most " + std::to_string(limit));
    }
    if (params.size() != head + count) {
        return Reject("block count " + std::to_string(count) + " disagrees with " +
                      std::to_string(params.size() - head) + " data bytes");
    }
    request.data.assign(params.begin() + static_cast<std::ptrdiff_t>(head), params.end());
    return request;
}

std::variant<Request, Rejection> DecodeCreate(Request request, std::span<const std::uint8_t> params,
                                              std::size_t expected)
{
    if (params.size() != expected) {
        return WrongSize(expected, params.size());
    }
    auto name = DecodeName(params.first(NameSize));
    if (auto* rejection = std::get_if<Rejection>(&name)) {
        return *rejection;
    }
    request.name = std::get<std::string>(name);
    if (request.command == Command::CreateFlashFile) {
        request.length = ReadLong(params, NameSize);
        request.value = params[NameSize + LongSize];
    }
    return request;
}

std::variant<Request, Rejection> DecodeFixed(Request request, std::span<const std::uint8_t> params,
                                             std::size_t expected)
{
    if (params.size() != expected) {
        return WrongSize(expected, params.size());
    }
    if (expected == ByteSize) {
        request.value = params[0];
    } else if (expected == LongSize) {
        request.handle = ReadLong(params, 0);
    }
    if (request.command == Command::SetBurnBlock && request.value >= BurnBlockCount) {
        return Reject("burn block " + std::to_string(request.value) + " does not exist");
    }
    return request;
}

std::variant<Request, Rejection> DecodeParameters(Request request, std::span<const std::uint8_t> params)
{
    switch (request.command) {
    case Command::GetBootError:
    case Command::GetNumberofDataFiles:
    case Command::GetFlashInfo:
    case Command::EraseFlash:
        return DecodeFixed(std::move(request), params, 0);
    case Command::SetBurnBlock:
    case Command::SetBurnMode:
        return DecodeFixed(std::move(request), params, ByteSize);
    case Command::CloseDataFile:
    case Command::CloseFlashFile:
        return DecodeFixed(std::move(request), params, LongSize);
    case Command::CreateDataFile:
        return DecodeCreate(std::move(request), params, NameSize);
    case Command::CreateFlashFile:
        return DecodeCreate(std::move(request), params, NameSize + LongSize + ByteSize);
    case Command::ImageBlock:
        return DecodeBlock(std::move(request), params, false, ImageBlockLimit);
    case Command::DataFileBlock:
    case Command::FlashFileBlock:
        return DecodeBlock(std::move(request), params, true, FileBlockLimit);
    }
    return Reject("unknown command");
}

}  // namespace

const CommandInfo& InfoOf(Command command)
{
    return *std::find_if(CommandList.begin(), CommandList.end(),
                         [command](const CommandInfo& info) { return info.command == command; });
}

const CommandInfo* FindCommand(std::uint8_t group, std::uint8_t operation)
{
    const auto it = std::find_if(CommandList.begin(), CommandList.end(), [&](const CommandInfo& info) {
        return info.group == group && info.operation == operation;
    });
    return it == CommandList.end() ? nullptr : &*it;
}

std::uint8_t ChecksumOf(std::span<const std::uint8_t> frame)
{
    if (frame.size() <= LengthOffset) {
        return 0;
    }
    // The board sums every frame at the rate of the blocks: chunks of a fixed
    // size let the compiler add many bytes at a time.
    constexpr std::size_t Chunk = 64;
    const std::span<const std::uint8_t> summed = frame.subspan(LengthOffset);
    unsigned sum = 0;
    std::size_t at = 0;
    for (; at + Chunk <= summed.size(); at += Chunk) {
        const std::uint8_t* chunk = summed.data() + at;
        for (std::size_t k = 0; k < Chunk; ++k) {
            sum += chunk[k];
        }
    }
    const std::span<const std::uint8_t> rest = summed.subspan(at);
    return static_cast<std::uint8_t>(std::accumulate(rest.begin(), rest.end(), sum));
}

std::variant<Request, Rejection> ParseRequest(std::span<const std::uint8_t> frame)
{
    if (frame.size() < HeaderSize + CommandSize) {
        return Reject("frame of " + std::to_string(frame.size()) + " bytes is too short");
    }
    if (frame[0] != StartByte) {
        return Reject("no start byte");
    }
    const std::size_t payload = ReadWord(frame, LengthOffset);
    if (payload + HeaderSize != frame.size()) {
        return Reject("payload length " + std::to_string(payload) + " disagrees with " +
                      std::to_string(frame.size() - HeaderSize) + " payload bytes");
    }
    if (ChecksumOf(frame) != frame[ChecksumOffset]) {
        return Reject("checksum");
    }
    const CommandInfo* info = FindCommand(frame[GroupOffset], frame[OperationOffset]);
    if (info == nullptr) {
        return Reject("unknown command");
    }
    Request request;
    request.command = info->command;
    request.frameLength = frame.size();
    return DecodeParameters(std::move(request), frame.subspan(ParametersOffset));
}

Bytes BuildFrame(std::span<const std::uint8_t> body)
{
    Bytes frame{StartByte, 0};
    AppendWord(frame, static_cast<std::uint16_t>(body.size()));
    frame.insert(frame.end(), body.begin(), body.end());
    frame[ChecksumOffset] = ChecksumOf(frame);
    return frame;
}

Bytes BuildAnswer(std::uint8_t group, std::uint8_t operation, std::uint8_t result,
                  std::span<const std::uint8_t> data)
{
    Bytes body{group, operation, result};
    body.insert(body.end(), data.begin(), data.end());
    return BuildFrame(body);
}

Bytes BuildAlarm()
{
    return BuildAnswer(AlarmGroup, AlarmOperation, ResultSuccess);
}

std::uint16_t ReadWord(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << BitsPerByte));
}

std::uint32_t ReadLong(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return static_cast<std::uint32_t>(ReadWord(bytes, offset)) |
           (static_cast<std::uint32_t>(ReadWord(bytes, offset + 2)) << (2 * BitsPerByte));
}

void AppendWord(Bytes& bytes, std::uint16_t value)
{
    bytes.push_back(static_cast<std::uint8_t>(value));
    bytes.push_back(static_cast<std::uint8_t>(value >> BitsPerByte));
}

void AppendLong(Bytes& bytes, std::uint32_t value)
{
    AppendWord(bytes, static_cast<std::uint16_t>(value));
    AppendWord(bytes, static_cast<std::uint16_t>(value >> (2 * BitsPerByte)));
}

}  // namespace boardsim
