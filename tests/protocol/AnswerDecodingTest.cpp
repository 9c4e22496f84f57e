// Frame assembly from receive events and the answer table, over bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "protocol/AnswerDecoding.h"
#include "protocol/ReceiveState.h"
#include "tests/serial/Unit2TestSupport.h"

namespace {

constexpr Byte GroupBootError = 0x13;
constexpr Byte OperationBootError = 0x01;

// GetBootError answer: result 0, boot error 7 (A5, checksum, 04 00 13 01 00 07).
Bytes BootErrorAnswer()
{
    return AnswerFrame(GroupBootError, OperationBootError, {0x00, 0x07});
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count)
{
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(std::min(from + count, bytes.size())));
}

Bytes Concat(Bytes first, const Bytes& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// A Read Data Block answer carrying `block`.
Bytes ReadDataBlockAnswer(const Bytes& block)
{
    Bytes data{0x00, static_cast<Byte>(block.size() & 0xFF), static_cast<Byte>(block.size() >> 8)};
    data.insert(data.end(), block.begin(), block.end());
    return AnswerFrame(0x11, 0x1F, data);
}

Bytes Counting(std::size_t count, Byte first = 1)
{
    Bytes bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    // Keep 0xA5 out, so that the bytes can't start a frame.
    std::replace(bytes.begin(), bytes.end(), FrameStartByte, Byte{0x5A});
    return bytes;
}

// The fixture is the receive side of a session, so that the cases read its
// state by name.
class AnswerDecoding : public ::testing::Test, protected TAnswerReceiver {
protected:
    void SetUp() override { static_cast<TAnswerReceiver&>(*this) = TAnswerReceiver(); }

    // Feeds a sequence of receive events; returns the outcome of the last.
    DecodeOutcome Receive(std::initializer_list<Bytes> chunks)
    {
        DecodeOutcome outcome;
        for (const Bytes& chunk : chunks)
            outcome = ReceiveChunk(chunk);
        return outcome;
    }

    // Puts a datagram into RxBuffer as the network receive path does.
    DecodeOutcome ReceiveDatagram(const Bytes& datagram)
    {
        std::copy(datagram.begin(), datagram.end(), RxBuffer.begin());
        RxStart = 1;
        RxCount = static_cast<std::int32_t>(datagram.size());
        return DecodeNetworkAnswer();
    }

    void ExpectDecodedBootError(const DecodeOutcome& outcome)
    {
        ASSERT_NE(outcome.answer, nullptr);
        EXPECT_STREQ(outcome.answer->name, "Get Boot Error");
        EXPECT_EQ(AnswerReceived, 1);
        EXPECT_EQ(RxCount, 0);
        EXPECT_EQ(RxStart, 0);
    }
};

TEST_F(AnswerDecoding, WholeAnswerInOneChunk)
{
    const Bytes answer = BootErrorAnswer();
    ASSERT_EQ(answer, Bytes({0xA5, 0x1F, 0x04, 0x00, 0x13, 0x01, 0x00, 0x07}));
    ExpectDecodedBootError(Receive({answer}));
    EXPECT_EQ(FrameRemaining, 0);
}

TEST_F(AnswerDecoding, AnswerSplitOverTwoEvents)
{
    const Bytes answer = BootErrorAnswer();
    for (std::size_t first : {4u, 3u}) {
        SCOPED_TRACE(first);
        SetUp();
        const DecodeOutcome partial = ReceiveChunk(Slice(answer, 0, first));
        EXPECT_EQ(partial.answer, nullptr);
        EXPECT_EQ(AnswerReceived, 0);
        EXPECT_EQ(RxStart, 1);
        ExpectDecodedBootError(ReceiveChunk(Slice(answer, first, answer.size())));
    }
}

TEST_F(AnswerDecoding, ReadDataBlockOverFourEventsLandsInRxBlock)
{
    const Bytes block = Counting(191);
    const Bytes answer = ReadDataBlockAnswer(block);
    ASSERT_EQ(answer.size(), 200u);
    for (std::size_t at : {0u, 50u, 100u}) {
        EXPECT_EQ(ReceiveChunk(Slice(answer, at, 50)).answer, nullptr);
        EXPECT_EQ(AnswerReceived, 0);
    }
    const DecodeOutcome outcome = ReceiveChunk(Slice(answer, 150, 50));
    ASSERT_NE(outcome.answer, nullptr);
    EXPECT_STREQ(outcome.answer->name, "Read Data Block");
    // Told as the board sent it, although its stored bytes are cleared.
    EXPECT_EQ(outcome.group, 0x11);
    EXPECT_EQ(outcome.operation, 0x1F);
    EXPECT_EQ(AnswerReceived, 1);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), RxBlock.begin()));
    EXPECT_EQ(RxBlock[block.size()], 0);
    // The stored frame bytes are cleared.
    EXPECT_TRUE(std::all_of(RxBuffer.begin(), RxBuffer.begin() + 200, [](Byte b) { return b == 0; }));
    EXPECT_EQ(RxCount, 0);
    EXPECT_EQ(FrameRemaining, 0);
}

