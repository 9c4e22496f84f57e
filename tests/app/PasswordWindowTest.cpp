// The BIOS password window: what it records of the typing, what it shows,
// and where Accept and Close lead.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "app/Application.h"
#include "app/Unit1.h"
#include "app/Unit20.h"
#include "tests/support/ModalDriver.h"
#include "tests/support/Windows.h"

namespace {

class PasswordWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        windows.Create();
        Form1->OpenImage1->trigger();
    }

    void Type(const char* text) { QTest::keyClicks(Form20->Edit1, QString::fromLatin1(text)); }

    Windows windows;
    ModalDriver driver;
};

TEST_F(PasswordWindow, TheRightPasswordOpensTheBiosDialog)
{
    EXPECT_TRUE(Form20->isVisible());
    EXPECT_FALSE(Form20->isModal());
    Type("marsh17");
    EXPECT_EQ(Form20->Edit1->text(), "*******");
    QTest::mouseClick(Form20->Button1, Qt::LeftButton);
    EXPECT_FALSE(Form1->Terminating());
    EXPECT_FALSE(Form20->isVisible());
    EXPECT_EQ(Form1->BiosUnlocked, 1);
    EXPECT_EQ(Form1->UpdateKind, KindBios);
    ASSERT_EQ(driver.FileDialogs().size(), 1u);
    EXPECT_EQ(driver.FileDialogs()[0].fileName, "QLTBIOS.HEX");
    EXPECT_EQ(driver.FileDialogs()[0].nameFilters, QStringList({"BIOS File (*.HEX)"}));
    // Cancelled: the preset name is the BIOS path.
    EXPECT_EQ(Form1->BiosFileName, "QLTBIOS.HEX");
}

TEST_F(PasswordWindow, AcceptWithNothingTypedEndsTheProgram)
{
    QTest::mouseClick(Form20->Button1, Qt::LeftButton);
    EXPECT_TRUE(Form1->Terminating());
    EXPECT_TRUE(driver.FileDialogs().empty());
}

TEST_F(PasswordWindow, ControlCharactersAreRecordedAndNothingIsRemoved)
{
    Type("marsh1x");
    QTest::keyClick(Form20->Edit1, Qt::Key_Backspace);
    Type("7");
    EXPECT_EQ(Form20->Entered(), std::string("marsh1x\b7"));
    EXPECT_EQ(Form20->Edit1->text(), "*********");
    QTest::mouseClick(Form20->Button1, Qt::LeftButton);
    EXPECT_TRUE(Form1->Terminating());
}

TEST_F(PasswordWindow, EnterCountsAsACharacter)
{
    Type("marsh17");
    QTest::keyClick(Form20->Edit1, Qt::Key_Return);
    EXPECT_EQ(Form20->Entered(), std::string("marsh17\r"));
    QTest::mouseClick(Form20->Button1, Qt::LeftButton);
    EXPECT_TRUE(Form1->Terminating());
}

TEST_F(PasswordWindow, KeysThatTypeNothingAndPasteLeaveTheRecord)
{
    Type("marsh17");
    QTest::keyClick(Form20->Edit1, Qt::Key_Shift);
    QTest::keyClick(Form20->Edit1, Qt::Key_Left);
    EXPECT_EQ(Form20->Edit1->text(), "*******");
    Form20->Edit1->insert(QStringLiteral("pasted"));
    EXPECT_EQ(Form20->Entered(), "marsh17");
    QTest::keyClick(Form20->Edit1, Qt::Key_Right);
    EXPECT_EQ(Form20->Edit1->text(), "*******");
}

TEST_F(PasswordWindow, CloseKeepsTheRecordForTheNextOpening)
{
    Type("mar");
    QTest::mouseClick(Form20->Button2, Qt::LeftButton);
    EXPECT_FALSE(Form20->isVisible());
    EXPECT_EQ(Form1->BiosUnlocked, 0);
    Form1->OpenImage1->trigger();
    EXPECT_EQ(Form20->Edit1->text(), "***");
    Type("sh17");
    QTest::mouseClick(Form20->Button1, Qt::LeftButton);
    EXPECT_EQ(Form1->BiosUnlocked, 1);

    // Unlocked once: a later opening accepts again without typing, but each
    // opening clears the unlock first.
    Form1->OpenImage1->trigger();
    EXPECT_EQ(Form1->BiosUnlocked, 0);
    QTest::mouseClick(Form20->Button1, Qt::LeftButton);
    EXPECT_EQ(Form1->BiosUnlocked, 1);
    EXPECT_FALSE(Form1->Terminating());
}

} // namespace
