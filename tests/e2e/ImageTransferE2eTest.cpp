// Firmware and BIOS images streamed by the real windows to the simulated
// board, over a pseudo-terminal and over UDP on loopback.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <optional>

#include "app/Application.h"
#include "app/Gauge.h"
#include "transfer/record/History.h"
#include "app/Unit1.h"
#include "app/Unit20.h"
#include "network/IdUDPClient.h"
#include "tests/e2e/UpdaterSession.h"

namespace {

class ImageStream : public ::testing::TestWithParam<Link> {};

TEST_P(ImageStream, ImagesArriveByteForByte)
{
    UpdaterSession session(GetParam());
    for (std::size_t size : {3u, 1023u, 1024u, 1025u, 2048u, 300000u}) {
        std::string content;
        const std::string path = session.MakeImage("image" + std::to_string(size) + ".hex", size, &content);
        session.UpdateFirmware(path);
        EXPECT_EQ(Form1->Panel1->text(), "Finish Update") << size;
        EXPECT_EQ(session.board->Kept("burn0.bin"), content) << size;
        EXPECT_EQ(Form1->Gauge1->value(), Form1->Gauge1->maximum()) << size;
    }
    EXPECT_EQ(session.driver.Boxes().size(), 6u);  // the confirmations, and no error
    EXPECT_EQ(session.board->Count("bad_frames"), 0u);
    EXPECT_EQ(session.board->Count("refused"), 0u);
}

TEST_P(ImageStream, TheFramesOfA1500ByteImage)
{
    UpdaterSession session(GetParam());
    session.UpdateFirmware(session.MakeImage("app.hex", 1500));
    EXPECT_EQ(Form1->Panel1->text(), "Finish Update");
    const std::vector<std::string> expected = {
        "13 C8 SetBurnBlock block=0 length=7", "13 C9 ImageBlock count=1024 length=1032",
        "13 01 GetBootError length=6",        "13 C9 ImageBlock count=476 length=484",
        "13 01 GetBootError length=6",
    };
    EXPECT_EQ(session.BoardFrames(), expected);
}

TEST_P(ImageStream, ABiosImageGoesToBurnBlockOneAfterThePassword)
{
    UpdaterSession session(GetParam());
    std::string bios;
    const std::string biosPath = session.MakeImage("QLTBIOS.HEX", 2500, &bios);
    Form1->OpenImage1->trigger();
    QTest::keyClicks(Form20->Edit1, QStringLiteral("marsh17"));
    session.driver.SetFileChoice({QString::fromStdString(biosPath)});
    QTest::mouseClick(Form20->Button1, Qt::LeftButton);
    ASSERT_EQ(Form1->UpdateKind, KindBios);
    Form1->Update1->trigger();
    EXPECT_EQ(session.board->Kept("burn1.bin"), bios);

    // Open Firmware announces block 0 again.
    std::string firmware;
    session.UpdateFirmware(session.MakeImage("app.hex", 10, &firmware));
    EXPECT_EQ(session.board->Kept("burn0.bin"), firmware);
    EXPECT_EQ(session.board->Kept("burn1.bin"), bios);
    EXPECT_EQ(session.board->Count("bad_frames"), 0u);
}

TEST_P(ImageStream, ASilentBoardCostsAWatchdogReportPerBlockAndTheStreamGoesOn)
{
    UpdaterSession session(GetParam(), {"--no-answer"});
    session.ShortenWatchdog(100);
    std::string content;
    session.UpdateFirmware(session.MakeImage("app.hex", 2100, &content));
    EXPECT_EQ(Form1->Panel1->text(), "Finish Update");
    EXPECT_EQ(session.board->Kept("burn0.bin"), content);
    const QString label = GetParam() == Link::Serial ? "GetBootError" : "Net";
    int reports = 0;
    for (const SeenBox& box : session.driver.Boxes())
        if (box.caption == "RS232 Error") {
            EXPECT_EQ(box.text, label);
            ++reports;
        }
    EXPECT_EQ(reports, 3);  // one for each of the three blocks
    // After the third the operator is asked, and No goes on.
    EXPECT_EQ(session.BoxesCaptioned("Board Not Answering").size(), 1u);
    EXPECT_EQ(Form1->Session().Tally().missingAnswers, 3);
}

TEST_P(ImageStream, StoppingASilentBoardSendsNothingMore)
{
    UpdaterSession session(GetParam(), {"--no-answer"});
    session.ShortenWatchdog(100);
    session.driver.SetQuestionAnswer(QMessageBox::Yes);
    session.UpdateFirmware(session.MakeImage("app.hex", 5 * ImageBlockSize));
    EXPECT_EQ(Form1->Panel1->text(), "Update Stopped");
    EXPECT_TRUE(Form1->Update1->isEnabled());
    // SetBurnBlock, then three blocks with their queries, and nothing after the third query.
    const std::vector<std::string> all = ImageUpdateFrames(5 * ImageBlockSize);
    EXPECT_EQ(session.AwaitBoardFrames(7), std::vector<std::string>(all.begin(), all.begin() + 7));
    EXPECT_EQ(QJsonDocument::fromJson(ReadHistory().lines.back()).object().value("outcome").toString(), "stopped");
}

TEST_P(ImageStream, ABoardReportedFailureIsToldAfterTheFinish)
{
    UpdaterSession session(GetParam(), {"--boot-error", "7"});
    std::string content;
    session.UpdateFirmware(session.MakeImage("app.hex", 2100, &content));
    EXPECT_EQ(Form1->Panel1->text(), "Finish Update");
    EXPECT_EQ(session.board->Kept("burn0.bin"), content);
    const std::vector<SeenBox> warnings = session.BoxesCaptioned("Update Warning");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].icon, QMessageBox::Warning);
    EXPECT_TRUE(warnings[0].text.contains("boot error 7 after block 1")) << warnings[0].text.toStdString();
    EXPECT_TRUE(warnings[0].text.contains("3 board-reported errors in all")) << warnings[0].text.toStdString();
    // The confirmation and the warning, nothing else.
    EXPECT_EQ(session.driver.Boxes().size(), 2u);
}

