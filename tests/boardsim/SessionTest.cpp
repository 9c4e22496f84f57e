// The board's command handling, kept files, counts and faults, fed the way
// the links feed it: a serial byte stream or one datagram per frame.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tools/boardsim/Options.h"
#include "tools/boardsim/Session.h"

using namespace boardsim;

namespace {

Bytes Hex(const std::string& text)
{
    return ParseHexBytes(text).value();
}

// Each piece's pause and bytes, to compare shapes whole.
std::vector<std::pair<Milliseconds::rep, Bytes>> Timed(const std::vector<Transmission>& pieces)
{
    std::vector<std::pair<Milliseconds::rep, Bytes>> timed;
    for (const auto& piece : pieces) {
        timed.emplace_back(piece.pause.count(), piece.bytes);
    }
    return timed;
}

Bytes Joined(const std::vector<Transmission>& pieces)
{
    Bytes all;
    for (const auto& piece : pieces) {
        all.insert(all.end(), piece.bytes.begin(), piece.bytes.end());
    }
    return all;
}

// A request frame built by hand from its body (group, operation, parameters).
Bytes Framed(const std::string& body)
{
    return BuildFrame(Hex(body));
}

class BoardSession : public testing::Test {
protected:
    BoardSession()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "boardsim-session-XXXXXX").string();
        folder_ = ::mkdtemp(pattern.data());
    }
    ~BoardSession() override { std::filesystem::remove_all(folder_); }

    Session& Start(SessionSettings settings = {})
    {
        store_.emplace(folder_ / "board");
        transcript_.emplace(folder_ / "transcript.txt");
        session_.emplace(settings, *store_, *transcript_);
        return *session_;
    }

    Bytes Serial(const std::string& frame) { return Joined(session_->OnSerialBytes(Hex(frame))); }
    Bytes Serial(const Bytes& frame) { return Joined(session_->OnSerialBytes(frame)); }

    // A kept file as the board's loop leaves it once its links are quiet.
    std::optional<std::string> Kept(const std::string& relative)
    {
        store_->Flush();
        std::ifstream in(folder_ / "board" / relative, std::ios::binary);
        if (!in) {
            return std::nullopt;
        }
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Every line so far: the board's loop writes what the transcript buffers
    // once its links are quiet.
    std::string TranscriptText()
    {
        transcript_->Flush();
        std::ifstream in(folder_ / "transcript.txt");
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::filesystem::path folder_;
    std::optional<FileStore> store_;
    std::optional<Transcript> transcript_;
    std::optional<Session> session_;
};

const std::string GetBootError = "A5 16 02 00 13 01";
const std::string BootErrorAnswer = "A5 18 04 00 13 01 00 00";

}  // namespace

TEST_F(BoardSession, KeepsBurnBlockImagesAndAnswersTheBootErrorQuery)
{
    Start();
    EXPECT_TRUE(Serial("A5 DE 03 00 13 C8 00").empty()) << "SetBurnBlock is not answered";
    EXPECT_TRUE(Serial("A5 0C 07 00 13 C9 03 00 61 62 63").empty()) << "block writes are not answered";
    EXPECT_EQ(Serial(GetBootError), Hex(BootErrorAnswer));
    EXPECT_TRUE(Serial("A5 E0 04 00 13 C9 00 00").empty());
    EXPECT_EQ(Kept("burn0.bin"), "abc");

    Serial("A5 DF 03 00 13 C8 01");
    Serial("A5 0C 07 00 13 C9 03 00 61 62 63");
    EXPECT_EQ(Kept("burn1.bin"), "abc");
    Serial("A5 DE 03 00 13 C8 00");
    EXPECT_EQ(Kept("burn0.bin"), "") << "SetBurnBlock starts the image afresh";
    EXPECT_EQ(store_->OpenCount(), 1U) << "only the current burn block's image stays open";

    const Counters& counts = session_->Counts();
    EXPECT_EQ(counts.frames, 7U);
    EXPECT_EQ(counts.badFrames, 0U);
    EXPECT_EQ(counts.answers, 1U);
    EXPECT_EQ(counts.perCommand.at("ImageBlock"), 3U);
    EXPECT_NE(TranscriptText().find("rx 13 C9 ImageBlock count=3 length=11"), std::string::npos);
    EXPECT_NE(TranscriptText().find("tx 13 01 GetBootError result=0 boot_error=0 length=8"), std::string::npos);
}

