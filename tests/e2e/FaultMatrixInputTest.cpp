// Bad operator input with a board behind the real windows: images that cannot
// be streamed, settings files that hold no usable record, a typed baud rate
// that is not in the list. Each ends in a clear report or is ignored, sends
// the board nothing it did not ask for, and leaves the program able to run
// the next update.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

#include "app/Application.h"
#include "app/Feedback.h"
#include "app/Unit1.h"
#include "app/Unit2.h"
#include "transfer/record/History.h"
#include "tests/e2e/UpdaterSession.h"

namespace {

constexpr std::size_t ImageSize = 1500;

// The one error report an update showed beside its confirmation.
SeenBox OnlyErrorReport(const UpdaterSession& session)
{
    const std::vector<SeenBox> reports = session.BoxesCaptioned(ProgramName);
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_EQ(session.driver.Boxes().size(), 2u);
    return reports.empty() ? SeenBox{} : reports.front();
}

void ExpectReadyForTheNextCommand()
{
    EXPECT_FALSE(Form1->Terminating());
    EXPECT_FALSE(Form1->TransferRunning());
    EXPECT_TRUE(Form1->Update1->isEnabled());
}

// An update with a good image goes through after whatever went before.
void ExpectAGoodUpdate(UpdaterSession& session)
{
    session.driver.Clear();
    std::string image;
    session.UpdateFirmware(session.MakeImage("good.hex", ImageSize, &image));
    EXPECT_EQ(Form1->Panel1->text(), "Finish Update");
    EXPECT_TRUE(SameBytes(session.board->Kept("burn0.bin"), image));
    EXPECT_EQ(session.driver.Boxes().size(), 1u);  // the confirmation
}

// Chooses `path` through File, Open Firmware, lets `change` act on it (the
// dialog takes only files that exist), then runs Update.
void ChooseChangeAndUpdate(UpdaterSession& session, const std::string& path,
                           const std::function<void(const std::string&)>& change)
{
    session.driver.SetFileChoice({QString::fromStdString(path)});
    Form1->OpenFirmware1->trigger();
    ASSERT_EQ(Form1->FirmwareFileName, path);
    change(path);
    Form1->Update1->trigger();
}

struct BadImage {
    const char* what;
    const char* path;  // made in the working folder when relative
    std::function<void(const std::string&)> change;
    QString report;   // %1 stands for the image's path
};

void Keep(const std::string&) {}

const std::vector<BadImage> BadImages = {
    {"an image removed after it was chosen", "gone.hex", [](const std::string& path) { std::filesystem::remove(path); },
     "File not found."},
    {"an image replaced by a folder", "folder.hex",
     [](const std::string& path) {
         std::filesystem::remove(path);
         std::filesystem::create_directory(path);
     },
     "'%1' is not a regular file."},
    // Neither ends nor waits: the window must answer at once.
    {"the zero device", "/dev/zero", Keep, "'%1' is not a regular file."},
    {"an image replaced by a pipe", "pipe.hex",
     [](const std::string& path) {
         std::filesystem::remove(path);
         ::mkfifo(path.c_str(), 0600);
     },
     "'%1' is not a regular file."},
    // Opens, but the system gives it no size (its read would fail): an
    // empty image, which would empty the board's burn block.
    {"an image of no size", "/proc/self/mem", Keep, "The image '%1' is empty (0 bytes): the board would lose its image."},
};

class BadImageInput : public ::testing::TestWithParam<Link> {};

// An image that cannot be opened, or is empty, announces nothing: the board
// gets nothing, and Panel1 keeps its text.
TEST_P(BadImageInput, EndsWithTheFileErrorHavingSentNoBlock)
{
    UpdaterSession session(GetParam());
    for (const BadImage& image : BadImages) {
        SCOPED_TRACE(image.what);
        session.driver.Clear();
        const std::string path = image.path[0] == '/' ? image.path : session.MakeImage(image.path, ImageSize);
        ChooseChangeAndUpdate(session, path, image.change);
        const SeenBox report = OnlyErrorReport(session);
        EXPECT_EQ(report.text, QString(image.report).replace("%1", QString::fromStdString(path)));
        EXPECT_EQ(report.icon, QMessageBox::Critical);
        EXPECT_EQ(Form1->Panel1->text(), "");
        ExpectReadyForTheNextCommand();
    }
    EXPECT_EQ(session.board->Kept("burn0.bin").value_or(""), "");
    ExpectAGoodUpdate(session);
    EXPECT_EQ(session.BoardFrames(), ImageUpdateFrames(ImageSize));
}

// A file the program may not read: one without read permission, or, for
// root, whom permissions do not stop, a kernel setting that only takes
// writes.
std::optional<std::string> UnreadableFile(UpdaterSession& session)
{
    if (::geteuid() != 0) {
        const std::string path = session.MakeImage("locked.hex", ImageSize);
        if (::chmod(path.c_str(), 0) != 0)
            return std::nullopt;
        return path;
    }
    const std::string writeOnly = "/proc/sys/vm/compact_memory";
    if (::access(writeOnly.c_str(), F_OK) != 0)
        return std::nullopt;
    return writeOnly;
}

TEST_P(BadImageInput, AnUnreadableImageIsAccessDenied)
{
    UpdaterSession session(GetParam());
    const std::optional<std::string> path = UnreadableFile(session);
    if (!path)
        GTEST_SKIP() << "no file here that this user cannot read (running as root without "
                        "/proc/sys/vm/compact_memory)";
    ChooseChangeAndUpdate(session, *path, Keep);
    EXPECT_EQ(OnlyErrorReport(session).text, "File access denied.");
    ExpectReadyForTheNextCommand();
    ExpectAGoodUpdate(session);
    // Nothing went out before the good update's own frames.
    EXPECT_EQ(session.BoardFrames(), ImageUpdateFrames(ImageSize));
}

// An image cut short while it is sent: the transfer stops at the change, the
// board keeps a part of the image, the operator is told, and the history
// says the update failed.
TEST_P(BadImageInput, AnImageCutShortWhileItIsSentFailsTheUpdate)
{
    UpdaterSession session(GetParam());
    constexpr std::size_t LongImage = 3 * 64 * 1024;
    std::string image;
    const std::string path = session.MakeImage("app.hex", LongImage, &image);
    std::function<void()> cutOnceRunning = [&] {
        if (!Form1->TransferRunning()) {
            QTimer::singleShot(0, cutOnceRunning);
            return;
        }
        std::filesystem::resize_file(path, LongImage / 2);
    };
    QTimer::singleShot(0, cutOnceRunning);
    ChooseChangeAndUpdate(session, path, Keep);

    EXPECT_EQ(OnlyErrorReport(session).text,
              QString::fromStdString("The file '" + path + "' changed while it was sent; the board's copy is incomplete."));
    ExpectReadyForTheNextCommand();
    session.SyncWithBoard();
    const std::optional<std::string> kept = session.board->Kept("burn0.bin");
    EXPECT_TRUE(PrefixOf(kept, image));
    EXPECT_LT(kept.value_or("").size(), LongImage / 2);
    const QJsonObject record = QJsonDocument::fromJson(ReadHistory().lines.back()).object();
    EXPECT_EQ(record.value("outcome").toString(), "failed");
    EXPECT_EQ(record.value("sha256").toString(), "");
}

INSTANTIATE_TEST_SUITE_P(Links, BadImageInput, ::testing::Values(Link::Serial, Link::Network),
                         [](const auto& info) { return LinkName(info.param); });

// Without a usable serial record the port stays closed: an update ends at
// its first write with the driver's error and reaches nothing; Connect with
// the window's defaults (COM1 at 115200 8N1) then reaches the board.
void ExpectClosedPortUntilConnect(UpdaterSession& session)
{
    EXPECT_FALSE(Form2->ComPort1->Connected());
    EXPECT_EQ(Form1->CommMode, ModeRS232);
    EXPECT_EQ(Form1->windowTitle(), "Orvenda Updater RS232 Mode");

    session.driver.Clear();
    session.UpdateFirmware(session.MakeImage("app.hex", ImageSize));
    EXPECT_TRUE(OnlyErrorReport(session).text.startsWith("WriteFile function failed (win error code: "));
    ExpectReadyForTheNextCommand();
    EXPECT_TRUE(session.BoardFrames().empty());
    // The data file's first request is an answered one: the same report.
    session.driver.Clear();
    session.driver.SetFileChoice({QString::fromStdString(session.MakeImage("Flash.dat", ImageSize))});
    Form1->SendDataFile1->trigger();
    EXPECT_EQ(OnlyErrorReport(session).text, "WriteFile function failed (win error code: 9)");
    ExpectReadyForTheNextCommand();
    EXPECT_TRUE(session.BoardFrames().empty());

    session.driver.Clear();
    Form2->Button2->click();
    EXPECT_TRUE(Form2->ComPort1->Connected());
    EXPECT_TRUE(session.driver.Boxes().empty());
    ExpectAGoodUpdate(session);
}

TEST(BadSettingsFile, AnEmptyFileIsReportedAtStartUpAndConnectsNothing)
{
    UpdaterSession session(Link::Serial, {}, std::string());
    // Both windows that read the file report it.
    ASSERT_FALSE(session.driver.Boxes().empty());
    for (const SeenBox& box : session.driver.Boxes()) {
        EXPECT_EQ(box.caption, ProgramName);
        EXPECT_EQ(box.text, "Read beyond end of file.");
        EXPECT_EQ(box.icon, QMessageBox::Critical);
    }
    ExpectClosedPortUntilConnect(session);
}

TEST(BadSettingsFile, AFileOfAnotherKindIsIgnored)
{
    // Kind 7, with the bytes of a serial record behind it.
    UpdaterSession session(Link::Serial, {}, std::string("\7\0\6\3\0\0", 6));
    EXPECT_TRUE(session.driver.Boxes().empty());
    ExpectClosedPortUntilConnect(session);
}

std::string FileBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(TypedBaudRate, ARateNotInTheListLeavesThePortsRate)
{
    UpdaterSession session(Link::Serial);
    Form1->RS2322->trigger();
    Form2->Combo2->lineEdit()->selectAll();
    QTest::keyClicks(Form2->Combo2->lineEdit(), "12345");
    ASSERT_EQ(Form2->Combo2->currentIndex(), -1);

    QTest::mouseClick(Form2->Button2, Qt::LeftButton);
    EXPECT_TRUE(session.driver.Boxes().empty());
    EXPECT_TRUE(Form2->ComPort1->Connected());
    EXPECT_EQ(Form2->ComPort1->BaudRate(), br115200);
    ExpectAGoodUpdate(session);

    // Saved as "no selection".
    QTest::mouseClick(Form2->Button3, Qt::LeftButton);
    EXPECT_EQ(FileBytes(session.windows.PathOf("ZEVEVI.CFG")), std::string("\0\0\xFF\3\0\0", 6));
}

} // namespace