TEST_F(AnswerDecoding, FrameStartRule)
{
    {
        SCOPED_TRACE("leading noise is dropped");
        ExpectDecodedBootError(Receive({Concat({0x00, 0x13, 0x01, 0x55}, BootErrorAnswer())}));
    }
    {
        SCOPED_TRACE("only the first of two 0xA5 can start a frame");
        SetUp();
        // The answer's checksum is 0xA5 itself: the frame still starts at the first.
        ExpectDecodedBootError(Receive({AnswerFrame(GroupBootError, OperationBootError, {0x00, 0x8D})}));
        // A noise 0xA5 just before an answer in the same read: the answer
        // behind it, whole and with a good checksum, shows it up as noise.
        SetUp();
        ExpectDecodedBootError(Receive({Concat({0x01, 0xA5}, BootErrorAnswer())}));
        // ... also when the noise came in a read of its own.
        SetUp();
        ExpectDecodedBootError(Receive({{0x01, 0xA5}, BootErrorAnswer()}));
    }
    {
        SCOPED_TRACE("a chunk's first byte follows nothing");
        SetUp();
        ExpectDecodedBootError(Receive({{0x11, 0x22, 0xA5}, BootErrorAnswer()}));
    }
}

TEST_F(AnswerDecoding, EveryAnswerOfAReadIsDecodedInOrder)
{
    const Bytes createFlash = AnswerFrame(0x13, 0x7B, {0x00, 0x09, 0x00, 0x00, 0x00});
    const Bytes unknown = AnswerFrame(0x13, 0x7F, {0x00});
    std::vector<std::string> heard;
    const DecodeOutcome outcome =
        ReceiveChunk(Concat(Concat(Concat(BootErrorAnswer(), unknown), createFlash), Slice(BootErrorAnswer(), 0, 5)),
                     [&](const DecodeOutcome& each) { heard.emplace_back(each.answer ? each.answer->name : "none"); });
    EXPECT_EQ(heard, (std::vector<std::string>{"Get Boot Error", "none", "Create FLASH File"}));
    EXPECT_STREQ(outcome.answer->name, "Create FLASH File");
    EXPECT_EQ(FlashFileHandle, 9);
    // The third answer's start came with them; its rest completes it.
    EXPECT_EQ(FrameRemaining, 3);
    ExpectDecodedBootError(Receive({Slice(BootErrorAnswer(), 5, 3)}));

    // An alarm frame ahead of the answer beeps and hides nothing.
    const DecodeOutcome alarmed = Receive({Concat(AnswerFrame(0xFF, 0x00, {0x00}), BootErrorAnswer())});
    EXPECT_EQ(alarmed.beeps, AlarmBeeps);
    ExpectDecodedBootError(alarmed);
}

TEST_F(AnswerDecoding, StartOrLengthBytesAtTheEndOfAReadAreCompletedByTheNext)
{
    const Bytes answer = AnswerFrame(GroupBootError, OperationBootError, {0x00, 0x07, 0x01, 0x02});
    for (std::size_t inFirst : {1u, 2u, 3u}) {
        SCOPED_TRACE(inFirst);
        SetUp();
        Receive({Concat({0x00, 0x00}, Slice(answer, 0, inFirst))});
        EXPECT_EQ(AnswerReceived, 0);
        ExpectDecodedBootError(Receive({Slice(answer, inFirst, answer.size())}));
    }
}

TEST_F(AnswerDecoding, NewStartInsideAContinuationAbandonsThePartFrame)
{
    const Bytes readBlock = ReadDataBlockAnswer(Counting(100));
    ReceiveChunk(Slice(readBlock, 0, 40));
    EXPECT_EQ(FrameRemaining, 69);
    ExpectDecodedBootError(Receive({Concat({0x01, 0x02}, BootErrorAnswer())}));
    EXPECT_EQ(FrameRemaining, 0);
    // The rest of the abandoned frame starts nothing and is dropped.
    Receive({Slice(readBlock, 42, readBlock.size())});
    EXPECT_EQ(RxCount, 0);
}