// The percent the bar shows, as its label should tell it.
int BarPercent(const TGauge& gauge)
{
    constexpr std::int64_t Whole = 100;
    return static_cast<int>(std::int64_t{gauge.value() - gauge.minimum()} * Whole /
                            (std::int64_t{gauge.maximum()} - gauge.minimum()));
}

// The gauge's label tells the bar's percent (one block ahead of the bytes
// sent), the rate and the time left while a paced transfer runs, and nothing
// once it has finished.
TEST(GaugeText, TellsTheBarsPercentRateAndTimeLeftWhileATransferRuns)
{
    UpdaterSession session(Link::Serial, {"--baud", "115200"});
    Form1->show(); // the label is checked as painted
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form1));
    QStringList seen;
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] {
        if (!Form1->Gauge1->LabelShown())
            return;
        const QString label = Form1->Gauge1->Label();
        seen << label;
        EXPECT_EQ(label.section(' ', 0, 0).toInt(), BarPercent(*Form1->Gauge1)) << label.toStdString();
    });
    sample.start(100);
    session.UpdateFirmware(session.MakeImage("app.hex", 24 * ImageBlockSize));
    sample.stop();
    EXPECT_EQ(Form1->Panel1->text(), "Finish Update");
    EXPECT_FALSE(Form1->Gauge1->LabelShown());

    ASSERT_GE(seen.size(), 3) << "the gauge showed no label during the transfer";
    const QRegularExpression shape(QStringLiteral("^(\\d+) %   \\S+ k?B/s   (\\d+):(\\d\\d) left$"));
    int lastPercent = 0;
    std::vector<int> secondsLeft;
    for (const QString& text : seen) {
        const QRegularExpressionMatch match = shape.match(text);
        if (!match.hasMatch())
            continue;  // the rate and time left are not known at the very start
        const int percent = match.captured(1).toInt();
        EXPECT_GE(percent, lastPercent) << text.toStdString();
        lastPercent = percent;
        secondsLeft.push_back(match.captured(2).toInt() * 60 + match.captured(3).toInt());
    }
    ASSERT_GE(secondsLeft.size(), 2u) << seen.join(" | ").toStdString();
    EXPECT_LT(secondsLeft.back(), secondsLeft.front()) << seen.join(" | ").toStdString();
}

