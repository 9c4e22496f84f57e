// Flash files and the data file written by the real windows into the
// simulated board's file store, over a pseudo-terminal and over UDP.
#include <gtest/gtest.h>

#include <filesystem>

#include <QAction>
#include <QLabel>
#include <algorithm>

#include "app/Unit1.h"
#include "tests/e2e/UpdaterSession.h"
#include "transfer/board/BoardTry.h"

namespace {

class FileStore : public ::testing::TestWithParam<Link> {};

std::size_t CountOf(const std::vector<std::string>& frames, const std::string& start)
{
    return static_cast<std::size_t>(
        std::count_if(frames.begin(), frames.end(), [&](const std::string& f) { return f.rfind(start, 0) == 0; }));
}

TEST_P(FileStore, FlashFilesArriveUnderTheirNamesWithTheBoardsHandles)
{
    UpdaterSession session(GetParam());
    const std::vector<std::pair<std::string, std::size_t>> files = {
        {"empty.bin", 0}, {"abc.txt", 3}, {"one.blk", 512}, {"two.blk", 1024}, {"twelve.bytes", 10000}};
    QStringList chosen;
    std::vector<std::string> contents;
    for (const auto& [name, size] : files) {
        std::string content;
        chosen << QString::fromStdString(session.MakeImage(name, size, &content));
        contents.push_back(content);
    }
    session.driver.SetFileChoice(chosen);
    Form1->OpenOSDFiles1->trigger();
    ASSERT_EQ(Form1->FlashFileCount, 5);

    for (int round = 1; round <= 2; ++round) {
        Form1->Update1->trigger();
        EXPECT_EQ(Form1->Panel1->text(), "Finish Write");
        EXPECT_EQ(session.board->Kept("flash/empty.bin"), contents[0]);
        EXPECT_EQ(session.board->Kept("flash/abc.txt"), contents[1]);
        EXPECT_EQ(session.board->Kept("flash/one.blk"), contents[2]);
        EXPECT_EQ(session.board->Kept("flash/two.blk"), contents[3]);
        EXPECT_EQ(session.board->Kept("flash/twelve.bytes"), contents[4]);  // the longest name the request carries
    }
    session.SyncWithBoard();
    const std::vector<std::string> frames = session.BoardFrames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front(), "13 7F EraseFlash length=6");
    EXPECT_EQ(frames[1], "13 78 GetFlashInfo length=6");
    EXPECT_EQ(frames[2], "13 7B CreateFlashFile name=\"empty.bin\" file_length=0 type=3 length=23 (handle=1)");
    EXPECT_EQ(CountOf(frames, "13 7F EraseFlash"), 2u);  // once in each Update
    EXPECT_EQ(CountOf(frames, "13 7B CreateFlashFile name=\"twelve.bytes\" file_length=10000 type=3"), 2u);
    // Blocks: (0 + 1) + (0 + 1) + (1 + 1) + (2 + 1) + (19 + 1) = 27 per Update.
    EXPECT_EQ(CountOf(frames, "13 7C FlashFileBlock"), 54u);
    EXPECT_EQ(CountOf(frames, "13 7D CloseFlashFile"), 10u);
    // Every block and close carried the handle the board gave: none refused.
    EXPECT_EQ(session.board->Count("refused"), 0u);
    EXPECT_EQ(session.board->Count("bad_frames"), 0u);
    EXPECT_EQ(session.board->Count("size_mismatches"), 0u);
}

TEST_P(FileStore, TheDataFileArrivesAndIsBurnt)
{
    UpdaterSession session(GetParam());
    std::string content;
    session.driver.SetFileChoice({QString::fromStdString(session.MakeImage("settings.dat", 1500, &content))});
    Form1->SendDataFile1->trigger();
    EXPECT_EQ(Form1->Panel1->text(), "Please Wait for Burning to Finish");
    EXPECT_EQ(session.board->Kept("data/Flash.dat"), content);
    session.SyncWithBoard();
    std::vector<std::string> frames = session.BoardFrames();
    ASSERT_GE(frames.size(), 4u);
    frames.pop_back();  // the barrier
    EXPECT_EQ(frames.front(), "11 1B CreateDataFile name=\"Flash.dat\" length=18 (handle=1)");
    EXPECT_EQ(frames[frames.size() - 2], "11 1D CloseDataFile handle=1 length=10");
    EXPECT_EQ(frames.back(), "13 2A SetBurnMode mode=0B length=7");
    EXPECT_EQ(session.board->Count("refused"), 0u);
}

