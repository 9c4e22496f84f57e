#include "protocol/Encoder.h"

#include <algorithm>
#include <stdexcept>

#include "protocol/RuntimeErrors.h"

namespace {

// The board's commands, exactly as the board's protocol documents them
// (blanks included): catalogue number, display text, "%" call template,
// "!" field list, "@" answer mark.
constexpr std::array<const char*, 10> CommandDefinitions = {
    "080 = GetBootError : %GetBootError : !13,01@Y",
    "133 = SetBurnBlock(Typ:BYTE) %SetBurnBlock(0) !13,C8,BY@N ",
    "013 = CreateDataFile(File Name:12 BYTES) %CreateDataFile(TestFile) !11,1B,NM@Y",
    "037 = GetNumberofDataFiles : %GetNumberofDataFiles : !11,22@Y",
    "014 = CloseDataFile(File Handle:LONG) %CloseDataFile(1111) !11,1D,LO@N",
    "113 = SetBurnMode(Mode:BYTE) %SetBurnMode(0)  !13,2A,BY@N",
    "009 = CreateFlashFile(Name:12 BYTES;Length:LONG;Type:BYTE) %CreateFlashFile(TEST;10000;1) !13,7B,NM,LO,BY@Y",
    "059 = GetFlashInfo :  %GetFlashInfo :  !13,78@Y",
    "028 = EraseFlash : %EraseFlash : !13,7F@N",
    "010 = CloseFlashFile(File Handle:LONG) %CloseFlashFile(111111) !13,7D,LO@N",
};

[[noreturn]] void RaiseNotInteger(const std::string& convertedText)
{
    throw EConvertError("'" + convertedText + "' is not a valid integer value");
}

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c)
{
    if (c <= '9')
        return c - '0';
    return (c | 0x20) - 'a' + 10;
}

// Appends bytes to the frame being encoded, never beyond its end.
class FrameWriter {
public:
    explicit FrameWriter(std::span<Byte> frame) : frame_(frame) {}

    void Append(Byte value)
    {
        if (position_ >= frame_.size())
            throw std::length_error("Request frame longer than its buffer");
        frame_[position_++] = value;
    }

    // A block's data in one copy: it is most of every frame of a transfer.
    void AppendBytes(std::span<const Byte> bytes)
    {
        if (bytes.size() > frame_.size() - position_)
            throw std::length_error("Request frame longer than its buffer");
        Byte* const target = frame_.data() + position_;
        if (bytes.data() != target)
            std::copy(bytes.begin(), bytes.end(), target);
        position_ += bytes.size();
    }

    // Appends the low `width` bytes of `value`, low byte first.
    void AppendLittleEndian(std::uint64_t value, int width)
    {
        for (int i = 0; i < width; ++i)
            Append(static_cast<Byte>(value >> (8 * i)));
    }

    int PayloadLength() const { return static_cast<int>(position_) - FrameHeaderSize; }

private:
    std::span<Byte> frame_;
    std::size_t position_ = FrameHeaderSize;
};

void AppendName(FrameWriter& out, const std::string& text)
{
    for (int i = 0; i < NameFieldSize; ++i)
        out.Append(i < static_cast<int>(text.size()) ? static_cast<Byte>(text[i]) : 0);
}

// Appends one parameter field; returns false when the field names no
// parameter type (it is then a literal byte).
bool AppendParameter(FrameWriter& out, const std::string& field, std::string& callText,
                     std::span<const Byte> dataBlock)
{
    static constexpr std::array<const char*, 7> Types = {"BY", "BO", "SH", "LO", "NM", "DB", "DO"};
    if (std::find(Types.begin(), Types.end(), field) == Types.end())
        return false;
    const std::string argument = TakeArgument(callText);
    if (field == "BY" || field == "BO")
        out.AppendLittleEndian(HexArgument(argument), 1);
    else if (field == "SH")
        out.AppendLittleEndian(HexArgument(argument), 2);
    else if (field == "LO")
        out.AppendLittleEndian(static_cast<std::uint64_t>(DecimalArgument(argument)), 4);
    else if (field == "NM")
        AppendName(out, argument);
    else if (field == "DB")
        for (Byte b : dataBlock)
            out.Append(b);
    // DO takes its argument and appends nothing.
    return true;
}

} // namespace

std::span<const std::string> CommandTemplates()
{
    using Templates = std::array<std::string, CommandDefinitions.size()>;
    static const Templates templates = [] {
        Templates built;
        for (std::size_t i = 0; i < CommandDefinitions.size(); ++i) {
            const std::string definition = CommandDefinitions[i];
            built[i] = " " + definition.substr(definition.find('%') + 1);
        }
        return built;
    }();
    return templates;
}

std::string CommandName(const std::string& text)
{
    auto end = text.find(':');
    if (end == std::string::npos)
        end = text.find('(');
    if (end == std::string::npos)
        return {};
    return text.substr(0, end);
}

