// The request encoder, over bytes: every command of the table as it goes out.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/Encoder.h"
#include "protocol/RuntimeErrors.h"

namespace {

using Bytes = std::vector<Byte>;

struct Encoded {
    bool sent = false;
    Byte noReply = 1;
    Bytes frame;
};

// Looks the call text up in the program's table and encodes it as
// Execute_Command does.
Encoded Encode(const std::string& callText, std::span<const Byte> dataBlock = {})
{
    const CommandMatch match = MatchCommand(callText);
    Encoded result;
    result.noReply = match.noReply;
    if (!match.found)
        return result;
    std::string text = callText;
    std::array<Byte, TxFrameSize> frame{};
    const std::int32_t length = EncodeRequest(match.fieldList, text, frame, dataBlock);
    result.sent = true;
    result.frame.assign(frame.begin(), frame.begin() + (length - 1));
    return result;
}

Bytes Tail(const Bytes& frame, std::size_t count)
{
    return Bytes(frame.end() - static_cast<std::ptrdiff_t>(count), frame.end());
}

std::string ConversionError(const std::string& callText)
{
    try {
        Encode(callText);
    } catch (const EConvertError& error) {
        return error.what();
    }
    return "no error";
}

TEST(RequestEncoding, WorkedFrames)
{
    const std::vector<std::pair<std::string, Bytes>> cases = {
        {" GetBootError :", {0xA5, 0x16, 0x02, 0x00, 0x13, 0x01}},
        {" SetBurnBlock(0)", {0xA5, 0xDE, 0x03, 0x00, 0x13, 0xC8, 0x00}},
        {" SetBurnBlock(1)", {0xA5, 0xDF, 0x03, 0x00, 0x13, 0xC8, 0x01}},
        {" SetBurnMode(0B)", {0xA5, 0x4B, 0x03, 0x00, 0x13, 0x2A, 0x0B}},
        {" CreateDataFile(Flash.dat)",
         {0xA5, 0x8F, 0x0E, 0x00, 0x11, 0x1B, 0x46, 0x6C, 0x61, 0x73, 0x68, 0x2E, 0x64, 0x61, 0x74, 0x00, 0x00, 0x00}},
        {" CloseDataFile(5)", {0xA5, 0x39, 0x06, 0x00, 0x11, 0x1D, 0x05, 0x00, 0x00, 0x00}},
        {" CreateFlashFile(app.bin;1234;3)",
         {0xA5, 0x22, 0x13, 0x00, 0x13, 0x7B, 0x61, 0x70, 0x70, 0x2E, 0x62, 0x69, 0x6E, 0x00, 0x00, 0x00, 0x00, 0x00,
          0xD2, 0x04, 0x00, 0x00, 0x03}},
        {" GetNumberofDataFiles :", {0xA5, 0x35, 0x02, 0x00, 0x11, 0x22}},
        {" GetFlashInfo :", {0xA5, 0x8D, 0x02, 0x00, 0x13, 0x78}},
        {" EraseFlash : ", {0xA5, 0x94, 0x02, 0x00, 0x13, 0x7F}},
        {" CloseFlashFile(2)", {0xA5, 0x98, 0x06, 0x00, 0x13, 0x7D, 0x02, 0x00, 0x00, 0x00}},
    };
    for (const auto& [call, frame] : cases)
        EXPECT_EQ(Encode(call).frame, frame) << call;
}

TEST(RequestEncoding, AnswerMarkSetsNoReply)
{
    EXPECT_EQ(Encode(" GetBootError :").noReply, 0);
    EXPECT_EQ(Encode(" GetFlashInfo :").noReply, 0);
    EXPECT_EQ(Encode(" SetBurnBlock(0)").noReply, 1);
    EXPECT_EQ(Encode(" EraseFlash : ").noReply, 1);
}

TEST(RequestEncoding, CallTextsThatMatchNothing)
{
    for (const std::string call : {"GetBootError :", " GetBootError:", " getbooterror :", "", " Unknown(1)"}) {
        const Encoded result = Encode(call);
        EXPECT_FALSE(result.sent) << call;
        EXPECT_EQ(result.noReply, 1) << call;
    }
}

TEST(RequestEncoding, HexadecimalBytes)
{
    EXPECT_EQ(Encode(" SetBurnBlock(10)").frame.back(), 0x10);
    EXPECT_EQ(Encode(" SetBurnBlock(100)").frame.back(), 0x00);
    EXPECT_EQ(Encode(" SetBurnBlock(aB)").frame.back(), 0xAB);
    EXPECT_EQ(Encode(" SetBurnBlock(FFFFFFFF)").frame.back(), 0xFF);
}

TEST(RequestEncoding, LongParameters)
{
    EXPECT_EQ(Tail(Encode(" CloseDataFile(1111)").frame, 4), Bytes({0x57, 0x04, 0x00, 0x00}));
    EXPECT_EQ(Tail(Encode(" CloseFlashFile(-1)").frame, 4), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Tail(Encode(" CloseFlashFile(+7)").frame, 4), Bytes({0x07, 0x00, 0x00, 0x00}));
    // Wider than its field: only the low 32 bits go out.
    EXPECT_EQ(Tail(Encode(" CloseFlashFile(4294967298)").frame, 4), Bytes({0x02, 0x00, 0x00, 0x00}));
}

TEST(RequestEncoding, NamesAreCutAndPadded)
{
    const Bytes longName = Encode(" CreateDataFile(ABCDEFGHIJKLMNOP)").frame;
    EXPECT_EQ(Bytes(longName.begin() + 6, longName.end()), Bytes({'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L'}));
    const Bytes empty = Encode(" CreateDataFile()").frame;
    EXPECT_EQ(empty.size(), 18u);
    EXPECT_EQ(Bytes(empty.begin() + 6, empty.end()), Bytes(12, 0));
    // 8-bit characters go out unchanged.
    const Bytes latin = Encode(" CreateDataFile(\xE9t\xE9)").frame;
    EXPECT_EQ(latin[6], 0xE9);
}

TEST(RequestEncoding, ConversionErrors)
{
    EXPECT_EQ(ConversionError(" SetBurnBlock(ZZ)"), "'$ZZ' is not a valid integer value");
    EXPECT_EQ(ConversionError(" SetBurnBlock()"), "'$' is not a valid integer value");
    EXPECT_EQ(ConversionError(" SetBurnBlock(-1)"), "'$-1' is not a valid integer value");
    EXPECT_EQ(ConversionError(" SetBurnBlock( 1)"), "'$ 1' is not a valid integer value");
    EXPECT_EQ(ConversionError(" SetBurnBlock(100000000)"), "'$100000000' is not a valid integer value");
    EXPECT_EQ(ConversionError(" CloseDataFile()"), "'' is not a valid integer value");
    EXPECT_EQ(ConversionError(" CloseDataFile(12a)"), "'12a' is not a valid integer value");
    EXPECT_EQ(ConversionError(" CloseDataFile(-)"), "'-' is not a valid integer value");
    EXPECT_EQ(ConversionError(" CloseDataFile(99999999999999999999)"),
              "'99999999999999999999' is not a valid integer value");
    // A ";" inside a flash-file name ends it; the rest becomes the length.
    EXPECT_EQ(ConversionError(" CreateFlashFile(a;b.bin;12;3)"), "'b.bin' is not a valid integer value");
}

TEST(RequestEncoding, LimitsOfTheDecimalConversion)
{
    EXPECT_EQ(DecimalArgument("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(DecimalArgument("-9223372036854775808"), INT64_MIN);
    EXPECT_THROW(DecimalArgument("9223372036854775808"), EConvertError);
    EXPECT_THROW(DecimalArgument("-9223372036854775809"), EConvertError);
}

TEST(RequestEncoding, DataBlockAndUnusedTypes)
{
    // DB appends the data block and is never the literal 0xDB; DO appends nothing.
    std::string call = " X(1;2)";
    std::array<Byte, TxFrameSize> frame{};
    const Bytes data = {0x01, 0x02, 0x03};
    EXPECT_EQ(EncodeRequest("13,44,DB,DO", call, frame, data), 4 + 2 + 3 + 1);
    EXPECT_EQ(Bytes(frame.begin() + 4, frame.begin() + 9), Bytes({0x13, 0x44, 0x01, 0x02, 0x03}));
}

TEST(RequestEncoding, FrameLimitIsNeverPassed)
{
    std::string call = " X(1)";
    std::array<Byte, 8> small{};
    const Bytes data(100, 0x55);
    EXPECT_THROW(EncodeRequest("13,44,DB", call, small, data), std::length_error);
}

TEST(RequestEncoding, ConsecutiveFramesAreIndependent)
{
    std::array<Byte, TxFrameSize> frame{};
    std::string first = " CreateFlashFile(app.bin;1234;3)";
    EncodeRequest("13,7B,NM,LO,BY", first, frame, {});
    std::string second = " GetBootError :";
    const std::int32_t length = EncodeRequest("13,01", second, frame, {});
    EXPECT_EQ(length, 7);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 6), Bytes({0xA5, 0x16, 0x02, 0x00, 0x13, 0x01}));
}

TEST(RequestEncoding, ArgumentsAreTakenInTurn)
{
    std::string call = " CreateFlashFile(a;12;3)";
    EXPECT_EQ(TakeArgument(call), "a");
    EXPECT_EQ(TakeArgument(call), "12");
    EXPECT_EQ(TakeArgument(call), "3");
    std::string noOpener = "abc";
    EXPECT_EQ(TakeArgument(noOpener), "");
    EXPECT_EQ(noOpener, "abc");
}

} // namespace

