// The image transfer's selection, confirmation and file handling, in USB mode,
// where frames are built and dropped: no board is needed to see the stream
// run through.
#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QLabel>
#include <fstream>

#include "protocol/Encoder.h"
#include "app/Gauge.h"
#include "protocol/RuntimeErrors.h"
#include "app/Unit1.h"
#include "tests/support/ModalDriver.h"
#include "tests/support/Windows.h"

namespace {

class ImageTransfer : public ::testing::Test {
protected:
    void SetUp() override
    {
        windows.Create();
        Form1->USB1Click();
    }

    std::string MakeImage(const std::string& name, std::size_t size)
    {
        const std::string path = windows.PathOf(name);
        std::ofstream(path, std::ios::binary) << std::string(size, 'x');
        return path;
    }

    std::string UpdateError()
    {
        try {
            Form1->Update1Click();
        } catch (const EInOutError& error) {
            return error.what();
        }
        return "no error";
    }

    Windows windows;
    ModalDriver driver;
};

TEST_F(ImageTransfer, UsbModeStreamsTheWholeFileAndSendsNothing)
{
    const std::string image = MakeImage("app.hex", 3000);
    driver.SetFileChoice({QString::fromStdString(image)});
    Form1->OpenFirmware1->trigger();
    ASSERT_EQ(driver.FileDialogs().size(), 1u);
    EXPECT_EQ(driver.FileDialogs()[0].fileName, "*.hex");
    EXPECT_EQ(driver.FileDialogs()[0].nameFilters, QStringList({"Hex File (*.Hex)"}));
    EXPECT_EQ(Form1->FirmwareFileName, image);
    EXPECT_EQ(Form1->UpdateKind, KindFirmware);

    Form1->Update1Click();
    ASSERT_EQ(driver.Boxes().size(), 2u);
    EXPECT_EQ(driver.Boxes()[0].caption, "Update Confirmation");
    EXPECT_EQ(driver.Boxes()[0].text, "Please Confirm Update ?");
    EXPECT_EQ(driver.Boxes()[0].icon, QMessageBox::NoIcon);
    // The finish text stays; then the operator is told that nothing went out.
    EXPECT_EQ(driver.Boxes()[1].caption, "Update Warning");
    EXPECT_EQ(driver.Boxes()[1].text, "The USB link has no transport; nothing was sent.");
    EXPECT_EQ(driver.Boxes()[1].icon, QMessageBox::Warning);
    EXPECT_EQ(Form1->Panel1->text(), "Finish Update");
    EXPECT_EQ(Form1->Gauge1->MaxValue(), 3000);
    EXPECT_EQ(Form1->Gauge1->Progress(), 3000);
    EXPECT_FALSE(Form1->TransferRunning());
    EXPECT_TRUE(Form1->Update1->isEnabled());
    // The last frame built is the query after the last (952-byte) block.
    EXPECT_EQ(Form1->Session().LastRequest().TxLength, 7);
    EXPECT_EQ(Form1->Session().LastRequest().TxFrame[5], 0x01);
}

TEST_F(ImageTransfer, CancelSendsNothing)
{
    MakeImage("app.hex", 10);
    Form1->FirmwareFileName = windows.PathOf("app.hex");
    driver.SetAnswer(QMessageBox::Cancel);
    Form1->Update1Click();
    EXPECT_TRUE(Form1->Panel1->text().isEmpty());
    EXPECT_EQ(Form1->Session().Tally().framesSent, 0);
}

TEST_F(ImageTransfer, ACancelledDialogKeepsThePresetName)
{
    Form1->OpenFirmware1Click();
    EXPECT_EQ(Form1->FirmwareFileName, "*.hex");
    EXPECT_EQ(UpdateError(), "File not found");
    EXPECT_FALSE(Form1->TransferRunning());
    EXPECT_TRUE(Form1->Update1->isEnabled());
}

TEST_F(ImageTransfer, FilesThatCannotBeStreamed)
{
    EXPECT_EQ(UpdateError(), "File not found"); // nothing chosen yet
    Form1->FirmwareFileName = windows.Folder();
    EXPECT_EQ(UpdateError(), "'" + windows.Folder() + "' is not a regular file");
    Form1->FirmwareFileName = windows.PathOf(std::string(5000, 'n'));
    EXPECT_EQ(UpdateError(), "Invalid filename");
    Form1->FirmwareFileName = windows.PathOf("missing/app.hex");
    EXPECT_EQ(UpdateError(), "File not found");
}

} // namespace