// More files open at once than the store holds open: each is finished and
// opened again as the writes take turns, and keeps its bytes exactly.
TEST_F(BoardSession, FilesWrittenInTurnsStayExactBeyondTheOpenLimit)
{
    FileStore store(folder_ / "many");
    constexpr std::size_t Files = FileStore::OpenLimit + 4;
    const auto name = [](std::size_t k) { return "data/f" + std::to_string(k); };
    for (std::size_t k = 0; k < Files; ++k) {
        store.Start(name(k));
    }
    const Bytes block{0xA5, 0x00, 0x0A};
    for (int round = 0; round < 3; ++round) {
        for (std::size_t k = 0; k < Files; ++k) {
            store.Append(name(k), block);
        }
    }
    EXPECT_LE(store.OpenCount(), FileStore::OpenLimit);
    store.Flush();
    const std::string once(block.begin(), block.end());
    for (std::size_t k = 0; k < Files; ++k) {
        std::ifstream in(folder_ / "many" / name(k), std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), once + once + once) << name(k);
    }
    store.Start(name(0));
    EXPECT_EQ(std::filesystem::file_size(folder_ / "many" / name(0)), 0U) << "a new start empties the open file";
    store.Append(name(0), Bytes(FileStore::BufferLimit, 0x5A));
    EXPECT_EQ(std::filesystem::file_size(folder_ / "many" / name(0)), FileStore::BufferLimit)
        << "a full buffer is written without waiting for a flush";
    store.RemoveUnder("data/");
    EXPECT_EQ(store.OpenCount(), 0U);
    EXPECT_FALSE(std::filesystem::exists(folder_ / "many" / name(0)));
}

TEST_F(BoardSession, ReportsTheChosenBootErrorInEveryAnswerOrTheNthAlone)
{
    const std::string Reported = "A5 1F 04 00 13 01 00 07";
    const struct {
        std::uint32_t at;
        std::vector<std::string> answers;
    } cases[] = {
        {0, {Reported, Reported, Reported}},
        {2, {BootErrorAnswer, Reported, BootErrorAnswer}},
    };
    for (const auto& [at, answers] : cases) {
        SessionSettings settings;
        settings.board.bootError = 7;
        settings.board.bootErrorAt = at;
        Start(settings);
        for (const std::string& answer : answers) {
            EXPECT_EQ(Serial(GetBootError), Hex(answer)) << "at " << at;
        }
    }
}

TEST_F(BoardSession, WritesFlashFilesUnderFreshHandlesAndErasesThem)
{
    Start();
    Serial("A5 94 02 00 13 7F");  // EraseFlash
    EXPECT_EQ(Serial("A5 8D 02 00 13 78"), Hex("A5 96 0B 00 13 78 00 00 00 00 00 00 00 00 00"));
    // CreateFlashFile(app.bin;3;3), then a block and GetNumberofDataFiles.
    const Bytes create = Framed("13 7B 61 70 70 2E 62 69 6E 00 00 00 00 00 03 00 00 00 03");
    EXPECT_EQ(Serial(create), Hex("A5 96 07 00 13 7B 00 01 00 00 00")) << "handle 1";
    Serial("A5 C4 0B 00 13 7C 01 00 00 00 03 00 61 62 63");
    EXPECT_EQ(Serial("A5 35 02 00 11 22"), Hex("A5 3A 07 00 11 22 00 00 00 00 00"));
    Serial(Framed("13 7D 01 00 00 00"));  // CloseFlashFile(1)
    EXPECT_EQ(Kept("flash/app.bin"), "abc");
    EXPECT_EQ(Serial("A5 8D 02 00 13 78"), Hex("A5 9A 0B 00 13 78 00 01 00 00 00 03 00 00 00"));

    EXPECT_EQ(Serial(create), Hex("A5 97 07 00 13 7B 00 02 00 00 00")) << "every create a fresh handle";
    Serial("A5 94 02 00 13 7F");
    EXPECT_FALSE(Kept("flash/app.bin"));
    Serial("A5 C5 0B 00 13 7C 02 00 00 00 03 00 61 62 63");
    EXPECT_EQ(session_->Counts().refused, 1U) << "EraseFlash ends the open handle";
    EXPECT_EQ(session_->Counts().sizeMismatches, 0U);
}

