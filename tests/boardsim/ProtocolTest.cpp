// The board's request checks and frame assembly, fed the worked frames of the
// protocol and their corruptions.
#include <gtest/gtest.h>

#include "tools/boardsim/FrameAssembler.h"
#include "tools/boardsim/Options.h"
#include "tools/boardsim/Protocol.h"

using namespace boardsim;

namespace {

Bytes Hex(const std::string& text)
{
    return ParseHexBytes(text).value();
}

Request Accepted(const std::string& frame)
{
    auto parsed = ParseRequest(Hex(frame));
    if (auto* rejection = std::get_if<Rejection>(&parsed)) {
        ADD_FAILURE() << frame << " refused: " << rejection->reason;
        return {};
    }
    return std::get<Request>(parsed);
}

std::string Refusal(const Bytes& frame)
{
    auto parsed = ParseRequest(frame);
    const auto* rejection = std::get_if<Rejection>(&parsed);
    return rejection == nullptr ? "accepted" : rejection->reason;
}

// The assembler's next piece, which must be of `kind`.
StreamPiece NextPiece(FrameAssembler& assembler, StreamPiece::Kind kind)
{
    auto piece = assembler.Next();
    if (!piece) {
        ADD_FAILURE() << "no piece";
        return {};
    }
    EXPECT_EQ(piece->kind, kind);
    return *piece;
}

constexpr auto Stray = StreamPiece::Kind::Stray;

}  // namespace

TEST(BoardRequests, AcceptsTheWorkedCommandFrames)
{
    EXPECT_EQ(Accepted("A5 16 02 00 13 01").command, Command::GetBootError);
    EXPECT_EQ(Accepted("A5 DE 03 00 13 C8 00").value, 0);
    EXPECT_EQ(Accepted("A5 DF 03 00 13 C8 01").value, 1);
    const Request mode = Accepted("A5 4B 03 00 13 2A 0B");
    EXPECT_EQ(mode.command, Command::SetBurnMode);
    EXPECT_EQ(mode.value, 0x0B);
    const Request data = Accepted("A5 8F 0E 00 11 1B 46 6C 61 73 68 2E 64 61 74 00 00 00");
    EXPECT_EQ(data.command, Command::CreateDataFile);
    EXPECT_EQ(data.name, "Flash.dat");
    const Request close = Accepted("A5 39 06 00 11 1D 05 00 00 00");
    EXPECT_EQ(close.command, Command::CloseDataFile);
    EXPECT_EQ(close.handle, 5U);
    const Request flash = Accepted("A5 22 13 00 13 7B 61 70 70 2E 62 69 6E 00 00 00 00 00 D2 04 00 00 03");
    EXPECT_EQ(flash.command, Command::CreateFlashFile);
    EXPECT_EQ(flash.name, "app.bin");
    EXPECT_EQ(flash.length, 1234U);
    EXPECT_EQ(flash.value, 3);
}

TEST(BoardRequests, AcceptsTheWorkedBlockFrames)
{
    const Request image = Accepted("A5 0C 07 00 13 C9 03 00 61 62 63");
    EXPECT_EQ(image.command, Command::ImageBlock);
    EXPECT_EQ(image.data, Bytes({'a', 'b', 'c'}));
    EXPECT_TRUE(Accepted("A5 E0 04 00 13 C9 00 00").data.empty());
    const Request flash = Accepted("A5 C4 0B 00 13 7C 01 00 00 00 03 00 61 62 63");
    EXPECT_EQ(flash.command, Command::FlashFileBlock);
    EXPECT_EQ(flash.handle, 1U);
    EXPECT_EQ(flash.data, Bytes({'a', 'b', 'c'}));
    const Request data = Accepted("A5 37 08 00 11 1E 00 00 00 00 00 00");
    EXPECT_EQ(data.command, Command::DataFileBlock);
    EXPECT_EQ(data.handle, 0U);
}

TEST(BoardRequests, AcceptsFullBlocksAndAnA5InsideThePayload)
{
    Bytes body{0x13, 0xC9, 0x00, 0x04};
    body.resize(body.size() + ImageBlockLimit, StartByte);
    EXPECT_EQ(Refusal(BuildFrame(body)), "accepted");
    Bytes file{0x13, 0x7C, 0x07, 0, 0, 0, 0x00, 0x02};
    file.resize(file.size() + FileBlockLimit, StartByte);
    EXPECT_EQ(Refusal(BuildFrame(file)), "accepted");
}

