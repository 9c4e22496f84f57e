// The request encoder, fed arbitrary call texts, field lists,
// templates and blocks.
//
// The first input byte chooses what is encoded (its value modulo 4, so that
// the digits '0' to '3' choose too); texts are separated by zero bytes:
//   0  a call text looked up in the command table, then encoded as Trans does
//   1  a field list, a call text, and the data block's bytes
//   2  a template count (signed byte), a number of templates (byte), the
//      templates, then a call text looked up among them and encoded
//   3  a block write: group, operation, handle flag, 32-bit handle, the data
// Whatever the texts, the encoder either raises a conversion error or a length
// error, or leaves a frame in TxFrame whose start byte, length and checksum
// are right, whose payload has the size its fields call for, with the literal
// bytes in their places, and nothing written behind it.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/Encoder.h"
#include "protocol/RuntimeErrors.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

// The request frame the harness encodes into.
TRequestFrame Request;

enum Mode { TableCall, FieldList, Templates, BlockWrite, ModeCount };

constexpr std::size_t MaxTemplates = 8;
constexpr std::size_t LengthOffset = 2;  // the payload length; the checksum covers the bytes from here
constexpr std::size_t FieldSize = 2;     // a field of a field list: two characters
constexpr std::size_t FieldStride = 3;   // and one separator
constexpr std::size_t HandleSize = 4;
constexpr std::size_t BlockLengthSize = 2;
constexpr char TextSeparator = '\0';
constexpr int HexBase = 16;
const std::string NotIntegerSuffix = "' is not a valid integer value";

// The bytes that each parameter type appends; the data block's size is the
// caller's.
struct ParameterType {
    const char* name;
    std::size_t width;
    bool converts;  // its argument is a number that may not convert
};
constexpr std::array<ParameterType, 6> FixedWidthTypes = {{
    {"BY", 1, true},
    {"BO", 1, true},
    {"SH", 2, true},
    {"LO", 4, true},
    {"NM", NameFieldSize, false},
    {"DO", 0, false},
}};
const std::string DataBlockType = "DB";

// What a field list calls for, worked out from its fields alone.
struct Expectation {
    std::size_t payload = 0;       // bytes the fields append
    bool badLiteral = false;       // a literal that is no hexadecimal byte
    bool numberArgument = false;   // a field whose argument may fail to convert
    std::vector<std::pair<std::size_t, Byte>> literals;  // payload offset, byte
};