TEST_F(AnswerDecoding, OnlyTheFirstThousandBytesOfAChunkAreUsed)
{
    Bytes chunk(RxChunkSize - 2, 0x00);
    const Bytes tail = Concat(BootErrorAnswer(), Counting(10));
    chunk.insert(chunk.end(), tail.begin(), tail.end());
    Receive({chunk});
    EXPECT_EQ(AnswerReceived, 0);
    EXPECT_EQ(RxCount, 2);
}

TEST_F(AnswerDecoding, CreateAnswersKeepTheBoardsHandles)
{
    Receive({AnswerFrame(0x11, 0x1B, {0x00, 0x05, 0x00, 0x00, 0x00})});
    EXPECT_EQ(DataFileHandle, 5);
    EXPECT_EQ(AnswerReceived, 1);

    Receive({AnswerFrame(0x13, 0x7B, {0x00, 0x78, 0x56, 0x34, 0x12})});
    EXPECT_EQ(FlashFileHandle, 0x12345678);

    // Create Data File matches in any group; Open Data File sets the same handle.
    Receive({AnswerFrame(0x42, 0x1B, {0x00, 0x06, 0x00, 0x00, 0x00})});
    EXPECT_EQ(DataFileHandle, 6);
    Receive({AnswerFrame(0x11, 0x1C, {0x00, 0x07, 0x01, 0x00, 0x00})});
    EXPECT_EQ(DataFileHandle, 0x107);

    // A handle above the signed range keeps its 32 bits rather than failing.
    Receive({AnswerFrame(0x13, 0x7B, {0x00, 0xFE, 0xFF, 0xFF, 0xFF})});
    EXPECT_EQ(static_cast<std::uint32_t>(FlashFileHandle), 0xFFFFFFFEu);

    // A refusal that ends after its result code is an answer, and leaves the
    // handle; one that claims success without a handle is none.
    AnswerReceived = 0;
    DecodeOutcome refusal = Receive({AnswerFrame(0x11, 0x1B, {0x07})});
    ASSERT_NE(refusal.answer, nullptr);
    EXPECT_EQ(refusal.result, 7);
    EXPECT_EQ(AnswerReceived, 1);
    EXPECT_EQ(DataFileHandle, 0x107);
    AnswerReceived = 0;
    EXPECT_EQ(Receive({AnswerFrame(0x13, 0x7B, {0x00, 0x01})}).answer, nullptr);
    EXPECT_EQ(AnswerReceived, 0);

    // Create Boot File keeps no handle; (0x13, 0x1C) is a file count, not Open Data File.
    Receive({AnswerFrame(0x13, 0x15, {0x00, 0x09, 0x00, 0x00, 0x00})});
    Receive({AnswerFrame(0x13, 0x1C, {0x00, 0x09, 0x00, 0x00, 0x00})});
    EXPECT_EQ(DataFileHandle, 0x107);
    EXPECT_EQ(static_cast<std::uint32_t>(FlashFileHandle), 0xFFFFFFFEu);
}

TEST_F(AnswerDecoding, BurnStateTexts)
{
    DecodeOutcome outcome = Receive({AnswerFrame(0x13, 0x2B, {0x00, 0x01, 0x2C, 0x01})});
    EXPECT_EQ(outcome.burnStateText, "Burn State : Busy");
    EXPECT_EQ(outcome.burnLineText, "Burn Line :300");
    EXPECT_EQ(AnswerReceived, 1);

    outcome = Receive({AnswerFrame(0x13, 0x2B, {0x00, 0x00, 0x00, 0x00})});
    EXPECT_EQ(outcome.burnStateText, "Burn State : Idle");
    EXPECT_EQ(outcome.burnLineText, "Burn Line :0");
}

