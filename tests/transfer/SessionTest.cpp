// The engine alone: a session and one update run over a scripted link, no
// window, board or event loop. Each case pins what the board gets, what the
// tally counts and what the update comes to.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <fstream>

#include "tests/transfer/ScriptedLink.h"
#include "transfer/report/ErrorText.h"
#include "transfer/board/BoardTry.h"

namespace {

constexpr RequestCode ImageBlockCode{GroupBoot, OperationImageBlock};
constexpr RequestCode FlashBlockCode{GroupBoot, OperationFlashFileBlock};
constexpr RequestCode CloseFlashFileCode{0x13, 0x7D};
constexpr RequestCode DataBlockCode{GroupDataFile, OperationDataFileBlock};
constexpr RequestCode CloseDataFileCode{0x11, 0x1D};
constexpr char FileFill = 'x';

// The first frames of every firmware update.
const Bytes SetBurnBlockZero = {0xA5, 0xDE, 0x03, 0x00, 0x13, 0xC8, 0x00};
const Bytes GetBootError = {0xA5, 0x16, 0x02, 0x00, 0x13, 0x01};
// A whole block's header: 1024 bytes, counted twice in its length.
const Bytes WholeBlockHeader = {0xA5, 0xE8, 0x04, 0x04, 0x13, 0xC9, 0x00, 0x04};
const Bytes EmptyBlock = {0xA5, 0xE0, 0x04, 0x00, 0x13, 0xC9, 0x00, 0x00};

// What the session tells, kept; it stops a silent board at the `stopAt`-th
// missing answer in a row when asked there.
class TRecordedEvents : public TSessionEvents {
public:
    void MissingAnswer(const TMissingAnswer& answer) override
    {
        missing.push_back(answer.request);
        waits.push_back(answer.wait);
    }
    void ShortWrite() override { ++shortWrites; }
    void FileNotWritten(const std::string& path, const std::string& /*reason*/) override { notWritten.push_back(path); }
    bool StopAfterSilence(int inARow) override
    {
        asked.push_back(inARow);
        return stopAt != 0 && inARow >= stopAt;
    }

    void Phase(BoardPhase phase) override { phases.push_back(phase); }
    void Status(const std::string& text) override { statuses.push_back(text); }

    int stopAt = 0;
    std::vector<std::string> statuses;
    std::vector<BoardPhase> phases;
    std::vector<std::string> missing;
    std::vector<std::string> waits;
    std::vector<int> asked;
    std::vector<std::string> notWritten;
    int shortWrites = 0;
};

// The link a case's parameter names: its delivery, or the serial line.
Delivery DeliveryOf(Delivery delivery)
{
    return delivery;
}

// A silent board: the link, and what the board does with every query.
struct SilentBoard {
    const char* name;
    Delivery delivery;
    Reply reply;
};

// A board of a case's table: its own link.
template <typename Board>
    requires requires(const Board& board) { board.delivery; }
Delivery DeliveryOf(const Board& board)
{
    return board.delivery;
}

// The stale answers come over the serial line.
Delivery DeliveryOf(Reply /*stale*/)
{
    return Delivery::Stream;
}

// One session over its own scripted link, and files to send.
template <typename Param>
class Bench : public ::testing::TestWithParam<Param> {
protected:
    Bench() : link(DeliveryOf(this->GetParam())) { session.UseLink(link); }

    std::string MakeFile(const std::string& name, std::size_t size)
    {
        const std::string path = dir.filePath(QString::fromStdString(name)).toStdString();
        std::ofstream(path, std::ios::binary) << std::string(size, FileFill);
        return path;
    }
    TBoardResult Run(HistoryKind kind, std::vector<std::string> files)
    {
        request = {kind, std::move(files)};
        return RunUpdate(session, request, link.BoardName());
    }
    TBoardResult RunImageOf(std::size_t size) { return Run(HistoryKind::Firmware, {MakeFile("app.hex", size)}); }