CommandMatch MatchCommand(const std::string& callText, std::span<const std::string> templates,
                          std::int32_t count)
{
    const std::string name = CommandName(callText);
    const auto limit = std::min<std::size_t>(static_cast<std::size_t>(std::max(count, 0)), templates.size());
    for (std::size_t i = 0; i < limit; ++i) {
        const std::string& entry = templates[i];
        if (CommandName(entry) != name)
            continue;
        CommandMatch match;
        match.found = true;
        const auto at = entry.find('@');
        const auto bang = entry.find('!');
        if (at != std::string::npos && at + 1 < entry.size())
            match.noReply = entry[at + 1] == 'Y' ? 0 : 1;
        if (bang != std::string::npos && at != std::string::npos && bang < at)
            match.fieldList = entry.substr(bang + 1, at - bang - 1);
        return match;
    }
    return {};
}

CommandMatch MatchCommand(const std::string& callText)
{
    const auto templates = CommandTemplates();
    return MatchCommand(callText, templates, static_cast<std::int32_t>(templates.size()));
}

std::string TakeArgument(std::string& callText)
{
    auto opener = callText.find('(');
    if (opener == std::string::npos)
        opener = callText.find(';');
    if (opener != std::string::npos)
        callText.erase(0, opener + 1);
    auto end = callText.find(';');
    if (end == std::string::npos)
        end = callText.find(')');
    if (end == std::string::npos)
        return {};
    return callText.substr(0, end);
}

std::uint32_t HexArgument(const std::string& text)
{
    const std::string converted = "$" + text;
    if (text.empty() || !std::all_of(text.begin(), text.end(), IsHexDigit))
        RaiseNotInteger(converted);
    std::uint64_t value = 0;
    for (char c : text) {
        value = value * 16 + static_cast<std::uint64_t>(HexValue(c));
        if (value > 0xFFFFFFFFull)
            RaiseNotInteger(converted);
    }
    return static_cast<std::uint32_t>(value);
}

std::int64_t DecimalArgument(const std::string& text)
{
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+'))
        i = 1;
    if (i == text.size())
        RaiseNotInteger(text);
    // Accumulate as a negative number so that the most negative value fits.
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            RaiseNotInteger(text);
        const int digit = c - '0';
        if (value < (INT64_MIN + digit) / 10)
            RaiseNotInteger(text);
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == INT64_MIN)
            RaiseNotInteger(text);
        value = -value;
    }
    return value;
}

Byte FrameChecksum(std::span<const Byte> frame)
{
    constexpr std::size_t StartAndChecksum = 2;
    if (frame.size() <= StartAndChecksum)
        return 0;
    const std::span<const Byte> bytes = frame.subspan(StartAndChecksum);
    // Every block's frame is summed: chunks of a fixed size let the compiler
    // add many bytes at a time, a quarter of the time of one at a time.
    constexpr std::size_t Chunk = 64;
    unsigned sum = 0;
    std::size_t at = 0;
    for (; at + Chunk <= bytes.size(); at += Chunk) {
        const Byte* chunk = bytes.data() + at;
        for (std::size_t k = 0; k < Chunk; ++k)
            sum += chunk[k];
    }
    for (; at < bytes.size(); ++at)
        sum += bytes[at];
    return static_cast<Byte>(sum);
}

std::int32_t CloseFrame(std::span<Byte> frame, int payloadLength)
{
    frame[0] = FrameStartByte;
    frame[2] = static_cast<Byte>(payloadLength & 0xFF);
    frame[3] = static_cast<Byte>((payloadLength >> 8) & 0xFF);
    frame[1] = FrameChecksum(frame.first(static_cast<std::size_t>(FrameHeaderSize + payloadLength)));
    return FrameHeaderSize + payloadLength + 1;
}

std::int32_t EncodeRequest(const std::string& fieldList, std::string& callText,
                           std::span<Byte> frame, std::span<const Byte> dataBlock)
{
    if (frame.size() < static_cast<std::size_t>(FrameHeaderSize))
        throw std::length_error("Request frame longer than its buffer");
    FrameWriter out(frame);
    const int fields = std::min(static_cast<int>((fieldList.size() + 1) / 3), MaxCommandFields);
    for (int k = 0; k < fields; ++k) {
        const std::string field = fieldList.substr(static_cast<std::size_t>(3 * k), 2);
        if (!AppendParameter(out, field, callText, dataBlock))
            out.AppendLittleEndian(HexArgument(field), 1);
    }
    return CloseFrame(frame, out.PayloadLength());
}

std::size_t BlockDataOffset(bool withHandle)
{
    constexpr std::size_t GroupAndOperation = 2;
    constexpr std::size_t HandleSize = 4;
    constexpr std::size_t LengthSize = 2;
    return FrameHeaderSize + GroupAndOperation + (withHandle ? HandleSize : 0) + LengthSize;
}

std::int32_t EncodeBlockWrite(std::span<Byte> frame, Byte group, Byte operation,
                              std::optional<std::uint32_t> handle, std::span<const Byte> data)
{
    FrameWriter out(frame);
    out.Append(group);
    out.Append(operation);
    if (handle)
        out.AppendLittleEndian(*handle, 4);
    out.AppendLittleEndian(data.size(), 2);
    out.AppendBytes(data);
    return CloseFrame(frame, out.PayloadLength());
}