TEST_F(AnswerDecoding, AnswersThatRaiseNothing)
{
    // Decoded and consumed, but no wait ends on them.
    for (const Bytes& answer : {AnswerFrame(0x12, 0x17, {0x00, 0x01, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}),
                                AnswerFrame(0x11, 0x21, {0x00, 0x00, 0x10, 0x00, 0x00})}) {
        const DecodeOutcome outcome = Receive({answer});
        ASSERT_NE(outcome.answer, nullptr);
        EXPECT_EQ(AnswerReceived, 0) << outcome.answer->name;
        EXPECT_EQ(RxCount, 0);
    }
    // An answer with no entry stays the current frame and raises nothing.
    const DecodeOutcome outcome = Receive({AnswerFrame(0x13, 0x99, {0x00})});
    EXPECT_EQ(outcome.answer, nullptr);
    EXPECT_EQ(AnswerReceived, 0);
    EXPECT_EQ(RxStart, 1);
    EXPECT_EQ(RxCount, 7);
}

TEST_F(AnswerDecoding, AlarmFrameBeepsAtEveryEventUntilAnotherFrameStarts)
{
    EXPECT_EQ(Receive({AnswerFrame(0xFF, 0x00, {0x00})}).beeps, AlarmBeeps);
    EXPECT_EQ(Receive({Counting(3)}).beeps, AlarmBeeps);
    // Offsets 4 and 5 must be stored for the check.
    EXPECT_EQ(Receive({{0xA5, 0x00, 0x02, 0x00, 0xFF}}).beeps, 0);
    EXPECT_EQ(Receive({{0x00}}).beeps, AlarmBeeps);
    const DecodeOutcome outcome = Receive({BootErrorAnswer()});
    EXPECT_EQ(outcome.beeps, 0);
    EXPECT_EQ(Receive({Counting(3)}).beeps, 0);
}

TEST_F(AnswerDecoding, FrameLongerThanRxBufferIsDroppedAndOneAsLongIsDecoded)
{
    // Declared payload 0xFFFF: 65539 bytes would not fit the 5000 of RxBuffer.
    Bytes huge{0xA5, 0x00, 0xFF, 0xFF, 0x13, 0x01};
    const Bytes filler = Counting(994);
    huge.insert(huge.end(), filler.begin(), filler.end());
    EXPECT_TRUE(ReceiveChunk(huge).discarded);
    for (int event = 0; event < 70; ++event)
        EXPECT_FALSE(ReceiveChunk(filler).discarded);
    EXPECT_EQ(RxCount, 0);
    EXPECT_EQ(AnswerReceived, 0);
    ExpectDecodedBootError(Receive({BootErrorAnswer()}));
    // One exactly as long as RxBuffer fits it, and is decoded.
    const Bytes longest = AnswerFrame(0x13, 0x01, Concat({0x00, 0x07}, Bytes(RxBufferSize - 8, 0x00)));
    ASSERT_EQ(longest.size(), static_cast<std::size_t>(RxBufferSize));
    DecodeOutcome last;
    for (std::size_t at = 0; at < longest.size(); at += RxChunkSize)
        last = ReceiveChunk(Slice(longest, at, RxChunkSize));
    ExpectDecodedBootError(last);
}

TEST_F(AnswerDecoding, FrameThatFitsOnlyFromTheBufferStartIsStoredThere)
{
    // Unrecognised complete frames pile up behind each other.
    const Bytes unknown = AnswerFrame(0x13, 0x99, Counting(994));
    ASSERT_EQ(unknown.size(), 1000u);
    for (int k = 0; k < 4; ++k)
        ReceiveChunk(unknown);
    EXPECT_EQ(RxCount, 4000);
    EXPECT_EQ(RxStart, 3001);
    // 996 bytes still fit behind them; 1000 do not.
    const Bytes fits = AnswerFrame(0x13, 0x99, Counting(990));
    ReceiveChunk(fits);
    EXPECT_EQ(RxStart, 4001);
    ReceiveChunk(unknown);
    EXPECT_EQ(RxStart, 1);
    EXPECT_EQ(RxCount, 1000);
    // A split frame continues at the buffer start as well.
    ReceiveChunk(unknown);
    ReceiveChunk(unknown);
    ReceiveChunk(unknown);
    ReceiveChunk(unknown);
    const Bytes readBlock = ReadDataBlockAnswer(Counting(1500));
    ReceiveChunk(Slice(readBlock, 0, 1000));
    EXPECT_EQ(RxStart, 1);
    ReceiveChunk(Slice(readBlock, 1000, 1000));
    EXPECT_EQ(AnswerReceived, 1);
    EXPECT_TRUE(std::equal(readBlock.begin() + 9, readBlock.end(), RxBlock.begin()));
}

