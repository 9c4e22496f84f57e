// The same update through the window and through orvenda-update: the
// simulated board gets the same frames, frame for frame, on both links, and
// the history records each outcome alike.
#include <gtest/gtest.h>

#include <unistd.h>

#include <QAction>
#include <QFileInfo>
#include <QLabel>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>
#include <QtTest/QTest>

#include <csignal>
#include <optional>

#include "app/Unit1.h"
#include "network/IdUDPClient.h"
#include "tests/cli/CliRunner.h"
#include "tests/e2e/UpdaterSession.h"
#include "transfer/report/ErrorText.h"
#include "transfer/record/History.h"

namespace {

constexpr int SilentWatchdogMs = 100;

// A history record without what differs between two runs of one update (the
// time, its length, the board's device or address, the file's folder, its run).
QJsonObject Comparable(const QByteArray& line)
{
    QJsonObject record = QJsonDocument::fromJson(line).object();
    record.insert("file", QFileInfo(record.value("file").toString()).fileName());
    for (const char* varying : {"time", "seconds", "board", "run"})
        record.remove(varying);
    return record;
}

QJsonObject LastWindowRecord()
{
    const QList<QByteArray> lines = ReadHistory().lines;
    return lines.isEmpty() ? QJsonObject() : Comparable(lines.back());
}

QJsonObject LastCliRecord(const CliFolder& folder)
{
    const QList<QByteArray> lines =
        ReadHistory(QString::fromStdString(folder.PathOf("state/orvenda-updater/history.jsonl"))).lines;
    return lines.isEmpty() ? QJsonObject() : Comparable(lines.back());
}

class CliWindowParity : public ::testing::TestWithParam<Link> {};

TEST_P(CliWindowParity, BoardSeesTheSameFramesFromBothFrontEnds)
{
    const std::size_t size = 3 * 1024 + 100;
    UpdaterSession window(GetParam());
    std::string image;
    window.UpdateFirmware(window.MakeImage("app.hex", size, &image));
    const std::vector<std::string> fromWindow = window.AwaitBoardFrames(ImageUpdateFrames(size).size());

    CliFolder folder;
    folder.WriteBytes("app.hex", image);
    std::string address;
    if (GetParam() == Link::Network)
        address = LoopbackAddress(30);
    BoardSim board(GetParam() == Link::Serial ? std::vector<std::string>{"--pty"}
                                              : std::vector<std::string>{"--udp", address});
    const QString target = QString::fromStdString(GetParam() == Link::Serial ? board.PtyPath() : address);
    const CliOutcome outcome = folder.Run(
        {"firmware", "app.hex", GetParam() == Link::Serial ? "--serial" : "--udp", target});
    ASSERT_EQ(outcome.exitCode, 0) << outcome.Printed();

    EXPECT_EQ(fromWindow, ImageUpdateFrames(size));
    EXPECT_EQ(ReceivedFrames(board), fromWindow);
    EXPECT_TRUE(SameBytes(board.Kept("burn0.bin"), image));
    EXPECT_EQ(LastCliRecord(folder), LastWindowRecord());
    EXPECT_EQ(LastWindowRecord().value("outcome").toString(), "updated");
}

INSTANTIATE_TEST_SUITE_P(Links, CliWindowParity, ::testing::Values(Link::Serial, Link::Network),
                         [](const auto& info) { return LinkName(info.param); });

// The window's board as orvenda-update names it otherwise: the device COM1
// points to, or the address with a leading zero.
QString OtherSpellingOfWindowBoard(const UpdaterSession& window)
{
    if (window.link == Link::Serial)
        return QString::fromStdString(window.board->PtyPath());
    const QString address = QString::fromStdString(Form1->IdUDPClient1->Host);
    return address.left(address.lastIndexOf('.') + 1) + "0" + address.mid(address.lastIndexOf('.') + 1);
}

class FrontEndLock : public ::testing::TestWithParam<Link> {};

// While the window updates a board, orvenda-update is refused it, however it
// names the board; the window's image arrives whole.
TEST_P(FrontEndLock, ABoardTheWindowUpdatesIsRefusedToTheCommandLine)
{
    UpdaterSession window(GetParam(), {"--delay", "10"});
    std::string image;
    const std::string path = window.MakeImage("app.hex", 30 * 1024, &image);
    CliFolder folder;
    folder.WriteFile("other.hex", 5000);
    const QString link = GetParam() == Link::Serial ? "--serial" : "--udp";
    std::optional<CliOutcome> second;
    QTimer whileRunning;
    QObject::connect(&whileRunning, &QTimer::timeout, [&] {
        if (Form1->TransferRunning() && !second)
            second = folder.Run({"firmware", "other.hex", link, OtherSpellingOfWindowBoard(window)});
    });
    whileRunning.start(10);
    window.UpdateFirmware(path);
    whileRunning.stop();
    ASSERT_TRUE(second.has_value()) << "the window's transfer never ran";
    EXPECT_EQ(second->exitCode, 3) << second->Printed();
    EXPECT_NE(second->err.find("is being updated by another updater (process " + std::to_string(::getpid()) + " of"),
              std::string::npos)
        << second->Printed();
    EXPECT_TRUE(SameBytes(window.board->Kept("burn0.bin"), image));
    EXPECT_EQ(LastWindowRecord().value("outcome").toString(), "updated");
}

INSTANTIATE_TEST_SUITE_P(Links, FrontEndLock, ::testing::Values(Link::Serial, Link::Network),
                         [](const auto& info) { return LinkName(info.param); });

// While orvenda-update updates a board, the window is refused it and sends
// nothing. (Over the serial line the window's open port already keeps the
// command line out.)
TEST(FrontEndLockNetwork, ABoardTheCommandLineUpdatesIsRefusedToTheWindow)
{
    UpdaterSession window(Link::Network, {"--delay", "10"});
    CliFolder folder;
    const std::string image = folder.WriteFile("app.hex", 200 * 1024);
    QProcess first;
    folder.Start(first, {"firmware", "app.hex", "--udp", OtherSpellingOfWindowBoard(window), "--json"});
    ASSERT_TRUE(first.waitForReadyRead(10000)) << "the command line's update did not start";
    window.UpdateFirmware(window.MakeImage("other.hex", 5000));
    ASSERT_EQ(first.state(), QProcess::Running) << "the command line's update ended before the window tried";
    const QJsonObject refused = LastWindowRecord();
    EXPECT_NE(refused.value("outcome").toString(), "updated");
    EXPECT_NE(refused.value("reason").toString().indexOf(
                  QStringLiteral("is being updated by another updater (process %1 of user ").arg(first.processId())),
              -1)
        << refused.value("reason").toString().toStdString();
    EXPECT_EQ(folder.Finish(first).exitCode, 0);
    EXPECT_TRUE(SameBytes(window.board->Kept("burn0.bin"), image));
}

// One update that does not end "updated", over the serial line: the board's
// options and the outcome both front ends record. The window's operator
// answers Yes to the silence question; "Operator" stops the update by hand.
struct Unfinished {
    const char* name;
    std::vector<std::string> board;
    const char* outcome;
    int exitStatus = 1;
    // The file goes to the board's flash store rather than as its image.
    bool flashFile = false;
    const char* reason = nullptr;  // the recorded reason, where the row pins it
};

class UnfinishedParity : public ::testing::TestWithParam<Unfinished> {};

// Stops the window's transfer with Escape once its first block is out, or
// orvenda-update's with Ctrl-C.
bool StopsByOperator(const Unfinished& update)
{
    return std::string(update.name) == "Operator";
}

// The window's record of the update; `image` gets the image it sent.
QJsonObject WindowRecord(const Unfinished& update, std::string& image)
{
    constexpr std::size_t ImageSize = 20000;
    UpdaterSession window(Link::Serial, update.board);
    window.ShortenWatchdog(SilentWatchdogMs);
    window.driver.SetQuestionAnswer(QMessageBox::Yes);
    if (StopsByOperator(update))
        QTimer::singleShot(100, Form1, [] { QTest::keyClick(Form1, Qt::Key_Escape); });
    const std::string path = window.MakeImage("app.hex", ImageSize, &image);
    if (update.flashFile) {
        window.driver.SetFileChoice({QString::fromStdString(path)});
        Form1->OpenOSDFiles1->trigger();
        Form1->Update1->trigger();
    } else {
        window.UpdateFirmware(path);
    }
    return LastWindowRecord();
}

QJsonObject CliRecord(const Unfinished& update, const std::string& image)
{
    CliFolder folder;
    folder.WriteBytes("app.hex", image);
    std::vector<std::string> options = {"--pty"};
    options.insert(options.end(), update.board.begin(), update.board.end());
    BoardSim board(options);
    QProcess process;
    folder.Start(process, {update.flashFile ? "flash" : "firmware", "app.hex", "--serial", QString::fromStdString(board.PtyPath()), "--watchdog",
                           QString::number(SilentWatchdogMs)});
    if (StopsByOperator(update)) {
        EXPECT_TRUE(AwaitFrame(board, "ImageBlock"));
        ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    }
    const CliOutcome outcome = folder.Finish(process);
    EXPECT_EQ(outcome.exitCode, update.exitStatus) << outcome.Printed();
    return LastCliRecord(folder);
}

TEST_P(UnfinishedParity, IsRecordedAlikeByBothFrontEnds)
{
    std::string image;
    const QJsonObject fromWindow = WindowRecord(GetParam(), image);
    EXPECT_EQ(fromWindow.value("outcome").toString(), GetParam().outcome);
    if (GetParam().reason != nullptr) {
        EXPECT_EQ(fromWindow.value("reason").toString().toStdString(), GetParam().reason);
    }
    // Every copy the board sent is counted, the one behind the last answer
    // too: both front ends close their accounts only once the board is quiet.
    EXPECT_EQ(CliRecord(GetParam(), image), fromWindow);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, UnfinishedParity,
    ::testing::Values(Unfinished{"BoardErrors", {"--boot-error", "7"}, "failed"},
                      Unfinished{"MissingAnswers", {"--drop-every", "5"}, "unconfirmed"},
                      Unfinished{"Duplicates", {"--second-answer", "0"}, "unconfirmed", 1, false,
                                 "20 stray frames from the board (repeated, late or no answer to the request awaited)"},
                      Unfinished{"Silence", {"--no-answer"}, "stopped"},
                      Unfinished{"Operator", {"--delay", "30"}, "stopped", 128 + SIGINT},
                      Unfinished{"RefusedFile", {"--refuse-create", "9"}, "failed", 1, true,
                                 "app.hex was not written: the board refused to create it (result 9)"}),
    [](const auto& info) { return std::string(info.param.name); });

// USB has no transport: the window keeps its finish text, and both front
// ends record the same failure, with the same reason.
TEST(UsbParity, NothingSentIsRecordedAsFailedAlikeByBothFrontEnds)
{
    std::string image;
    UpdaterSession window(Link::Serial);
    Form1->USB1->trigger();
    window.UpdateFirmware(window.MakeImage("app.hex", 3000, &image));
    EXPECT_EQ(Form1->Panel1->text(), "Finish Update");
    const QJsonObject fromWindow = LastWindowRecord();
    EXPECT_EQ(fromWindow.value("outcome").toString(), "failed");
    EXPECT_EQ(fromWindow.value("reason").toString().toStdString(), UsbHasNoTransport);
    EXPECT_EQ(fromWindow.value("sha256").toString(), "");

    CliFolder folder;
    folder.WriteBytes("app.hex", image);
    const CliOutcome outcome = folder.Run({"firmware", "app.hex", "--usb"});
    EXPECT_EQ(outcome.exitCode, 1) << outcome.Printed();
    EXPECT_EQ(LastCliRecord(folder), fromWindow);
}

} // namespace
