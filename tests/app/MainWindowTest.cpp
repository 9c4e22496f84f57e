// The main window under the offscreen platform: captions, menu, modes, the
// watchdog's report, Escape (also after a menu command chosen from the
// keyboard), the standard error report and the boxes it asks and tells with.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstdlib>

#include "app/Application.h"
#include "app/Feedback.h"
#include "app/Gauge.h"
#include "app/Unit1.h"
#include "app/Unit20.h"
#include "app/Unit5.h"
#include "app/Unit2.h"
#include "tests/support/ModalDriver.h"
#include "tests/support/Windows.h"
#include "transfer/report/Progress.h"

namespace {

QStringList Captions(const QList<QAction*>& actions)
{
    QStringList captions;
    for (QAction* action : actions)
        captions << action->text();
    return captions;
}

TEST(MainWindow, StartsInRS232ModeWithEmptyPanels)
{
    Windows windows;
    windows.Create();
    EXPECT_EQ(Form1->windowTitle(), "Orvenda Updater RS232 Mode");
    EXPECT_EQ(Form1->CommMode, 0);
    EXPECT_EQ(Form1->BiosUnlocked, 0);
    EXPECT_TRUE(Form1->Panel1->text().isEmpty());
    EXPECT_TRUE(Form1->Panel2->text().isEmpty());
    EXPECT_EQ(Form1->Gauge1->Progress(), 0);
    EXPECT_EQ(Form1->WatchdogMs, 10000);
    EXPECT_FALSE(Form2->isVisible());
    EXPECT_FALSE(Form5->isVisible());
    EXPECT_FALSE(Form20->isVisible());
}

TEST(MainWindow, MenuCaptionsAndOrder)
{
    Windows windows;
    windows.Create();
    EXPECT_EQ(Captions(Form1->menuBar()->actions()),
              QStringList({"&File", "Select Communication Mode", "Configuration ", "Update"}));
    EXPECT_EQ(Captions(Form1->File1->actions()).mid(0, 2),
              QStringList({"Open &Firmware", "Open &BIOS (Require Password)"}));
    EXPECT_EQ(Form1->File1->actions().last()->text(), "&Exit");
    EXPECT_EQ(Captions(Form1->Select1->actions()), QStringList({"RS232", "USB", "Network"}));
    EXPECT_EQ(Captions(Form1->ConfigureCommunication1->actions()), QStringList({"RS232", "USB", "Network"}));
    EXPECT_EQ(Form1->Update1->menu(), nullptr);

    // The whole menu bar fits on one line.
    Form1->show();
    QCoreApplication::processEvents();
    EXPECT_GE(Form1->menuBar()->width(), Form1->menuBar()->sizeHint().width());
}

TEST(MainWindow, OpensCentredOnTheDesktop)
{
    Windows windows;
    windows.Create();
    Form1->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form1)) << "the main window was not shown within 5 s";
    const QPoint desktopCentre = Form1->screen()->availableGeometry().center();
    const QPoint windowCentre = Form1->frameGeometry().center();
    // A centre falls between two pixels when a length is even.
    EXPECT_LE(std::abs(windowCentre.x() - desktopCentre.x()), 1) << windowCentre.x() << " vs " << desktopCentre.x();
    EXPECT_LE(std::abs(windowCentre.y() - desktopCentre.y()), 1) << windowCentre.y() << " vs " << desktopCentre.y();
}

TEST(MainWindow, ModeSelection)
{
    Windows windows;
    windows.Create();
    Form1->USB1->trigger();
    EXPECT_EQ(Form1->windowTitle(), "Dorvik Firmware Update USB Mode");
    EXPECT_EQ(Form1->CommMode, 1);
    Form1->RS2321->trigger();
    EXPECT_EQ(Form1->windowTitle(), "Dorvik Firmware Update RS232 Mode");
    EXPECT_EQ(Form1->CommMode, 0);
    Form1->Network2->trigger();
    EXPECT_EQ(Form1->windowTitle(), "Dorvik Firmware Update NetWork Mode");
    EXPECT_EQ(Form1->CommMode, 3);
}

TEST(MainWindow, ConfigurationItemsShowTheirWindows)
{
    Windows windows;
    windows.Create();
    Form1->USB2->trigger();
    EXPECT_FALSE(Form2->isVisible());
    EXPECT_FALSE(Form5->isVisible());
    Form1->RS2322->trigger();
    EXPECT_TRUE(Form2->isVisible());
    EXPECT_FALSE(Form2->isModal());
    Form1->Network1->trigger();
    EXPECT_TRUE(Form5->isVisible());
}