TEST_F(AnswerDecoding, OversizeReadDataBlockIsDropped)
{
    RxBlock.fill(0x77);
    {
        SCOPED_TRACE("longer than RxBlock");
        const Bytes answer = ReadDataBlockAnswer(Counting(RxBlockSize + 1));
        DecodeOutcome outcome;
        for (std::size_t at = 0; at < answer.size(); at += RxChunkSize)
            outcome = ReceiveChunk(Slice(answer, at, RxChunkSize));
        EXPECT_TRUE(outcome.discarded);
        EXPECT_EQ(outcome.answer, nullptr);
    }
    {
        SCOPED_TRACE("block length beyond its frame");
        Bytes answer = ReadDataBlockAnswer(Counting(10));
        answer[8] = 0x07;  // claims 0x070A bytes
        EXPECT_TRUE(ReceiveChunk(answer).discarded);
    }
    EXPECT_EQ(AnswerReceived, 0);
    EXPECT_EQ(RxCount, 0);
    EXPECT_EQ(RxStart, 0);
    EXPECT_TRUE(std::all_of(RxBlock.begin(), RxBlock.end(), [](Byte b) { return b == 0x77; }));
    ExpectDecodedBootError(Receive({BootErrorAnswer()}));
}

TEST_F(AnswerDecoding, NetworkDatagrams)
{
    // A boot-error answer followed by extra bytes is decoded.
    ExpectDecodedBootError(ReceiveDatagram(Concat(BootErrorAnswer(), {0x01, 0x02, 0x03})));

    // The create answers give their handles on this link too.
    ReceiveDatagram(AnswerFrame(0x11, 0x1B, {0x00, 0x0C, 0x00, 0x00, 0x00}));
    EXPECT_EQ(DataFileHandle, 12);
    EXPECT_EQ(AnswerReceived, 1);
    ReceiveDatagram(AnswerFrame(0x13, 0x7B, {0x00, 0x0D, 0x00, 0x00, 0x00}));
    EXPECT_EQ(FlashFileHandle, 13);

    // So do the file-store queries the transfers wait for.
    for (const Bytes& answer : {AnswerFrame(0x11, 0x22, {0x00, 0x02, 0x00, 0x00, 0x00}), AnswerFrame(0x13, 0x78, {0x00})}) {
        AnswerReceived = 0;
        EXPECT_NE(ReceiveDatagram(answer).answer, nullptr);
        EXPECT_EQ(AnswerReceived, 1);
    }

    // Any other answer is left in RxBuffer and raises nothing.
    AnswerReceived = 0;
    const Bytes other = AnswerFrame(0x13, 0x79, {0x00, 0x02, 0x00, 0x00, 0x00});
    EXPECT_EQ(ReceiveDatagram(other).answer, nullptr);
    EXPECT_EQ(AnswerReceived, 0);
    EXPECT_EQ(RxStart, 1);
    EXPECT_EQ(RxCount, static_cast<std::int32_t>(other.size()));

    // An answer whose length ends it before its result code, or a boot-error
    // answer before its boot error, is no answer on either link: it must not
    // pass for a success.
    for (const Bytes& cut : {AnswerFrame(GroupBootError, OperationBootError, {}),
                             AnswerFrame(GroupBootError, OperationBootError, {0x00})}) {
        EXPECT_EQ(ReceiveDatagram(cut).answer, nullptr);
        EXPECT_EQ(Receive({cut}).answer, nullptr);
        EXPECT_EQ(AnswerReceived, 0);
    }

    // A short datagram is incomplete; the alarm frame beeps.
    EXPECT_EQ(ReceiveDatagram(Slice(BootErrorAnswer(), 0, 7)).answer, nullptr);
    EXPECT_EQ(ReceiveDatagram(AnswerFrame(0xFF, 0x00, {0x00})).beeps, AlarmBeeps);
    EXPECT_EQ(AnswerReceived, 0);
}

TEST_F(AnswerDecoding, NumbersAtBufferPositions)
{
    RxBuffer.fill(0xFF);
    RxBuffer[0] = 0x78;
    RxBuffer[1] = 0x56;
    RxBuffer[2] = 0x34;
    RxBuffer[3] = 0x12;
    EXPECT_EQ(LongAt(1), 0x12345678u);
    EXPECT_EQ(ShortAt(2), 0x3456u);
    // Positions beyond RxBuffer read as 0.
    EXPECT_EQ(LongAt(RxBufferSize - 1), 0x0000FFFFu);
    EXPECT_EQ(ShortAt(RxBufferSize), 0x00FFu);
    EXPECT_EQ(LongAt(0), 0x34567800u);
}

} // namespace