TEST_F(BoardSession, RefusesBlockWritesAndClosesWithAWrongHandle)
{
    Start();
    Serial("A5 C4 07 00 13 C9 03 00 61 62 63");  // bad checksum: not a refusal but a bad frame
    Serial("A5 0C 07 00 13 C9 03 00 61 62 63");  // image block before SetBurnBlock
    EXPECT_EQ(Serial("A5 8F 0E 00 11 1B 46 6C 61 73 68 2E 64 61 74 00 00 00"),
              Hex("A5 34 07 00 11 1B 00 01 00 00 00"));
    Serial("A5 37 08 00 11 1E 00 00 00 00 00 00");   // data block with handle 0
    Serial("A5 C4 0B 00 13 7C 01 00 00 00 03 00 61 62 63");  // flash block naming the data file
    Serial("A5 39 06 00 11 1D 05 00 00 00");           // CloseDataFile(5)
    Serial(Framed("11 1E 01 00 00 00 03 00 61 62 63"));
    Serial("A5 35 06 00 11 1D 01 00 00 00");           // CloseDataFile(1)
    EXPECT_EQ(Kept("data/Flash.dat"), "abc");
    EXPECT_EQ(store_->OpenCount(), 0U) << "a closed file is not held open";
    const Counters& counts = session_->Counts();
    EXPECT_EQ(counts.badFrames, 1U);
    EXPECT_EQ(counts.refused, 4U);
    EXPECT_FALSE(session_->Failed()) << "only strict mode stops";
    EXPECT_NE(TranscriptText().find("refused: handle 0 names no open data file"), std::string::npos);
}

// A refused create hands out no handle, so whatever is written or closed
// under the handle it would have given is refused.
TEST_F(BoardSession, RefusesCreatesWithTheChosenCodeAndKeepsNothing)
{
    SessionSettings settings;
    settings.board.refuseCreate = 5;
    Start(settings);
    EXPECT_EQ(Serial(Framed("13 7B 61 70 70 2E 62 69 6E 00 00 00 00 00 03 00 00 00 03")),
              Hex("A5 96 03 00 13 7B 05"));
    EXPECT_EQ(Serial("A5 8F 0E 00 11 1B 46 6C 61 73 68 2E 64 61 74 00 00 00"), Hex("A5 34 03 00 11 1B 05"));
    Serial("A5 C4 0B 00 13 7C 01 00 00 00 03 00 61 62 63");
    Serial(Framed("11 1E 01 00 00 00 03 00 61 62 63"));
    Serial(Framed("13 7D 01 00 00 00"));
    EXPECT_EQ(session_->Counts().refused, 3U);
    EXPECT_EQ(store_->KeptCount(), 0U);
    EXPECT_NE(TranscriptText().find("(refused with result 5)\ntx 13 7B CreateFlashFile result=5 length=7\n"),
              std::string::npos);
}

TEST_F(BoardSession, CountsAFlashFileClosedShortOfItsLength)
{
    Start();
    Serial(Framed("13 7B 61 70 70 2E 62 69 6E 00 00 00 00 00 0A 00 00 00 03"));  // length 10
    Serial("A5 C4 0B 00 13 7C 01 00 00 00 03 00 61 62 63");
    Serial(Framed("13 7D 01 00 00 00"));
    EXPECT_EQ(session_->Counts().sizeMismatches, 1U);
}

TEST_F(BoardSession, StrictModeFailsAtTheFirstBadFrameOrRefusal)
{
    SessionSettings settings;
    settings.strict = true;
    Start(settings);
    Serial(GetBootError);
    EXPECT_FALSE(session_->Failed());
    Serial("00");
    EXPECT_TRUE(session_->Failed());

    Start(settings);
    Serial("A5 37 08 00 11 1E 00 00 00 00 00 00");
    EXPECT_TRUE(session_->Failed());
}

