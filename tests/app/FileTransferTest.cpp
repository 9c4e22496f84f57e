// The flash-file and data-file transfers' selection and flow in USB mode,
// where frames are built and dropped.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <fstream>

#include "protocol/Encoder.h"
#include "app/Unit1.h"
#include "tests/support/ModalDriver.h"
#include "tests/support/Windows.h"

namespace {

class FileTransfer : public ::testing::Test {
protected:
    void SetUp() override
    {
        windows.Create();
        Form1->USB1Click();
    }

    QString MakeFile(const std::string& name, std::size_t size)
    {
        const std::string path = windows.PathOf(name);
        std::ofstream(path, std::ios::binary) << std::string(size, 'f');
        return QString::fromStdString(path);
    }

    Windows windows;
    ModalDriver driver;
};

TEST_F(FileTransfer, FlashFilesAreChosenFromTheFileMenu)
{
    driver.SetFileChoice({MakeFile("logo.bin", 10), MakeFile("font.bin", 600)});
    Form1->OpenOSDFiles1->trigger();
    EXPECT_EQ(Form1->UpdateKind, KindFlashFiles);
    ASSERT_EQ(Form1->FlashFileCount, 2);
    EXPECT_EQ(Form1->FlashFileNames[0], windows.PathOf("logo.bin"));
    EXPECT_EQ(Form1->FlashFileNames[1], windows.PathOf("font.bin"));
    ASSERT_EQ(driver.FileDialogs().size(), 1u);
    EXPECT_EQ(driver.FileDialogs()[0].nameFilters, QStringList({"All Files (*.*)"}));

    // Cancelling keeps the earlier list.
    driver.SetFileChoice({});
    Form1->OpenOSDFiles1->trigger();
    EXPECT_EQ(Form1->FlashFileCount, 2);

    Form1->Update1Click();
    EXPECT_EQ(Form1->Panel1->text(), "Finish Write");
    // The last request closed the last file.
    EXPECT_EQ(Form1->Session().LastRequest().TxFrame[5], 0x7D);
}

TEST_F(FileTransfer, NeverMoreThanTenFlashFiles)
{
    QStringList files;
    for (int i = 0; i < 12; ++i)
        files << MakeFile("f" + std::to_string(i) + ".bin", 1);
    driver.SetFileChoice(files);
    Form1->OpenOSDFiles1Click();
    EXPECT_EQ(Form1->FlashFileCount, 10);
    EXPECT_EQ(Form1->FlashFileNames[9], files[9].toStdString());
    ASSERT_EQ(driver.Boxes().size(), 1u);
    EXPECT_TRUE(driver.Boxes()[0].text.contains("first 10 of the 12"));
}

TEST_F(FileTransfer, NamesTheRequestCannotCarryAreRefusedBeforeAnythingIsSent)
{
    for (const char* name : {"a:b.bin", "a(b", "x;y", "c)d"}) {
        SCOPED_TRACE(name);
        Form1->UpdateKind = KindFlashFiles;
        Form1->FlashFileNames[0] = MakeFile("fine.bin", 3).toStdString();
        Form1->FlashFileNames[1] = MakeFile(name, 3).toStdString();
        Form1->FlashFileCount = 2;
        try {
            Form1->Update1Click();
            FAIL() << "no error";
        } catch (const EUnsendableName& error) {
            EXPECT_NE(std::string(error.what()).find(windows.PathOf(name)), std::string::npos) << error.what();
        }
        EXPECT_EQ(Form1->Session().Tally().framesSent, 0);
        EXPECT_TRUE(Form1->Update1->isEnabled());
    }
}

TEST_F(FileTransfer, DataFileIsChosenConfirmedAndBurnt)
{
    driver.SetFileChoice({MakeFile("settings.dat", 1024)});
    Form1->SendDataFile1->trigger();
    EXPECT_EQ(Form1->DataFileName, windows.PathOf("settings.dat"));
    ASSERT_EQ(driver.Boxes().size(), 2u);
    EXPECT_EQ(driver.Boxes()[0].caption, "Update Confirmation");
    EXPECT_EQ(driver.Boxes()[1].text, "The USB link has no transport; nothing was sent.");
    EXPECT_EQ(Form1->Panel1->text(), "Please Wait for Burning to Finish");
    EXPECT_EQ(std::vector<Byte>(Form1->Session().LastRequest().TxFrame.begin(), Form1->Session().LastRequest().TxFrame.begin() + 7),
              std::vector<Byte>({0xA5, 0x4B, 0x03, 0x00, 0x13, 0x2A, 0x0B}));
}

} // namespace
