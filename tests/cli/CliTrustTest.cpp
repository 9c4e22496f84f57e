// What orvenda-update never calls updated: a board named twice or held by
// another updater, an image that changes while it is sent, flash names the
// board would not keep whole. A name that is not UTF-8 still reaches its file.
#include <gtest/gtest.h>

#include <QProcess>
#include <QThread>

#include <filesystem>

#include "tests/cli/CliRunner.h"
#include "tests/e2e/UpdaterSession.h"
#include "tests/support/BoardSim.h"

namespace {

constexpr int PatienceMs = 10000;

// Waits (bounded) until the program has printed `fragment` on its standard
// output, and returns what it printed so far.
std::string AwaitPrinted(QProcess& update, const std::string& fragment)
{
    std::string printed;
    while (printed.find(fragment) == std::string::npos) {
        if (!update.waitForReadyRead(PatienceMs)) {
            ADD_FAILURE() << "never printed " << fragment << ": " << printed;
            break;
        }
        printed += update.readAllStandardOutput().toStdString();
    }
    return printed;
}

// A board that answers every request, but each time behind a frame of
// another operation, is not "updated": its strays are counted and told.
TEST(CliStrays, ABoardSendingWhatWasNotAskedForIsNeverUpdated)
{
    CliFolder folder;
    folder.WriteFile("app.hex", 3000);
    const std::string address = LoopbackAddress(32);
    BoardSim board({"--udp", address, "--garble", "operation", "--second-answer", "0"});
    const CliOutcome outcome = folder.Run({"firmware", "app.hex", "--udp", QString::fromStdString(address), "--json"});
    EXPECT_EQ(outcome.exitCode, 1) << outcome.Printed();
    const QJsonObject done = outcome.DoneOf(address);
    EXPECT_EQ(done.value("outcome").toString(), "unconfirmed") << outcome.Printed();
    EXPECT_EQ(done.value("missingAnswers").toInt(), 0);
    EXPECT_EQ(done.value("strayAnswers").toInt(), 3);
}

TEST(CliOneBoardOneUpdater, ABoardNamedTwiceIsRefusedBeforeAnythingIsSent)
{
    CliFolder folder;
    folder.WriteFile("app.hex", 3000);
    const std::string address = LoopbackAddress(30);
    BoardSim board({"--udp", address});
    // Two spellings of one address: the first part in hexadecimal.
    const std::string spelledOtherwise = "0x7f" + address.substr(address.find('.'));
    const CliOutcome outcome =
        folder.Run({"firmware", "app.hex", "--udp", QString::fromStdString(address + "," + spelledOtherwise)});
    EXPECT_EQ(outcome.exitCode, 2) << outcome.Printed();
    EXPECT_NE(outcome.err.find("named twice"), std::string::npos) << outcome.Printed();
    EXPECT_TRUE(ReceivedFrames(board).empty());
}

// A second process on a board that is being updated is refused, and the
// first finishes with the board holding its image exactly.
TEST(CliOneBoardOneUpdater, ASecondUpdaterOnTheBoardIsRefused)
{
    CliFolder folder;
    const std::string image = folder.WriteFile("app.hex", 20 * 1024);
    folder.WriteFile("other.hex", 5000);
    const std::string address = LoopbackAddress(31);
    BoardSim board({"--udp", address, "--delay", "20"});
    QProcess first;
    folder.Start(first, {"firmware", "app.hex", "--udp", QString::fromStdString(address), "--json"});
    AwaitPrinted(first, "\"progress\"");
    const CliOutcome second = folder.Run({"firmware", "other.hex", "--udp", QString::fromStdString(address)});
    EXPECT_EQ(second.exitCode, 3) << second.Printed();
    EXPECT_NE(second.err.find("Board " + address + " is being updated by another updater."), std::string::npos)
        << second.Printed();
    const CliOutcome outcome = folder.Finish(first);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
    EXPECT_TRUE(SameBytes(board.Kept("burn0.bin"), image));
}

TEST(CliChangedImage, AnImageCutShortWhileItIsSentFailsAndIsRecordedSo)
{
    CliFolder folder;
    constexpr std::size_t Size = 3 * 64 * 1024;
    folder.WriteFile("app.hex", Size);
    BoardSim board({"--pty", "--delay", "5"});
    QProcess update;
    folder.Start(update, {"firmware", "app.hex", "--serial", QString::fromStdString(board.PtyPath()), "--json"});
    AwaitPrinted(update, "\"progress\"");
    std::filesystem::resize_file(folder.PathOf("app.hex"), Size / 2);
    const CliOutcome outcome = folder.Finish(update);
    EXPECT_EQ(outcome.exitCode, 1) << outcome.Printed();
    EXPECT_EQ(outcome.DoneOf(board.PtyPath()).value("outcome").toString(), "failed") << outcome.Printed();
    // Told as an error of its own, besides the done object's message.
    const std::vector<QJsonObject> errors = outcome.Events("error");
    ASSERT_EQ(errors.size(), 1u) << outcome.Printed();
    EXPECT_NE(errors.front().value("message").toString().indexOf("changed while it was sent"), -1)
        << outcome.Printed();
    const CliOutcome history = folder.Run({"history", "--json"});
    EXPECT_NE(history.out.find("\"outcome\":\"failed\""), std::string::npos) << history.Printed();
    EXPECT_NE(history.out.find("\"sha256\":\"\""), std::string::npos) << history.Printed();
}

TEST(CliFlashNames, NamesTheBoardWouldNotKeepWholeAreRefused)
{
    CliFolder folder;
    BoardSim board({"--pty"});
    folder.WriteFile("settings_part1.bin", 10);
    std::filesystem::create_directories(folder.PathOf("a"));
    std::filesystem::create_directories(folder.PathOf("b"));
    folder.WriteFile("a/same.bin", 10);
    folder.WriteFile("b/same.bin", 10);
    const QString port = QString::fromStdString(board.PtyPath());
    for (const QStringList& files : {QStringList{"settings_part1.bin"}, QStringList{"a/same.bin", "b/same.bin"}}) {
        const CliOutcome outcome = folder.Run(QStringList{"flash"} << files << "--serial" << port);
        EXPECT_EQ(outcome.exitCode, 2) << outcome.Printed();
        EXPECT_NE(outcome.err.find(files.back().toStdString()), std::string::npos) << outcome.Printed();
    }
    EXPECT_TRUE(ReceivedFrames(board).empty());
}

TEST(CliFileNames, ANameThatIsNotUtf8OpensItsFile)
{
    CliFolder folder;
    const std::string latin1Name = "bild\xE4.hex";
    const std::string image = folder.WriteFile(latin1Name, 2000);
    BoardSim board({"--pty"});
    // The argument goes to the program as the bytes of the name.
    const CliOutcome outcome = folder.Run({"firmware", QString::fromLocal8Bit(latin1Name.c_str()), "--serial",
                                           QString::fromStdString(board.PtyPath())});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
    EXPECT_TRUE(SameBytes(board.Kept("burn0.bin"), image));
}

} // namespace