TEST_P(ImageStream, AnUpdateIsRecordedInTheHistory)
{
    UpdaterSession session(GetParam());
    std::string content;
    const std::string path = session.MakeImage("app.hex", 2100, &content);
    const qsizetype before = ReadHistory().lines.size();
    // The board is the device the port opened at Connect, even once COM1
    // leads elsewhere; over the network, the address the socket sends to.
    std::optional<BoardSim> elsewhere;
    if (GetParam() == Link::Serial) {
        elsewhere.emplace(std::vector<std::string>{"--pty"});
        std::filesystem::remove(session.windows.PathOf("COM1"));
        std::filesystem::create_symlink(elsewhere->PtyPath(), session.windows.PathOf("COM1"));
    }
    const std::string board = GetParam() == Link::Serial ? session.board->PtyPath() : Form1->IdUDPClient1->Host;
    session.UpdateFirmware(path);
    const QList<QByteArray> lines = ReadHistory().lines;
    ASSERT_EQ(lines.size(), before + 1);
    const QJsonObject record = QJsonDocument::fromJson(lines.back()).object();
    const QByteArray sha256 =
        QCryptographicHash::hash(QByteArray::fromStdString(content), QCryptographicHash::Sha256).toHex();
    EXPECT_EQ(record.value("sha256").toString().toLatin1(), sha256);
    EXPECT_EQ(record.value("outcome").toString(), "updated");
    EXPECT_EQ(record.value("kind").toString(), "firmware");
    EXPECT_EQ(record.value("link").toString(), GetParam() == Link::Serial ? "serial" : "udp");
    EXPECT_EQ(record.value("board").toString().toStdString(), board);
    EXPECT_TRUE(SameBytes(session.board->Kept("burn0.bin"), content));
}

TEST_P(ImageStream, AReadOnlyImageIsSent)
{
    UpdaterSession session(GetParam());
    std::string content;
    const std::string path = session.MakeImage("readonly.hex", 700, &content);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    session.UpdateFirmware(path);
    EXPECT_EQ(session.board->Kept("burn0.bin"), content);
}

TEST_P(ImageStream, CommandsAreClosedWhileATransferRuns)
{
    UpdaterSession session(GetParam(), {"--delay", "20"});
    bool updateEnabled = true;
    bool modesEnabled = true;
    bool running = false;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (Form1->TransferRunning()) {
            running = true;
            updateEnabled = Form1->Update1->isEnabled();
            modesEnabled = Form1->RS2321->isEnabled() || Form1->Network2->isEnabled();
        }
    });
    probe.start(5);
    session.UpdateFirmware(session.MakeImage("app.hex", 20000));
    probe.stop();
    EXPECT_TRUE(running);
    EXPECT_FALSE(updateEnabled);
    EXPECT_FALSE(modesEnabled);
    EXPECT_TRUE(Form1->Update1->isEnabled());
    EXPECT_EQ(Form1->Panel1->text(), "Finish Update");
}

TEST_P(ImageStream, EscapeDuringATransferEndsIt)
{
    UpdaterSession session(GetParam(), {"--delay", "30"});
    QTimer::singleShot(100, Form1, [] { QTest::keyClick(Form1, Qt::Key_Escape); });
    session.UpdateFirmware(session.MakeImage("app.hex", 50000));
    EXPECT_TRUE(Form1->Terminating());
    EXPECT_EQ(Form1->Panel1->text(), "Updating Please Wait !");
    EXPECT_FALSE(Form1->TransferRunning());
    const auto kept = session.board->Kept("burn0.bin");
    ASSERT_TRUE(kept.has_value());
    EXPECT_LT(kept->size(), 50000u);
    // Stopped by the operator, as Ctrl-C is on the command line.
    EXPECT_EQ(QJsonDocument::fromJson(ReadHistory().lines.back()).object().value("outcome").toString(), "stopped");
}

// SIGTERM reaches the window as a close: the update under way ends stopped,
// and is recorded.
TEST_P(ImageStream, SigtermClosesTheWindowAndTheStoppedUpdateIsRecorded)
{
    UpdaterSession session(GetParam(), {"--delay", "30"});
    CloseOnTermination(Form1);
    const qsizetype recorded = ReadHistory().lines.size();
    QTimer::singleShot(100, Form1, [] { ::raise(SIGTERM); });
    session.UpdateFirmware(session.MakeImage("app.hex", 50000));
    EXPECT_TRUE(Form1->Terminating());
    EXPECT_FALSE(Form1->TransferRunning());
    const QList<QByteArray> lines = ReadHistory().lines;
    ASSERT_EQ(lines.size(), recorded + 1);
    EXPECT_EQ(QJsonDocument::fromJson(lines.back()).object().value("outcome").toString(), "stopped");
}

INSTANTIATE_TEST_SUITE_P(Links, ImageStream, ::testing::Values(Link::Serial, Link::Network),
                         [](const auto& info) { return LinkName(info.param); });

} // namespace