TEST_F(BoardSession, CountsNoiseRunsAndRefusedFramesOnTheLine)
{
    Start();
    // Noise, a frame with a wrong checksum, an unknown command, then a good request.
    EXPECT_EQ(Serial("00 55 A5 17 02 00 13 01 A5 16 02 00 13 02 " + GetBootError), Hex(BootErrorAnswer));
    const Counters& counts = session_->Counts();
    EXPECT_EQ(counts.badFrames, 3U);
    EXPECT_EQ(counts.strayBytes, 2U);
    EXPECT_EQ(counts.frames, 1U);
    EXPECT_EQ(counts.bytes, 20U);
    const std::string summary = session_->Summary();
    EXPECT_NE(summary.find("bad_frames=3\n"), std::string::npos);
    EXPECT_NE(summary.find("command.GetBootError=1\n"), std::string::npos);
}

TEST_F(BoardSession, TakesEachDatagramAsOneWholeFrame)
{
    Start();
    EXPECT_EQ(Joined(session_->OnDatagram(Hex(GetBootError))), Hex(BootErrorAnswer));
    // Two frames in one datagram, or half a frame, are bad frames.
    EXPECT_TRUE(session_->OnDatagram(Hex(GetBootError + " " + GetBootError)).empty());
    EXPECT_TRUE(session_->OnDatagram(Hex("A5 16 02")).empty());
    EXPECT_TRUE(session_->OnDatagram({}).empty());
    EXPECT_EQ(session_->Counts().badFrames, 3U);
}

TEST_F(BoardSession, AnswersOnlyTheExactSearchMessage)
{
    Start();
    auto reply = session_->OnSearch(Hex("44 52 56 4B"), "10.0.0.1:5000");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->bytes, Hex("44 52 56 4B"));
    EXPECT_EQ(reply->fromPort, SearchPort);
    EXPECT_FALSE(session_->OnSearch(Hex("44 52 56 4B 00"), "10.0.0.1:5000"));
    EXPECT_FALSE(session_->OnSearch({}, "10.0.0.1:5000"));
    EXPECT_EQ(session_->Counts().searches, 1U);

    SessionSettings settings;
    settings.faults.searchFrom = 4000;
    settings.faults.searchReply = Hex("44 52 56 4B 00");
    Start(settings);
    reply = session_->OnSearch(Hex("44 52 56 4B"), "10.0.0.1:5000");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->bytes, Hex("44 52 56 4B 00"));
    EXPECT_EQ(reply->fromPort, 4000);

    settings.faults.noSearchReply = true;
    Start(settings);
    EXPECT_FALSE(session_->OnSearch(Hex("44 52 56 4B"), "10.0.0.1:5000"));
}

TEST(BoardFaults, ShapeSerialAnswers)
{
    const Bytes answer = Hex(BootErrorAnswer);
    FaultOptions faults;
    faults.split = {2, 3};
    faults.splitPause = Milliseconds{20};
    faults.delay = Milliseconds{100};
    faults.noise = Hex("00 A5");
    faults.alarm = true;
    faults.secondAnswer = Milliseconds{5};
    AnswerShaper shaper(faults);
    const auto pieces = shaper.Shape(answer, Link::Serial);
    ASSERT_EQ(pieces.size(), 6U);  // alarm, noise, three chunks, second answer
    EXPECT_EQ(pieces[0].bytes, BuildAlarm());
    EXPECT_EQ(pieces[0].pause, Milliseconds{100});
    EXPECT_EQ(pieces[1].bytes, Hex("00 A5"));
    EXPECT_EQ(pieces[2].bytes, Hex("A5 18"));
    EXPECT_EQ(pieces[3].bytes, Hex("04 00 13"));
    EXPECT_EQ(pieces[3].pause, Milliseconds{20});
    EXPECT_EQ(pieces[4].bytes, Hex("01 00 00"));
    EXPECT_EQ(pieces[5].bytes, answer);
    EXPECT_EQ(pieces[5].pause, Milliseconds{5});
}