TEST(BoardRequests, RefusesBrokenFrames)
{
    EXPECT_EQ(Refusal(Hex("A5 17 02 00 13 01")), "checksum");
    EXPECT_EQ(Refusal(Hex("A4 16 02 00 13 01")), "no start byte");
    EXPECT_NE(Refusal(Hex("A5 16 03 00 13 01")).find("payload length"), std::string::npos);
    EXPECT_NE(Refusal(Hex("A5 16 02 00 13")).find("too short"), std::string::npos);
    EXPECT_EQ(Refusal(BuildFrame(Hex("13 02"))), "unknown command");
    EXPECT_EQ(Refusal(BuildFrame(Hex("12 01"))), "unknown command");
}

TEST(BoardRequests, RefusesWrongParameters)
{
    // A parameter where none belongs, one missing, a burn block that does not exist.
    EXPECT_NE(Refusal(BuildFrame(Hex("13 01 00"))).find("parameters"), std::string::npos);
    EXPECT_NE(Refusal(BuildFrame(Hex("11 1D 05 00 00"))).find("parameters"), std::string::npos);
    EXPECT_NE(Refusal(BuildFrame(Hex("13 C8 02"))).find("burn block 2"), std::string::npos);
    // Block count and data disagree; a block beyond its size.
    EXPECT_NE(Refusal(BuildFrame(Hex("13 C9 04 00 61 62 63"))).find("disagrees"), std::string::npos);
    Bytes big{0x11, 0x1E, 1, 0, 0, 0, 0x01, 0x02};
    big.resize(big.size() + FileBlockLimit + 1);
    EXPECT_NE(Refusal(BuildFrame(big)).find("at most 512"), std::string::npos);
}

TEST(BoardRequests, RefusesNamesThatCouldLeaveTheBoardsFolder)
{
    const auto create = [](const std::string& name) {
        Bytes body{0x11, 0x1B};
        Bytes field(NameSize, 0);
        std::copy(name.begin(), name.end(), field.begin());
        body.insert(body.end(), field.begin(), field.end());
        return Refusal(BuildFrame(body));
    };
    EXPECT_EQ(create("Flash.dat"), "accepted");
    EXPECT_EQ(create("TWELVECHARSX"), "accepted");
    EXPECT_NE(create(""), "accepted");
    EXPECT_NE(create(".."), "accepted");
    EXPECT_NE(create("../etc"), "accepted");
    EXPECT_NE(create("a/b"), "accepted");
    EXPECT_NE(create("tab\there"), "accepted");
    EXPECT_NE(create(std::string("a\0b", 3)), "accepted");
}

TEST(BoardAnswers, FollowTheAnswerLayout)
{
    EXPECT_EQ(BuildAnswer(0x13, 0x01, 0, Hex("07")), Hex("A5 1F 04 00 13 01 00 07"));
    EXPECT_EQ(BuildAnswer(0x11, 0x1B, 0, Hex("05 00 00 00")), Hex("A5 38 07 00 11 1B 00 05 00 00 00"));
    EXPECT_EQ(BuildAlarm(), Hex("A5 02 03 00 FF 00 00"));
}

TEST(FrameAssembly, CutsFramesFromAStreamInAnyPieces)
{
    const Bytes stream = Hex("A5 DE 03 00 13 C8 00 A5 0C 07 00 13 C9 03 00 61 62 63 A5 16 02 00 13 01");
    for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
        FrameAssembler assembler;
        std::vector<Bytes> frames;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            assembler.Feed(std::span(stream).subspan(at, std::min(piece, stream.size() - at)));
            while (auto next = assembler.Next()) {
                ASSERT_EQ(next->kind, StreamPiece::Kind::Frame) << "pieces of " << piece;
                frames.push_back(next->bytes);
            }
        }
        ASSERT_EQ(frames.size(), 3U) << "pieces of " << piece;
        EXPECT_EQ(frames[1], Hex("A5 0C 07 00 13 C9 03 00 61 62 63"));
        EXPECT_EQ(assembler.Pending(), 0U);
    }
}