namespace {

// Encodes the block from a buffer of its own, and again from its place in
// the frame (BlockDataOffset), as a transfer reads it: both frames are alike.
Bytes BlockFrame(Byte group, Byte operation, std::optional<std::uint32_t> handle, const std::string& data)
{
    std::array<Byte, TxFrameSize> frame{};
    const Bytes bytes(data.begin(), data.end());
    const std::int32_t length = EncodeBlockWrite(frame, group, operation, handle, bytes);
    std::array<Byte, TxFrameSize> readInPlace{};
    const std::span<Byte> place =
        std::span<Byte>(readInPlace).subspan(BlockDataOffset(handle.has_value()), bytes.size());
    std::copy(bytes.begin(), bytes.end(), place.begin());
    EXPECT_EQ(EncodeBlockWrite(readInPlace, group, operation, handle, place), length);
    EXPECT_EQ(readInPlace, frame);
    return Bytes(frame.begin(), frame.begin() + (length - 1));
}

TEST(BlockWrites, WorkedFrames)
{
    EXPECT_EQ(BlockFrame(GroupBoot, OperationImageBlock, std::nullopt, "abc"),
              Bytes({0xA5, 0x0C, 0x07, 0x00, 0x13, 0xC9, 0x03, 0x00, 0x61, 0x62, 0x63}));
    EXPECT_EQ(BlockFrame(GroupBoot, OperationImageBlock, std::nullopt, ""),
              Bytes({0xA5, 0xE0, 0x04, 0x00, 0x13, 0xC9, 0x00, 0x00}));
    EXPECT_EQ(BlockFrame(GroupBoot, OperationFlashFileBlock, 1, "abc"),
              Bytes({0xA5, 0xC4, 0x0B, 0x00, 0x13, 0x7C, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x61, 0x62, 0x63}));
    EXPECT_EQ(BlockFrame(GroupDataFile, OperationDataFileBlock, 0, ""),
              Bytes({0xA5, 0x37, 0x08, 0x00, 0x11, 0x1E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(BlockWrites, FullBlockLengthFields)
{
    const Bytes full = BlockFrame(GroupBoot, OperationImageBlock, std::nullopt, std::string(1024, '\xA5'));
    ASSERT_EQ(full.size(), 1032u);
    EXPECT_EQ(Bytes(full.begin() + 2, full.begin() + 4), Bytes({0x04, 0x04}));
    EXPECT_EQ(Bytes(full.begin() + 6, full.begin() + 8), Bytes({0x00, 0x04}));
    // A start byte inside the payload is sent unchanged.
    EXPECT_EQ(full[8], 0xA5);
    const Bytes handle = BlockFrame(GroupBoot, OperationFlashFileBlock, 0xFFFFFFFFu, "");
    EXPECT_EQ(Bytes(handle.begin() + 6, handle.begin() + 10), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(BlockWrites, AHandleWrittenAsUnsignedDecimalEncodesBack)
{
    EXPECT_EQ(Tail(Encode(" CloseFlashFile(4294967295)").frame, 4), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
}

} // namespace