bool IsHexByte(const std::string& field)
{
    return field.size() == FieldSize &&
           std::all_of(field.begin(), field.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

Expectation Expect(const std::string& fieldList, std::size_t dataBlockSize)
{
    Expectation expected;
    const std::size_t fields =
        std::min((fieldList.size() + 1) / FieldStride, static_cast<std::size_t>(MaxCommandFields));
    for (std::size_t k = 0; k < fields; ++k) {
        const std::string field = fieldList.substr(k * FieldStride, FieldSize);
        const auto type = std::find_if(FixedWidthTypes.begin(), FixedWidthTypes.end(),
                                       [&](const ParameterType& t) { return field == t.name; });
        if (type != FixedWidthTypes.end()) {
            expected.payload += type->width;
            expected.numberArgument = expected.numberArgument || type->converts;
        } else if (field == DataBlockType) {
            expected.payload += dataBlockSize;
        } else if (IsHexByte(field)) {
            expected.literals.emplace_back(expected.payload, static_cast<Byte>(std::stoul(field, nullptr, HexBase)));
            ++expected.payload;
        } else {
            expected.badLiteral = true;
            ++expected.payload;
        }
    }
    return expected;
}

// A whole frame in TxFrame: start byte, length and checksum agree with the
// bytes, it fits TxFrame, and nothing behind it was written.
std::span<const Byte> CheckFrame(std::int32_t txLength, const std::array<Byte, TxFrameSize>& before)
{
    FUZZ_CHECK(txLength > FrameHeaderSize && txLength - 1 <= TxFrameSize);
    const auto length = static_cast<std::size_t>(txLength - 1);
    const std::span<const Byte> frame(Request.TxFrame.data(), length);
    FUZZ_CHECK(frame[0] == FrameStartByte);
    FUZZ_CHECK(fuzz::WordAt(frame, LengthOffset) == txLength - FrameHeaderSize - 1);
    const unsigned sum = std::accumulate(frame.begin() + LengthOffset, frame.end(), 0U);
    FUZZ_CHECK(frame[1] == static_cast<Byte>(sum));
    FUZZ_CHECK(std::equal(Request.TxFrame.begin() + static_cast<std::ptrdiff_t>(length), Request.TxFrame.end(),
                          before.begin() + static_cast<std::ptrdiff_t>(length)));
    return frame;
}

// Taking arguments only ever cuts the call text from the front, and an
// argument is the text's leading part up to its end mark.
void CheckArgumentTaking(std::string text)
{
    for (;;) {
        const std::string before = text;
        const std::string argument = TakeArgument(text);
        FUZZ_CHECK(text.size() <= before.size() && before.ends_with(text));
        FUZZ_CHECK(text.starts_with(argument));
        FUZZ_CHECK(argument.find(';') == std::string::npos);
        if (text == before)
            return;
    }
}

// Encodes as Trans does and checks the frame against its field list.
void EncodeAndCheck(const std::string& fieldList, std::string callText, std::span<const Byte> dataBlock)
{
    const Expectation expected = Expect(fieldList, dataBlock.size());
    const std::string originalCall = callText;
    const std::array<Byte, TxFrameSize> before = Request.TxFrame;
    try {
        Request.TxLength = EncodeRequest(fieldList, callText, Request.TxFrame, dataBlock);
    } catch (const EConvertError& error) {
        const std::string message = error.what();
        FUZZ_CHECK(expected.badLiteral || expected.numberArgument);
        // The message ends early when the converted text holds a zero byte.
        const bool zeroByte = (fieldList + originalCall).find('\0') != std::string::npos;
        FUZZ_CHECK(message.starts_with("'") && (message.ends_with(NotIntegerSuffix) || zeroByte));
        return;
    } catch (const std::length_error&) {
        FUZZ_CHECK(FrameHeaderSize + expected.payload > TxFrameSize);
        return;
    }
    FUZZ_CHECK(originalCall.ends_with(callText));
    FUZZ_CHECK(!expected.badLiteral);
    const auto frame = CheckFrame(Request.TxLength, before);
    const auto payload = frame.subspan(FrameHeaderSize);
    FUZZ_CHECK(payload.size() == expected.payload);
    for (const auto& [offset, value] : expected.literals)
        FUZZ_CHECK(payload[offset] == value);
}

// Looks a call text up among templates and encodes what it found.
void MatchAndEncode(const std::string& callText, std::span<const std::string> templates, std::int32_t count)
{
    CheckArgumentTaking(callText);
    const CommandMatch match = MatchCommand(callText, templates, count);
    const auto searched = templates.first(std::min(static_cast<std::size_t>(std::max(count, 0)), templates.size()));
    const std::string name = CommandName(callText);
    const auto entry = std::find_if(searched.begin(), searched.end(),
                                    [&](const std::string& t) { return CommandName(t) == name; });
    FUZZ_CHECK(match.found == (entry != searched.end()));
    if (!match.found) {
        FUZZ_CHECK(match.noReply == 1 && match.fieldList.empty());
        return;
    }
    FUZZ_CHECK(match.noReply <= 1);
    // The field list is the text right after the template's first "!".
    const auto bang = entry->find('!');
    FUZZ_CHECK(match.fieldList.empty() ||
               (bang != std::string::npos &&
                entry->compare(bang + 1, match.fieldList.size(), match.fieldList) == 0));
    EncodeAndCheck(match.fieldList, callText, {});
}

void EncodeBlockAndCheck(fuzz::FuzzInput& input)
{
    const Byte group = input.TakeByte();
    const Byte operation = input.TakeByte();
    const bool withHandle = (input.TakeByte() & 1) != 0;
    const std::uint32_t handleLow = input.TakeWord();
    const std::uint32_t handle = handleLow | (static_cast<std::uint32_t>(input.TakeWord()) << (2 * fuzz::BitsPerByte));
    const auto data = input.TakeRest();

    std::vector<Byte> payload{group, operation};
    const auto appendLittleEndian = [&](std::uint32_t value, std::size_t size) {
        for (std::size_t k = 0; k < size; ++k)
            payload.push_back(static_cast<Byte>(value >> (fuzz::BitsPerByte * k)));
    };
    if (withHandle)
        appendLittleEndian(handle, HandleSize);
    appendLittleEndian(static_cast<std::uint32_t>(data.size()), BlockLengthSize);
    payload.insert(payload.end(), data.begin(), data.end());

    const std::array<Byte, TxFrameSize> before = Request.TxFrame;
    try {
        Request.TxLength = EncodeBlockWrite(Request.TxFrame, group, operation,
                                    withHandle ? std::optional<std::uint32_t>(handle) : std::nullopt, data);
    } catch (const std::length_error&) {
        FUZZ_CHECK(FrameHeaderSize + payload.size() > TxFrameSize);
        return;
    }
    const auto frame = CheckFrame(Request.TxLength, before);
    FUZZ_CHECK(std::equal(payload.begin(), payload.end(), frame.begin() + FrameHeaderSize, frame.end()));
}

std::string AsText(std::span<const std::uint8_t> bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::FuzzInput input(data, size);
    switch (input.TakeByte() % ModeCount) {
    case TableCall:
        MatchAndEncode(AsText(input.TakeRest()), CommandTemplates(),
                       static_cast<std::int32_t>(CommandTemplates().size()));
        break;
    case FieldList: {
        const std::string fieldList = input.TakeText(TextSeparator);
        const std::string callText = input.TakeText(TextSeparator);
        EncodeAndCheck(fieldList, callText, input.TakeRest());
        break;
    }
    case Templates: {
        const auto count = static_cast<std::int8_t>(input.TakeByte());
        std::vector<std::string> templates(input.TakeByte() % MaxTemplates);
        for (std::string& text : templates)
            text = input.TakeText(TextSeparator);
        MatchAndEncode(AsText(input.TakeRest()), templates, count);
        break;
    }
    case BlockWrite:
        EncodeBlockAndCheck(input);
        break;
    }
    return 0;
}