TEST(MainWindow, WatchdogExpiryReport)
{
    Windows windows;
    windows.Create();
    ModalDriver driver;
    const int beeps = Form1->Feedback.BeepCount();
    Form1->Timer1Timer("GetBootError");
    EXPECT_EQ(Form1->Panel1->text(), "Error in : GetBootError");
    ASSERT_EQ(driver.Boxes().size(), 1u);
    EXPECT_EQ(driver.Boxes()[0].caption, "RS232 Error");
    EXPECT_EQ(driver.Boxes()[0].text, "GetBootError");
    EXPECT_EQ(driver.Boxes()[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(Form1->Feedback.BeepCount(), beeps + 1);
}

TEST(MainWindow, EscapeEndsTheProgram)
{
    Windows windows;
    windows.Create();
    // Not even a command of the window whose shortcut is Escape takes it.
    QAction command(Form1);
    command.setShortcut(Qt::Key_Escape);
    Form1->addAction(&command);
    Form1->show();
    EXPECT_TRUE(QTest::qWaitForWindowActive(Form1));
    int fired = 0;
    QObject::connect(&command, &QAction::triggered, [&fired] { ++fired; });
    QTest::keyClick(Form1, Qt::Key_A);
    EXPECT_FALSE(Form1->Terminating());
    QTest::keyClick(Form1, Qt::Key_Escape);
    EXPECT_TRUE(Form1->Terminating());
    // A transfer under way would stop at its next wait.
    EXPECT_TRUE(Form1->Session().Link().Cancelled());
    EXPECT_EQ(fired, 0);
}

TEST(MainWindow, EscapeEndsTheProgramAfterAMenuCommandChosenFromTheKeyboard)
{
    Windows windows;
    windows.Create();
    ModalDriver driver(QMessageBox::Cancel);
    Form1->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form1)) << "the main window was not shown within 5 s";
    // Typed at the window, as a keyboard does: each key goes to whatever
    // holds the keyboard, the open File menu or the menu bar itself.
    QWindow* window = Form1->windowHandle();
    QTest::keyClick(window, Qt::Key_F, Qt::AltModifier);
    ASSERT_EQ(QApplication::activePopupWidget(), Form1->File1);
    // An open menu keeps Escape to close itself.
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_FALSE(Form1->Terminating());
    QTest::keyClick(window, Qt::Key_F, Qt::AltModifier);
    QTest::keyClick(window, Qt::Key_Left); // round to Update, the last item of the bar
    QTest::keyClick(window, Qt::Key_Return);
    ASSERT_EQ(driver.Boxes().size(), 1u);
    EXPECT_EQ(driver.Boxes()[0].caption, "Update Confirmation");
    EXPECT_FALSE(Form1->Terminating());
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_TRUE(Form1->Terminating());
}

TEST(ErrorReport, AppendsAPeriodAfterCharactersThatSortAfterIt)
{
    EXPECT_EQ(ErrorReportText("File not found"), "File not found.");
    EXPECT_EQ(ErrorReportText("Message too long."), "Message too long.");
    EXPECT_EQ(ErrorReportText("RS232 Error Operation Cancelled \r\n"), "RS232 Error Operation Cancelled \r\n");
    EXPECT_EQ(ErrorReportText("I/O error 5"), "I/O error 5.");
    EXPECT_EQ(ErrorReportText("(win error code: 2)"), "(win error code: 2)");
    EXPECT_EQ(ErrorReportText(""), "");
}

TEST(ErrorReport, AnExceptionInAHandlerIsShownAndTheProgramGoesOn)
{
    Windows windows;
    windows.Create();
    ModalDriver driver;
    // A connection of a menu command, as the windows make them.
    struct Probe : QObject {
        void Fail() { throw std::runtime_error("Socket Error # 10040"); }
    } probe;
    QAction action;
    ConnectReported(&action, &QAction::triggered, &probe, &Probe::Fail);
    action.trigger();
    ASSERT_EQ(driver.Boxes().size(), 1u);
    EXPECT_EQ(driver.Boxes()[0].caption, ProgramName);
    EXPECT_EQ(driver.Boxes()[0].text, "Socket Error # 10040.");
    EXPECT_EQ(driver.Boxes()[0].icon, QMessageBox::Critical);
}

qsizetype MessageBoxesAlive()
{
    const QWidgetList widgets = QApplication::allWidgets();
    return std::count_if(widgets.begin(), widgets.end(),
                         [](const QWidget* widget) { return qobject_cast<const QMessageBox*>(widget) != nullptr; });
}

// An operator who updates hundreds of boards is asked the same question
// hundreds of times: every box is gone once answered, also those the main
// window parents.
TEST(ErrorReport, AnsweredBoxesLeaveNothingBehind)
{
    Windows windows;
    windows.Create();
    Form1->show();
    Form1->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form1)) << "the main window was not active within 5 s";
    ModalDriver driver(QMessageBox::Cancel);
    constexpr int Questions = 50;
    for (int k = 0; k < Questions; ++k)
        EXPECT_FALSE(ConfirmOkCancel("Please Confirm Update ?", "Update Confirmation"));
    ShowMessage("Could not connect", "Error", true);
    ShowWarning("Not written", "Update Warning");
    AskYesNo("Stop the update?", "Board Silent");
    ShowException(std::runtime_error("Socket Error # 10040"));
    ASSERT_EQ(driver.Boxes().size(), std::size_t{Questions + 4});
    EXPECT_EQ(driver.Boxes()[Questions - 1].text, "Please Confirm Update ?");
    EXPECT_EQ(MessageBoxesAlive(), 0);
}