TEST(BoardFaults, ShapeDatagrams)
{
    const Bytes answer = Hex(BootErrorAnswer);
    FaultOptions noisy;
    noisy.noise = Hex("00");
    noisy.padDatagram = 101;
    const auto padded = AnswerShaper(noisy).Shape(answer, Link::Datagram);
    ASSERT_EQ(padded.size(), 1U) << "noise and padding travel in the answer's datagram";
    EXPECT_EQ(padded[0].bytes.size(), 101U);
    EXPECT_EQ(Bytes(padded[0].bytes.begin(), padded[0].bytes.begin() + 9), Hex("00 " + BootErrorAnswer));

    FaultOptions empty;
    empty.emptyDatagram = true;
    empty.split = {4};
    const auto nothing = AnswerShaper(empty).Shape(answer, Link::Datagram);
    ASSERT_EQ(nothing.size(), 1U);
    EXPECT_TRUE(nothing[0].bytes.empty());
}

TEST(BoardFaults, DropAnswersAsAsked)
{
    const Bytes answer = Hex(BootErrorAnswer);
    FaultOptions everySecond;
    everySecond.dropEvery = 2;
    AnswerShaper shaper(everySecond);
    std::vector<bool> sent;
    for (int i = 0; i < 5; ++i) {
        sent.push_back(!shaper.Shape(answer, Link::Serial).empty());
    }
    EXPECT_EQ(sent, (std::vector<bool>{true, false, true, false, true}));
    EXPECT_EQ(shaper.Dropped(), 2U);

    FaultOptions none;
    none.noAnswer = true;
    EXPECT_TRUE(AnswerShaper(none).Shape(answer, Link::Datagram).empty());

    FaultOptions firstTwo;
    firstTwo.silentFirst = 2;
    AnswerShaper comesBack(firstTwo);
    sent.clear();
    for (int i = 0; i < 4; ++i) {
        sent.push_back(!comesBack.Shape(answer, Link::Serial).empty());
    }
    EXPECT_EQ(sent, (std::vector<bool>{false, false, true, true}));
}

// The repeat of a garbled answer is the right one, which the updater must
// still take.
TEST(BoardFaults, SecondAnswerIsTheAnswerAsItIs)
{
    const Bytes answer = Hex(BootErrorAnswer);
    FaultOptions cut;
    cut.garble = Garble::Cut;
    cut.secondAnswer = Milliseconds{0};
    const auto pieces = AnswerShaper(cut).Shape(answer, Link::Datagram);
    ASSERT_EQ(pieces.size(), 2U);
    EXPECT_EQ(pieces[0].bytes, Hex("A5 18 04 00 13 01"));
    EXPECT_EQ(pieces[1].bytes, answer);
}

// The copy ahead of an answer is the answer before it as it went out, at
// once (after the delay); the answer follows after the pause. The first
// answer has the pause alone.
TEST(BoardFaults, CopyFirstSendsThePreviousAnswerThenTheAnswer)
{
    const Bytes first = Hex(BootErrorAnswer);
    const Bytes second = Hex("A5 3A 07 00 11 22 00 00 00 00 00");
    const Bytes firstCut = Hex("A5 18 04 00 13 01");
    const Bytes secondCut = Hex("A5 3A 07 00 11 22");
    using Shape = std::vector<std::pair<Milliseconds::rep, Bytes>>;
    const struct {
        Link link;
        std::optional<Garble> garble;
        Milliseconds delay;
        Shape shapedFirst;
        Shape shapedSecond;
    } cases[] = {
        {Link::Serial, std::nullopt, Milliseconds{0}, {{30, first}}, {{0, first}, {30, second}}},
        {Link::Datagram, Garble::Cut, Milliseconds{5}, {{35, firstCut}}, {{5, firstCut}, {30, secondCut}}},
    };
    for (const auto& row : cases) {
        FaultOptions faults;
        faults.copyFirst = Milliseconds{30};
        faults.garble = row.garble;
        faults.delay = row.delay;
        AnswerShaper shaper(faults);
        EXPECT_EQ(Timed(shaper.Shape(first, row.link)), row.shapedFirst);
        EXPECT_EQ(Timed(shaper.Shape(second, row.link)), row.shapedSecond);
        EXPECT_NE(shaper.Describe(row.link).find("copy-first=30ms"), std::string::npos);
    }
}