    QTemporaryDir dir;
    TScriptedLink link;
    TRecordedEvents events;
    TSession session{events};
    TUpdateRequest request;
};

std::size_t BlocksOf(std::size_t imageSize)
{
    return imageSize / ImageBlockSize + 1;
}

class Transfer : public Bench<Delivery> {};

// An image goes out as SetBurnBlock, then each block followed by its query;
// a size that fills its last block still ends with an empty one.
TEST_P(Transfer, SetBurnBlockThenEveryBlockFollowedByItsQuery)
{
    const std::size_t size = 2 * ImageBlockSize;
    const TBoardResult result = RunImageOf(size);
    EXPECT_EQ(result.outcome, Ending::Updated);
    EXPECT_EQ(result.bytes, static_cast<std::int64_t>(size));
    EXPECT_EQ(session.Tally().blocksSent, static_cast<std::int64_t>(BlocksOf(size)));
    const std::vector<Bytes>& sent = link.Sent();
    ASSERT_EQ(sent.size(), 1 + 2 * BlocksOf(size));
    EXPECT_EQ(sent[0], SetBurnBlockZero);
    Bytes firstBlock = WholeBlockHeader;
    firstBlock.insert(firstBlock.end(), ImageBlockSize, FileFill);
    EXPECT_EQ(sent[1], firstBlock);
    for (std::size_t query = 2; query < sent.size(); query += 2)
        EXPECT_EQ(sent[query], GetBootError) << query;
    EXPECT_EQ(sent[sent.size() - 2], EmptyBlock);
    EXPECT_EQ(link.CountSent(ImageBlockCode), BlocksOf(size));
    EXPECT_TRUE(events.missing.empty());
}

// A board whose every query goes unanswered, or answered by another request's
// answer alone: each wait is a missing answer, the operator is asked at every
// third in a row, and the stream goes on while the answer is no.
class Silence : public Bench<SilentBoard> {};

TEST_P(Silence, EveryQueryIsMissingAndEveryThirdInARowIsAsked)
{
    const std::size_t size = 6 * ImageBlockSize;
    link.Script(GetBootErrorCode, {GetParam().reply});
    const TBoardResult result = RunImageOf(size);
    const int queries = static_cast<int>(BlocksOf(size));
    EXPECT_EQ(result.outcome, Ending::Unconfirmed);
    EXPECT_EQ(result.missingAnswers, queries);
    // Another request's answer came: the board is alive, the hint is about the line.
    const std::string hint = SilenceHint(GetParam().delivery == Delivery::Stream, GetParam().reply == Reply::OtherOnly);
    EXPECT_EQ(result.message.rfind("no answer to the boot-error query after block 1 within 10 s (" +
                                       std::to_string(queries) + " answers missing in all): " + hint,
                                   0),
              0u)
        << result.message;
    EXPECT_EQ(events.missing.size(), static_cast<std::size_t>(queries));
    EXPECT_EQ(events.asked, std::vector<int>({3, 6}));
    // The watchdog's report names the wait: on the network every wait is "Net".
    const std::string wait = GetParam().delivery == Delivery::Stream ? "GetBootError" : "Net";
    EXPECT_EQ(events.waits, std::vector<std::string>(static_cast<std::size_t>(queries), wait));
    EXPECT_EQ(result.strayAnswers, GetParam().reply == Reply::OtherOnly ? queries : 0);
    EXPECT_EQ(link.CountSent(ImageBlockCode), static_cast<std::size_t>(queries));
}

INSTANTIATE_TEST_SUITE_P(Boards, Silence,
                         ::testing::Values(SilentBoard{"SilentStream", Delivery::Stream, Reply::Silence},
                                           SilentBoard{"SilentDatagrams", Delivery::Datagram, Reply::Silence},
                                           SilentBoard{"OtherAnswersStream", Delivery::Stream, Reply::OtherOnly},
                                           SilentBoard{"OtherAnswersDatagrams", Delivery::Datagram, Reply::OtherOnly}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(Transfer, StoppingAtTheThirdSilenceSendsNothingMore)
{
    link.Script(GetBootErrorCode, {Reply::Silence});
    events.stopAt = MissingAnswersBeforeAsking;
    const TBoardResult result = RunImageOf(5 * ImageBlockSize);
    EXPECT_EQ(result.outcome, Ending::Stopped);
    EXPECT_FALSE(result.message.empty());
    EXPECT_EQ(link.Sent().size(), 1u + 2 * MissingAnswersBeforeAsking);
}

TEST_P(Transfer, ABoardMissingNowAndThenIsNeverAskedToStop)
{
    link.Script(GetBootErrorCode, {Reply::Silence, Reply::Silence, Reply::Answer, Reply::Silence, Reply::Silence,
                                   Reply::Answer});
    events.stopAt = MissingAnswersBeforeAsking;
    const TBoardResult result = RunImageOf(6 * ImageBlockSize);
    EXPECT_EQ(result.outcome, Ending::Unconfirmed);
    EXPECT_EQ(result.missingAnswers, 4);
    EXPECT_TRUE(events.asked.empty());
    EXPECT_EQ(link.CountSent(ImageBlockCode), BlocksOf(6 * ImageBlockSize));
}

TEST_P(Transfer, AnotherAnswerBeforeTheRightOneIsAStray)
{
    link.Script(GetBootErrorCode, {Reply::OtherFirst});
    const TBoardResult result = RunImageOf(ImageBlockSize + 1);
    EXPECT_EQ(result.outcome, Ending::Unconfirmed);
    EXPECT_EQ(result.strayAnswers, 2);
    EXPECT_EQ(result.missingAnswers, 0);
}

TEST_P(Transfer, AFailingWriteStopsTheTransferAndIsToldOnce)
{
    // SetBurnBlock and the first block go out; the first query does not.
    const std::size_t framesTaken = 2;
    link.FailWritesFrom(framesTaken + 1);
    const TBoardResult result = RunImageOf(3 * ImageBlockSize);
    EXPECT_EQ(result.outcome, Ending::Stopped);
    EXPECT_EQ(events.shortWrites, 1);
    EXPECT_EQ(link.Sent().size(), framesTaken);
}

TEST_P(Transfer, ACancelDuringAWaitInterruptsAndIsRecordedAsStopped)
{
    link.Script(GetBootErrorCode, {Reply::Answer, Reply::Cancel});
    const TBoardResult result = RunImageOf(3 * ImageBlockSize);
    EXPECT_EQ(result.outcome, Ending::Stopped);
    EXPECT_EQ(link.CountSent(ImageBlockCode), 2u);

    const QString history = dir.filePath("history.jsonl");
    THistoryWriter writer(history);
    EXPECT_EQ(writer.Record(HistoryLink::Usb, request, result), "");
    const HistoryReading reading = ReadHistory(history);
    ASSERT_EQ(reading.lines.size(), 1);
    EXPECT_EQ(QJsonDocument::fromJson(reading.lines.front()).object().value("outcome").toString(), "stopped");
}

// A refused creation leaves that file home, blocks and close; the others go.
TEST_P(Transfer, ARefusedFlashFileIsNotWrittenAndTheOthersAre)
{
    link.Script(CreateFlashFileCode, {Reply::Answer, Reply::Refusal, Reply::Answer});
    const std::vector<std::string> files = {MakeFile("logo.bin", 10), MakeFile("font.bin", 600),
                                            MakeFile("icon.bin", 3)};
    const TBoardResult result = Run(HistoryKind::Flash, files);
    EXPECT_EQ(result.outcome, Ending::Failed);
    EXPECT_EQ(result.message, "the board refused font.bin (CreateFlashFile, result 5); it was not written");
    EXPECT_EQ(events.notWritten, std::vector<std::string>({files[1]}));
    EXPECT_EQ(link.CountSent(CreateFlashFileCode), 3u);
    EXPECT_EQ(link.CountSent(FlashBlockCode), 2u);
    EXPECT_EQ(link.CountSent(CloseFlashFileCode), 2u);
    EXPECT_EQ(result.boardErrors, 1);
}

TEST_P(Transfer, ADataFileWhoseCreationIsNotAnsweredSendsNoBlock)
{
    link.Script(CreateDataFileCode, {Reply::Silence});
    const std::string path = MakeFile("settings.dat", 1024);
    const TBoardResult result = Run(HistoryKind::Data, {path});
    EXPECT_EQ(result.outcome, Ending::Unconfirmed);
    EXPECT_EQ(events.notWritten, std::vector<std::string>({path}));
    EXPECT_EQ(link.CountSent(DataBlockCode), 0u);
    EXPECT_EQ(link.CountSent(CloseDataFileCode), 0u);
    EXPECT_EQ(link.Sent().size(), 1u);
}

TEST_P(Transfer, AMissingFileFailsWithTheRuntimesTextAndSendsNothing)
{
    for (const HistoryKind kind : {HistoryKind::Firmware, HistoryKind::Flash, HistoryKind::Data}) {
        const TBoardResult result = Run(kind, {dir.filePath("gone.bin").toStdString()});
        EXPECT_EQ(result.outcome, Ending::Failed);
        EXPECT_EQ(result.message, "File not found");
    }
    EXPECT_TRUE(link.Sent().empty());
}

// The board would empty its burn block.
TEST_P(Transfer, AnEmptyImageIsRefusedBeforeAnythingIsSent)
{
    const TBoardResult result = RunImageOf(0);
    EXPECT_EQ(result.outcome, Ending::Failed);
    EXPECT_TRUE(result.nothingSent);
    EXPECT_TRUE(link.Sent().empty());
}

// The board's phase comes from the engine, for a live view to show: erasing
// from the erase to the end of the flash files, burning once the data file
// has gone; each kind of update ends where the board needs no care. Whether
// the line must be drained comes as a value too: the file-store transfers end
// with a request that gets no answer.
TEST_P(Transfer, EachKindTellsTheBoardsPhasesAndWhetherItsLastRequestIsAnswered)
{
    struct KindCase {
        HistoryKind kind;
        std::vector<BoardPhase> phases;
        bool drain;  // its last request gets no answer (a close, the burn mode)
    };
    const std::vector<KindCase> kinds = {
        {HistoryKind::Firmware, {BoardPhase::None}, false},
        {HistoryKind::Flash, {BoardPhase::Erasing, BoardPhase::None}, true},
        {HistoryKind::Data, {BoardPhase::Burning}, true},
    };
    for (const KindCase& each : kinds) {
        events.phases.clear();
        Run(each.kind, {MakeFile("part.bin", FileBlockSize + 1)});
        EXPECT_EQ(events.phases, each.phases) << static_cast<int>(each.kind);
        EXPECT_EQ(session.Tally().lastRequestUnanswered, each.drain) << static_cast<int>(each.kind);
    }
}

INSTANTIATE_TEST_SUITE_P(Links, Transfer, ::testing::Values(Delivery::Stream, Delivery::Datagram),
                         [](const auto& info) { return info.param == Delivery::Stream ? "Stream" : "Datagrams"; });

// On the serial line an answer that comes after its wait ended (late, or once
// more) waits in the line: it is taken before the next request goes out and
// cannot end that request's wait.
class StaleAnswer : public Bench<Reply> {};

TEST_P(StaleAnswer, NeverEndsTheNextWait)
{
    link.Script(GetBootErrorCode, {GetParam(), Reply::Silence, Reply::Answer});
    const TBoardResult result = RunImageOf(2 * ImageBlockSize);
    // The second query's own answer never came.
    EXPECT_EQ(result.missingAnswers, GetParam() == Reply::Late ? 2 : 1);
    // Taken before the second query went out, it is counted.
    EXPECT_EQ(result.strayAnswers, 1);
    EXPECT_EQ(link.CountSent(ImageBlockCode), BlocksOf(2 * ImageBlockSize));
}

INSTANTIATE_TEST_SUITE_P(Answers, StaleAnswer, ::testing::Values(Reply::Late, Reply::Repeated),
                         [](const auto& info) { return info.param == Reply::Late ? "Late" : "Repeated"; });

// Every answer of a ten-block image with an extra frame, the ninth carrying a
// boot error: the copies and forgeries are strays, the error is the ninth
// block's, and the update is never "updated". (Apart: the copy comes 10-50 ms
// behind its answer, once the next block is on its way.)
struct ExtraAnswers {
    const char* name;
    Delivery delivery;
    Extra extra;
};

class Duplicates : public Bench<ExtraAnswers> {};

TEST_P(Duplicates, TheErrorStaysAtItsBlockAndEveryExtraFrameIsAStray)
{
    constexpr std::size_t Blocks = 10;
    constexpr std::int64_t ErrorBlock = 9;
    std::vector<Reply> replies(ErrorBlock - 1, Reply::Answer);
    replies.insert(replies.end(), {Reply::BootError, Reply::Answer});
    link.Script(GetBootErrorCode, replies);
    link.AddToEachAnswer(GetParam().extra);
    const TBoardResult result = RunImageOf((Blocks - 1) * ImageBlockSize);
    EXPECT_EQ(result.outcome, Ending::Failed);
    // A copy of the error's answer reports it once more.
    const bool copied = GetParam().extra == Extra::BackToBack || GetParam().extra == Extra::Apart;
    EXPECT_EQ(result.boardErrors, copied ? 2 : 1);
    ASSERT_TRUE(result.firstBoardError);
    EXPECT_EQ(result.firstBoardError->block, ErrorBlock);
    EXPECT_EQ(result.firstBoardError->bootError, BootErrorCode);
    EXPECT_EQ(result.missingAnswers, 0);
    EXPECT_EQ(result.strayAnswers, GetParam().extra == Extra::None ? 0 : static_cast<int>(Blocks));
    EXPECT_EQ(result.message.rfind("the board reported boot error 9 after block 9", 0), 0u) << result.message;
    if (GetParam().extra != Extra::None) {
        EXPECT_NE(result.message.find(std::to_string(Blocks) + " stray frames"), std::string::npos) << result.message;
    }
    EXPECT_EQ(link.CountSent(ImageBlockCode), Blocks);
}

INSTANTIATE_TEST_SUITE_P(
    Boards, Duplicates,
    ::testing::Values(ExtraAnswers{"NoneStream", Delivery::Stream, Extra::None},
                      ExtraAnswers{"BackToBackStream", Delivery::Stream, Extra::BackToBack},
                      ExtraAnswers{"ApartStream", Delivery::Stream, Extra::Apart},
                      ExtraAnswers{"SpoofedStream", Delivery::Stream, Extra::Spoofed},
                      ExtraAnswers{"NoneDatagrams", Delivery::Datagram, Extra::None},
                      ExtraAnswers{"BackToBackDatagrams", Delivery::Datagram, Extra::BackToBack},
                      ExtraAnswers{"ApartDatagrams", Delivery::Datagram, Extra::Apart},
                      ExtraAnswers{"SpoofedDatagrams", Delivery::Datagram, Extra::Spoofed}),
    [](const auto& info) { return std::string(info.param.name); });

// Without a transport nothing goes out: the update failed, and the history
// gets no hash of what the board never got, whether the flow was played for
// a front end that shows it or not played at all.
class NoTransport : public ::testing::TestWithParam<bool> {};

TEST_P(NoTransport, AnUpdateOverUsbFailsWithNothingSent)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("app.hex").toStdString();
    std::ofstream(path, std::ios::binary) << std::string(ImageBlockSize, FileFill);
    TRecordedEvents events;
    TSession session(events);
    const bool played = GetParam();
    const TBoardResult result = RunUpdate(session, {HistoryKind::Firmware, {path}, played}, "usb");
    EXPECT_EQ(!events.statuses.empty(), played);
    EXPECT_EQ(result.outcome, Ending::Failed);
    EXPECT_STREQ(EndingName(result.outcome), "failed");
    EXPECT_TRUE(result.nothingSent);
    EXPECT_EQ(result.message, UsbHasNoTransport);
    EXPECT_TRUE(result.sentFiles.empty());
    EXPECT_EQ(result.bytes, 0);
}

INSTANTIATE_TEST_SUITE_P(Flows, NoTransport, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Played" : "NotPlayed"; });

} // namespace
