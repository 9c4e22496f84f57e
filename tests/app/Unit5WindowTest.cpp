// The network window where no network is needed: its controls, the start-up
// from ZEVEVI.CFG, and Save and Close with no board listed. The search and the choice of a board run in network
// namespaces (tests/e2e/NetworkSearchTest.cpp).
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <unistd.h>
#include <filesystem>

#include "app/Feedback.h"
#include "app/Unit1.h"
#include "network/IdUDPClient.h"
#include "app/Unit5.h"
#include "app/Unit2.h"
#include "tests/serial/CPortTestSupport.h"
#include "tests/serial/Unit2TestSupport.h"
#include "tests/support/ModalDriver.h"
#include "tests/support/Windows.h"

namespace {

const std::string SettingsFile = "ZEVEVI.CFG";
const Bytes SerialRecord = {SerialRecordKind, 0, 6, 3, 0, 0};  // COM1, 115200 8N1

TEST(NetworkWindow, StartsHiddenAndEmptyAndCloseOnlyHidesIt)
{
    Windows windows;
    windows.Create();
    EXPECT_EQ(Form5->windowTitle(), "Network Configuration ");
    EXPECT_EQ(Form5->Button1->text(), "Search Network");
    EXPECT_EQ(Form5->BitBtn1->text(), "Save Configuration");
    EXPECT_EQ(Form5->Button2->text(), "Close");
    EXPECT_EQ(Form5->ListBox1->count(), 0);
    EXPECT_TRUE(Form5->Panel1->text().isEmpty());
    EXPECT_TRUE(Form5->Panel2->text().isEmpty());
    EXPECT_FALSE(Form5->isVisible());

    Form1->Network1->trigger();
    EXPECT_TRUE(Form5->isVisible());
    QTest::mouseClick(Form5->Button2, Qt::LeftButton);
    EXPECT_FALSE(Form5->isVisible());
    EXPECT_EQ(Form1->CommMode, ModeRS232);
}

// COM1 leads to a pseudo-terminal, so a serial record really connects, and a
// port left closed was not tried.
class NetworkWindowStart : public ::testing::Test {
protected:
    void StartWith(const Bytes& settings)
    {
        ASSERT_EQ(::symlink(terminal.Path().c_str(), windows.PathOf("COM1").c_str()), 0);
        PutFile(windows.PathOf(SettingsFile), settings);
        windows.Create();
    }

    PseudoTerminal terminal;
    Windows windows;
    ModalDriver driver;
};

struct SavedAddress {
    Bytes record;
    std::string host;
};

class NetworkRecordStart : public NetworkWindowStart, public ::testing::WithParamInterface<SavedAddress> {};

TEST_P(NetworkRecordStart, SelectsNetworkModeWithTheSavedHostAndLeavesThePortClosed)
{
    StartWith(GetParam().record);
    EXPECT_EQ(Form1->IdUDPClient1->Host, GetParam().host);
    EXPECT_EQ(Form1->IdUDPClient1->Port, BoardRequestPort);
    EXPECT_EQ(Form1->CommMode, ModeNetwork);
    EXPECT_EQ(Form1->windowTitle(), "Dorvik Firmware Update NetWork Mode");
    EXPECT_FALSE(Form2->ComPort1->Connected());
    EXPECT_TRUE(driver.Boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(Addresses, NetworkRecordStart,
                         ::testing::Values(SavedAddress{{NetworkRecordKind, 10, 0, 0, 7}, "10.0.0.7"},
                                           SavedAddress{{NetworkRecordKind, 192, 168, 0, 10}, "192.168.0.10"}),
                         [](const auto& info) {
                             return QString::fromStdString(info.param.host).replace('.', '_').toStdString();
                         });

TEST_F(NetworkWindowStart, SerialRecordLeavesTheHostAndRS232Mode)
{
    StartWith(SerialRecord);
    EXPECT_TRUE(Form2->ComPort1->Connected());
    EXPECT_TRUE(Form1->IdUDPClient1->Host.empty());
    EXPECT_EQ(Form1->CommMode, ModeRS232);
    EXPECT_EQ(Form1->windowTitle(), "Orvenda Updater RS232 Mode");
    EXPECT_TRUE(driver.Boxes().empty());
}

TEST_F(NetworkWindowStart, ShortNetworkRecordIsReportedAndChangesNothing)
{
    StartWith({NetworkRecordKind, 10, 0});
    ASSERT_EQ(driver.Boxes().size(), 1u);
    EXPECT_EQ(driver.Boxes()[0].caption, ProgramName);
    EXPECT_EQ(driver.Boxes()[0].text, "Read beyond end of file.");
    EXPECT_EQ(driver.Boxes()[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(Form1->IdUDPClient1->Host.empty());
    EXPECT_EQ(Form1->CommMode, ModeRS232);
}

TEST_F(NetworkWindowStart, SaveWithoutSelectedBoardLeavesTheSettingsFileAlone)
{
    StartWith(SerialRecord);
    QTest::mouseClick(Form5->BitBtn1, Qt::LeftButton);
    EXPECT_EQ(FileContent(windows.PathOf(SettingsFile)), SerialRecord);

    std::filesystem::remove(windows.PathOf(SettingsFile));
    QTest::mouseClick(Form5->BitBtn1, Qt::LeftButton);
    EXPECT_FALSE(std::filesystem::exists(windows.PathOf(SettingsFile)));
    EXPECT_TRUE(driver.Boxes().empty());
}

} // namespace