TEST(FrameAssembly, ReportsStrayBytesOncePerRunAndResynchronises)
{
    FrameAssembler assembler;
    assembler.Feed(Hex("00 55"));
    EXPECT_TRUE(NextPiece(assembler, Stray).startsRun);
    assembler.Feed(Hex("FF A5 16 02 00 13 01"));
    EXPECT_FALSE(NextPiece(assembler, Stray).startsRun) << "the run goes on across reads";
    EXPECT_EQ(NextPiece(assembler, StreamPiece::Kind::Frame).bytes, Hex("A5 16 02 00 13 01"));
}

TEST(FrameAssembly, DropsAStartByteWithAnImpossibleLength)
{
    // A length beyond any request would hold back the frames after it.
    FrameAssembler assembler;
    assembler.Feed(Hex("A5 00 FF FF A5 16 02 00 13 01"));
    EXPECT_NE(NextPiece(assembler, Stray).reason.find("65535"), std::string::npos);
    EXPECT_EQ(NextPiece(assembler, Stray).bytes, Hex("00 FF FF"));
    EXPECT_EQ(NextPiece(assembler, StreamPiece::Kind::Frame).bytes, Hex("A5 16 02 00 13 01"));
}

TEST(BoardOptions, ParsesLinksFaultsAndRefusesNonsense)
{
    auto parsed = ParseOptions({"--pty", "--link", "demo/COM1", "--baud", "115200", "--udp", "127.0.0.9,127.0.0.10",
                                "--noise", "00,A5", "--split", "2,3", "--second-answer", "0", "--boot-error", "7",
                                "--garble", "cut", "--refuse-create", "255", "--boot-error-at", "3",
                                "--copy-first", "40", "--forge-port"});
    ASSERT_TRUE(std::holds_alternative<Options>(parsed)) << std::get<OptionError>(parsed).message;
    const Options& options = std::get<Options>(parsed);
    EXPECT_EQ(options.baud, 115200U);
    EXPECT_EQ(options.udpAddresses, (std::vector<std::string>{"127.0.0.9", "127.0.0.10"}));
    EXPECT_EQ(options.session.faults.noise, Hex("00 A5"));
    EXPECT_EQ(options.session.faults.split, (std::vector<std::size_t>{2, 3}));
    EXPECT_EQ(options.session.faults.secondAnswer, Milliseconds{0});
    EXPECT_EQ(options.session.board.bootError, 7);
    EXPECT_EQ(options.session.faults.garble, Garble::Cut);
    EXPECT_EQ(options.session.board.refuseCreate, 255);
    EXPECT_EQ(options.session.board.bootErrorAt, 3U);
    EXPECT_EQ(options.session.faults.copyFirst, Milliseconds{40});
    EXPECT_TRUE(options.session.faults.forgePort);

    const std::vector<std::vector<std::string>> refused{
        {},                                   // no link
        {"--link", "COM1"},                   // a link without a pty
        {"--pty", "--baud"},                  // a value missing
        {"--pty", "--boot-error", "256"},     // beyond a byte
        {"--pty", "--noise", "1G"},           // not hexadecimal
        {"--pty", "--split", "0"},            // an empty chunk
        {"--pty", "--garble", "shift"},       // no such mode
        {"--pty", "--refuse-create", "0"},    // success is no refusal
        {"--pty", "--boot-error", "7", "--boot-error-at", "0"},  // answers count from 1
        {"--pty", "--boot-error-at", "2"},    // no boot error to report
        {"--pty", "--forge-port"},            // no datagrams to forge
        {"--pty", "--garble", "lead", "--wrong-answer"},  // two replacements of one answer
        {"--udp", "localhost"},               // names are not looked up
        {"--udp", "127.0.0.9,127.0.0.9"},     // one board twice
        {"--udp", "127.0.0.9,"},              // an empty address
        {"--pty", "--frobnicate"},
    };
    for (const auto& arguments : refused) {
        EXPECT_TRUE(std::holds_alternative<OptionError>(ParseOptions(arguments)))
            << "accepted: " << testing::PrintToString(arguments);
    }
}