// Names the board would not keep as chosen: one the request grammar cannot
// carry, one longer than the request's 12 bytes (the board would cut it, and
// two such names would be one file), and one name chosen twice.
TEST_P(FileStore, ANameTheBoardCannotKeepWholeSendsNothingAndTheProgramGoesOn)
{
    UpdaterSession session(GetParam());
    std::filesystem::create_directories(session.windows.PathOf("one"));
    std::filesystem::create_directories(session.windows.PathOf("two"));
    const std::vector<std::vector<std::string>> selections = {
        {session.MakeImage("ok.bin", 3), session.MakeImage("settings_part1.bin", 3)},
        {session.MakeImage("one/same.bin", 3), session.MakeImage("two/same.bin", 3)},
        {session.MakeImage("a;b.bin", 3)},
    };
    for (const std::vector<std::string>& selection : selections) {
        QStringList chosen;
        for (const std::string& path : selection)
            chosen << QString::fromStdString(path);
        session.driver.Clear();
        session.driver.SetFileChoice(chosen);
        Form1->OpenOSDFiles1->trigger();
        Form1->Update1->trigger();
        ASSERT_FALSE(session.driver.Boxes().empty());
        EXPECT_TRUE(session.driver.Boxes().back().text.contains(chosen.back())) << session.driver.Boxes().back().text.toStdString();
        EXPECT_EQ(session.driver.Boxes().back().icon, QMessageBox::Critical);
        EXPECT_TRUE(Form1->Update1->isEnabled());
    }

    // Nothing reached the board, and a firmware update after it works.
    std::string firmware;
    session.UpdateFirmware(session.MakeImage("app.hex", 100, &firmware));
    EXPECT_EQ(session.board->Kept("burn0.bin"), firmware);
    EXPECT_EQ(session.BoardFrames(), ImageUpdateFrames(100));
}

TEST_P(FileStore, AFileWhoseCreationWasNotAnsweredIsNotWrittenAndTheNextIs)
{
    // The second answer of the transfer, the first file's creation, is dropped
    // (and every second one after it).
    UpdaterSession session(GetParam(), {"--drop-every", "2"});
    session.ShortenWatchdog(300);
    std::string second;
    session.driver.SetFileChoice({QString::fromStdString(session.MakeImage("first.bin", 10)),
                                  QString::fromStdString(session.MakeImage("second.bin", 10, &second))});
    Form1->OpenOSDFiles1->trigger();
    Form1->Update1->trigger();
    EXPECT_EQ(Form1->Panel1->text(), "Finish Write");
    const std::vector<SeenBox> told = session.BoxesCaptioned("Update Warning");
    ASSERT_EQ(told.size(), 1u);
    EXPECT_TRUE(told[0].text.contains("first.bin")) << told[0].text.toStdString();
    EXPECT_EQ(session.board->Kept("flash/second.bin"), second);
    session.SyncWithBoard();
    const std::vector<std::string> frames = session.BoardFrames();
    // One block and one close: the second file's, under its own handle.
    EXPECT_EQ(CountOf(frames, "13 7C FlashFileBlock"), 1u);
    EXPECT_EQ(CountOf(frames, "13 7D CloseFlashFile handle=2"), 1u);
    EXPECT_EQ(CountOf(frames, "13 7D CloseFlashFile"), 1u);
    EXPECT_EQ(session.board->Count("refused"), 0u);
}

// A board that refuses a creation may end its answer after the result code:
// the refusal is told at once (no watchdog report), and the file's blocks
// and close stay home.
TEST_P(FileStore, ACreationRefusedWithoutAHandleIsToldAtOnce)
{
    UpdaterSession session(GetParam(), {"--refuse-create", "5"});
    session.driver.SetFileChoice({QString::fromStdString(session.MakeImage("first.bin", 10))});
    Form1->OpenOSDFiles1->trigger();
    Form1->Update1->trigger();
    EXPECT_EQ(Form1->Panel1->text(), "Finish Write");
    EXPECT_TRUE(session.BoxesCaptioned("RS232 Error").empty());
    // The file not written, then the board-reported failure after the finish.
    const std::vector<SeenBox> told = session.BoxesCaptioned("Update Warning");
    ASSERT_EQ(told.size(), 2u);
    EXPECT_TRUE(told[0].text.contains("refused to create it (result 5)")) << told[0].text.toStdString();
    // Named by the request the board refused, on either link.
    EXPECT_TRUE(told[1].text.contains("The board refused first.bin (CreateFlashFile, result 5)"))
        << told[1].text.toStdString();
    EXPECT_EQ(OutcomeOf(Form1->Session().Tally()), Ending::Failed);
    session.SyncWithBoard();
    EXPECT_EQ(CountOf(session.BoardFrames(), "13 7C FlashFileBlock"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Links, FileStore, ::testing::Values(Link::Serial, Link::Network),
                         [](const auto& info) { return LinkName(info.param); });

} // namespace
