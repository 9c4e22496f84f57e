#include "tools/boardsim/Transcript.h"

#include <stdexcept>

namespace boardsim {

namespace {

constexpr std::size_t DumpLimit = 16;  // bytes shown of a refused frame

// By hand rather than with snprintf: every transcript line shows a few bytes,
// and the board writes lines at the rate of the frames.
std::string Hex2(std::uint8_t value)
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    constexpr unsigned DigitBits = 4;
    constexpr unsigned DigitMask = 0xF;
    return {Digits[value >> DigitBits], Digits[value & DigitMask]};
}

std::string Head(const CommandInfo& info)
{
    return Hex2(info.group) + " " + Hex2(info.operation) + " " + info.name;
}

std::string Parameters(const Request& r)
{
    const std::string handle = "handle=" + std::to_string(r.handle);
    const std::string count = "count=" + std::to_string(r.data.size());
    switch (r.command) {
    case Command::SetBurnBlock:
        return " block=" + std::to_string(r.value);
    case Command::SetBurnMode:
        return " mode=" + Hex2(r.value);
    case Command::CreateDataFile:
        return " name=\"" + r.name + "\"";
    case Command::CreateFlashFile:
        return " name=\"" + r.name + "\" file_length=" + std::to_string(r.length) +
               " type=" + std::to_string(r.value);
    case Command::CloseDataFile:
    case Command::CloseFlashFile:
        return " " + handle;
    case Command::ImageBlock:
        return " " + count;
    case Command::DataFileBlock:
    case Command::FlashFileBlock:
        return " " + handle + " " + count;
    default:
        return "";
    }
}

// The answer data after the result code, by the layout of each answer.
std::string AnswerFields(Command command, std::span<const std::uint8_t> data)
{
    const auto longAt = [&](std::size_t offset) {
        return data.size() >= offset + 4 ? std::to_string(ReadLong(data, offset)) : "?";
    };
    switch (command) {
    case Command::GetBootError:
        return data.empty() ? "" : " boot_error=" + std::to_string(data[0]);
    case Command::CreateDataFile:
    case Command::CreateFlashFile:
        return data.empty() ? "" : " handle=" + longAt(0);  // a refusal carries none
    case Command::GetNumberofDataFiles:
        return " files=" + longAt(0);
    case Command::GetFlashInfo:
        return " files=" + longAt(0) + " bytes=" + longAt(4);
    default:
        return "";
    }
}

}  // namespace

Transcript::Transcript(const std::optional<std::filesystem::path>& file)
{
    if (!file) {
        return;
    }
    out_.emplace(*file, std::ios::out | std::ios::trunc);
    if (!*out_) {
        throw std::runtime_error("cannot create the transcript " + file->string());
    }
}

void Transcript::Line(const std::string& text)
{
    if (out_) {
        *out_ << text << '\n';
        pending_ = true;
    }
}

void Transcript::Flush()
{
    if (pending_) {
        out_->flush();
        pending_ = false;
    }
}

std::string DescribeRequest(const Request& request)
{
    return "rx " + Head(InfoOf(request.command)) + Parameters(request) +
           " length=" + std::to_string(request.frameLength);
}

std::string DescribeAnswer(const Bytes& frame)
{
    const std::string length = " length=" + std::to_string(frame.size());
    if (frame.size() <= ParametersOffset) {
        return HexDump(frame) + length;
    }
    const std::uint8_t group = frame[GroupOffset];
    const std::uint8_t operation = frame[OperationOffset];
    const std::string result = " result=" + std::to_string(frame[ParametersOffset]);
    if (group == AlarmGroup && operation == AlarmOperation) {
        return Hex2(group) + " " + Hex2(operation) + " Alarm" + result + length;
    }
    const CommandInfo* info = FindCommand(group, operation);
    if (info == nullptr) {
        return HexDump(frame) + length;
    }
    const auto data = std::span<const std::uint8_t>(frame).subspan(ParametersOffset + 1);
    return Head(*info) + result + AnswerFields(info->command, data) + length;
}

std::string HexDump(std::span<const std::uint8_t> bytes)
{
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < DumpLimit; ++i) {
        text += (i == 0 ? "" : " ") + Hex2(bytes[i]);
    }
    if (bytes.size() > DumpLimit) {
        text += " ...";
    }
    return text;
}

}  // namespace boardsim