TEST(Gauge, ClampsAndScales)
{
    TGauge gauge;
    gauge.SetMaxValue(1500);
    gauge.SetProgress(3072);
    EXPECT_EQ(gauge.Progress(), 1500);
    EXPECT_EQ(gauge.value(), gauge.maximum());
    const std::int64_t huge = 6LL * 1024 * 1024 * 1024;
    gauge.SetMaxValue(huge);
    gauge.SetProgress(huge / 2);
    EXPECT_NEAR(gauge.value(), gauge.maximum() / 2, 1);
    gauge.SetMaxValue(0);
    gauge.SetProgress(2048);
    EXPECT_EQ(gauge.value(), gauge.maximum());
    // A step finer than a thousandth leaves the bar as it is; the position
    // stays exact, and the bar follows once the step shows.
    gauge.SetMaxValue(1000000);
    gauge.SetProgress(500000);
    gauge.SetProgress(500400);
    EXPECT_EQ(gauge.Progress(), 500400);
    EXPECT_EQ(gauge.value(), 500000);
    gauge.SetProgress(501024);
    EXPECT_EQ(gauge.value(), 501024);
}

TEST(Gauge, TheLabelPaintsTheBarsPercentNotTheBytesSent)
{
    constexpr std::int64_t Size = 3000;
    TGauge gauge;
    gauge.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&gauge));
    gauge.SetMaxValue(Size);
    TransferProgress progress(Size);
    progress.Record(1024, 0);
    gauge.SetProgress(2048); // the bar runs one block ahead of the bytes sent
    gauge.ShowLabel(progress);
    EXPECT_TRUE(gauge.LabelShown());
    EXPECT_EQ(gauge.Label().toStdString(), "68 %   -- kB/s   -:-- left");
    // Each percent is painted as the bar reaches it, also where the filled
    // part grows by less than the bar itself would repaint for.
    constexpr int Whole = 100;
    for (int percent = 0; percent <= Whole; ++percent) {
        gauge.SetProgress(Size * percent / Whole);
        EXPECT_EQ(gauge.Label().section(' ', 0, 0).toInt(), percent);
    }
    gauge.HideLabel();
    EXPECT_FALSE(gauge.LabelShown());
}

// What a grab of the gauge shows: the colours of its filled and its empty
// part, and of its label over each.
struct GaugePicture {
    // Rows and columns this far from the edge hold the bar's colours, clear of
    // its frame and of the label.
    static constexpr int Inset = 3;
    // Columns this near the end of the filled part may blend both colours.
    static constexpr int EdgeMargin = 2;

    explicit GaugePicture(QWidget& gauge) : image(gauge.grab().toImage())
    {
        filled = image.pixelColor(Inset, Inset);
        empty = image.pixelColor(image.width() - 1 - Inset, Inset);
        int edge = Inset;
        while (edge < image.width() && image.pixelColor(edge, Inset) == filled)
            ++edge;
        inkOverFilled = Ink(Inset, edge - EdgeMargin, filled);
        inkOverEmpty = Ink(edge + EdgeMargin, image.width() - Inset, empty);
    }

    // The pixel of columns [from, to) that stands out most on `ground`;
    // `label` grows to hold every pixel that differs from it.
    QColor Ink(int from, int to, const QColor& ground)
    {
        QColor most = ground;
        for (int y = Inset; y < image.height() - Inset; ++y) {
            for (int x = from; x < to; ++x) {
                const QColor pixel = image.pixelColor(x, y);
                if (pixel == ground)
                    continue;
                label |= QRect(x, y, 1, 1);
                if (std::abs(pixel.lightness() - ground.lightness()) > std::abs(most.lightness() - ground.lightness()))
                    most = pixel;
            }
        }
        return most;
    }

    QImage image;
    QColor filled;
    QColor empty;
    QColor inkOverFilled;
    QColor inkOverEmpty;
    QRect label;
};

TEST(Gauge, TheLabelIsCentredAndStandsOutOnBothPartsOfTheBar)
{
    Windows windows;
    windows.Create();
    TGauge& gauge = *Form1->Gauge1;
    gauge.SetMaxValue(1000);
    gauge.SetProgress(500);
    gauge.ShowLabel(TransferProgress(1000));
    const GaugePicture picture(gauge);
    ASSERT_NE(picture.filled, picture.empty);
    // The glyphs' cores carry the label's colours: white over the blue bar,
    // black over the cream.
    EXPECT_EQ(picture.inkOverFilled.name().toStdString(), "#ffffff");
    EXPECT_EQ(picture.inkOverEmpty.name().toStdString(), "#000000");
    constexpr int CentreTolerance = 3;
    EXPECT_NEAR(picture.label.center().x(), gauge.width() / 2, CentreTolerance);
    EXPECT_NEAR(picture.label.center().y(), gauge.height() / 2, CentreTolerance);

    gauge.HideLabel();
    const GaugePicture bare(gauge);
    EXPECT_TRUE(bare.label.isEmpty());
}

} // namespace
