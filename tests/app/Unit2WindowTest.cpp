// The serial settings window under the offscreen platform, with pseudo-terminals
// behind the COM links of the working folder: start-up from ZEVEVI.CFG,
// Connect, Save, the status texts, and answers arriving on the port.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <vector>

#include "app/Feedback.h"
#include "app/Unit1.h"
#include "protocol/ReceiveState.h"
#include "app/Unit2.h"
#include "tests/serial/CPortTestSupport.h"
#include "tests/serial/Unit2TestSupport.h"
#include "tests/support/ModalDriver.h"
#include "tests/support/Windows.h"
#include "transfer/report/PortHints.h"

namespace {

void LinkPort(const Windows& windows, const char* name, const std::string& target)
{
    ASSERT_EQ(::symlink(target.c_str(), windows.PathOf(name).c_str()), 0) << name;
}

const std::string SettingsFile = "ZEVEVI.CFG";

// Creates the windows in a folder where `name` links to the pseudo-terminal
// and ZEVEVI.CFG holds `settings`.
void StartWith(Windows& windows, const PseudoTerminal& terminal, const char* name, const Bytes& settings)
{
    LinkPort(windows, name, terminal.Path());
    PutFile(windows.PathOf(SettingsFile), settings);
    windows.Create();
}

// Lets the GUI thread's event loop run until it is about to block, which is
// when the application is idle.
void RunIdle()
{
    QEventLoop loop;
    QTimer::singleShot(1, &loop, &QEventLoop::quit);
    loop.exec();
}

std::vector<int> SelectedPositions()
{
    return {Form2->Combo1->currentIndex(), Form2->Combo2->currentIndex(), Form2->Combo3->currentIndex(),
            Form2->Combo4->currentIndex(), Form2->Combo5->currentIndex()};
}

const std::vector<int> DefaultPositions = {0, 6, 3, 0, 0};

std::string AnswerText(Byte group, Byte operation, const Bytes& resultAndData)
{
    const Bytes frame = AnswerFrame(group, operation, resultAndData);
    return std::string(frame.begin(), frame.end());
}

TEST(SerialWindow, WithoutSettingsFileShowsDefaultsAndTellsNothingUntilAConnect)
{
    Windows windows;
    windows.Create();
    EXPECT_EQ(SelectedPositions(), DefaultPositions);
    EXPECT_EQ(Form2->Combo1->currentText(), "COM1 :");
    EXPECT_EQ(Form2->Combo2->currentText(), "115200");
    EXPECT_EQ(Form2->Combo3->currentText(), "8");
    EXPECT_EQ(Form2->Combo4->currentText(), "None");
    EXPECT_EQ(Form2->Combo5->currentText(), "1");
    EXPECT_FALSE(Form2->ComPort1->Connected());
    RunIdle();
    EXPECT_EQ(Form2->Panel1->text(), "Not connected");
    EXPECT_EQ(Form2->Panel2->text(), "");
    // Nothing was tried, so the main window has nothing to tell.
    EXPECT_EQ(Form1->Panel2->text(), "");
    EXPECT_FALSE(Form2->isVisible());

    // A Connect that fails is told, though the panels already show the port closed.
    PutFile(windows.PathOf("plain-file"), {});
    LinkPort(windows, "COM1", windows.PathOf("plain-file"));
    EXPECT_THROW(Form2->Button2Click(), EComPort);
    RunIdle();
    EXPECT_EQ(Form1->Panel2->text(), "Not connected");
}

TEST(SerialWindow, ControlsAndTabOrder)
{
    Windows windows;
    windows.Create();
    EXPECT_EQ(Form2->windowTitle(), "");
    EXPECT_EQ(Form2->Label5->text(), "Port Name");
    EXPECT_EQ(Form2->Label9->text(), "Stop Bits");
    EXPECT_EQ(Form2->Button2->text(), "Connect");
    EXPECT_EQ(Form2->Button1->text(), "Close");
    EXPECT_EQ(Form2->Button3->text(), "Save Configuration");

    // The window's focus chain visits the controls in this order.
    const std::vector<QWidget*> expected = {Form2->Combo1, Form2->Combo2, Form2->Combo3, Form2->Combo4,
                                            Form2->Combo5, Form2->Button2, Form2->Button1, Form2->Button3};
    std::vector<QWidget*> order;
    QWidget* widget = Form2->Combo1;
    do {
        if (std::find(expected.begin(), expected.end(), widget) != expected.end())
            order.push_back(widget);
        widget = widget->nextInFocusChain();
    } while (widget != Form2->Combo1);
    EXPECT_EQ(order, expected);
}

TEST(SerialWindow, SerialRecordOpensThePortAtStartUp)
{
    PseudoTerminal terminal;
    Windows windows;
    StartWith(windows, terminal, "COM2", {0x00, 0x01, 0x06, 0x03, 0x00, 0x00});

    EXPECT_EQ(SelectedPositions(), (std::vector<int>{1, 6, 3, 0, 0}));
    ASSERT_TRUE(Form2->ComPort1->Connected());
    EXPECT_EQ(Form2->ComPort1->Port(), "COM2");
    const termios line = terminal.State();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB), 0u);

    RunIdle();
    EXPECT_EQ(Form2->Panel1->text(), "Connected to \\\\COM2");
    EXPECT_EQ(Form2->Panel2->text(), "115200,8,N,1");
    EXPECT_EQ(Form1->Panel2->text(), "Connected to \\\\COM2  115200,8,N,1");

    // Close hides the window and leaves the port and the texts as they are.
    Form2->show();
    Form2->Button1->click();
    EXPECT_FALSE(Form2->isVisible());
    RunIdle();
    EXPECT_TRUE(Form2->ComPort1->Connected());
    EXPECT_EQ(Form1->Panel2->text(), "Connected to \\\\COM2  115200,8,N,1");
}

TEST(SerialWindow, OtherRecordsConnectNothing)
{
    for (const Bytes& content : {Bytes{0x01, 0x0A, 0x00, 0x00, 0x07}, Bytes{0x02, 0x01, 0x06, 0x03, 0x00, 0x00}}) {
        PseudoTerminal terminal;
        Windows windows;
        ModalDriver boxes;
        StartWith(windows, terminal, "COM1", content);
        EXPECT_EQ(SelectedPositions(), DefaultPositions);
        EXPECT_FALSE(Form2->ComPort1->Connected());
        EXPECT_TRUE(boxes.Boxes().empty());
    }
}

TEST(SerialWindow, SaveWritesTheSelectedPositions)
{
    Windows windows;
    PutFile(windows.PathOf(SettingsFile), {0x01, 0x0A, 0x00, 0x00, 0x07});
    windows.Create();
    Form2->Button3->click();
    EXPECT_EQ(FileContent(windows.PathOf(SettingsFile)), Bytes({0x00, 0x00, 0x06, 0x03, 0x00, 0x00}));

    // Free text in the baud-rate box selects no item, stored as 255.
    Form2->show();
    Form2->Combo2->lineEdit()->selectAll();
    QTest::keyClicks(Form2->Combo2->lineEdit(), "12345");
    EXPECT_EQ(Form2->Combo2->currentIndex(), -1);
    EXPECT_EQ(Form2->Combo2->currentText(), "12345");
    Form2->Combo4->setCurrentIndex(2);
    Form2->Button3->click();
    EXPECT_EQ(FileContent(windows.PathOf(SettingsFile)), Bytes({0x00, 0x00, 0xFF, 0x03, 0x02, 0x00}));

    // Typing an item's text selects it again.
    Form2->Combo2->lineEdit()->selectAll();
    QTest::keyClicks(Form2->Combo2->lineEdit(), "9600");
    EXPECT_EQ(Form2->Combo2->currentIndex(), 2);
}

TEST(SerialWindow, RecordWithoutBaudRateKeepsThePortsRate)
{
    PseudoTerminal terminal;
    Windows windows;
    StartWith(windows, terminal, "COM1", {0x00, 0x00, 0xFF, 0x03, 0x00, 0x00});
    EXPECT_EQ(Form2->Combo2->currentIndex(), -1);
    ASSERT_TRUE(Form2->ComPort1->Connected());
    EXPECT_EQ(Form2->ComPort1->BaudRate(), br115200);
    const termios line = terminal.State();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
}

TEST(SerialWindow, ConnectAppliesTheSelections)
{
    PseudoTerminal com1;
    PseudoTerminal com3;
    Windows windows;
    LinkPort(windows, "COM1", com1.Path());
    StartWith(windows, com3, "COM3", {0x00, 0x00, 0x06, 0x03, 0x00, 0x00});
    ASSERT_TRUE(Form2->ComPort1->Connected());

    // Same port: only the line settings change. (A pseudo-terminal may refuse
    // parity and character sizes, so those stay.)
    Form2->Combo2->setCurrentIndex(2);
    Form2->Combo5->setCurrentIndex(2);
    Form2->Button2->click();
    EXPECT_EQ(Form2->ComPort1->Port(), "COM1");
    termios line = com1.State();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B9600));
    EXPECT_EQ(line.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    RunIdle();
    EXPECT_EQ(Form2->Panel2->text(), "9600,8,N,2");

    // Another port: COM1 is closed, COM3 opened.
    Form2->Combo1->setCurrentIndex(2);
    Form2->Button2->click();
    ASSERT_TRUE(Form2->ComPort1->Connected());
    EXPECT_EQ(Form2->ComPort1->Port(), "COM3");
    line = com3.State();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B9600));
    TComPort released;
    released.SetPort(windows.PathOf("COM1"));
    EXPECT_NO_THROW(released.SetConnected(true)) << "COM1 is still held";
    RunIdle();
    EXPECT_EQ(Form2->Panel1->text(), "Connected to \\\\COM3");
}

TEST(SerialWindow, SettingsFileErrorsAtStartUp)
{
    {
        SCOPED_TRACE("an empty file");
        PseudoTerminal terminal;
        Windows windows;
        ModalDriver boxes;
        StartWith(windows, terminal, "COM1", {});
        // The network window reads the same kind byte and reports it too.
        ASSERT_FALSE(boxes.Boxes().empty());
        for (const SeenBox& box : boxes.Boxes()) {
            EXPECT_EQ(box.caption, ProgramName);
            EXPECT_EQ(box.text, "Read beyond end of file.");
            EXPECT_EQ(box.icon, QMessageBox::Critical);
        }
        EXPECT_EQ(SelectedPositions(), DefaultPositions);
        EXPECT_FALSE(Form2->ComPort1->Connected());
        RunIdle();
        EXPECT_EQ(Form2->Panel1->text(), "Not connected");
    }
    {
        SCOPED_TRACE("a short serial record keeps the positions read before its end");
        PseudoTerminal terminal;
        Windows windows;
        ModalDriver boxes;
        StartWith(windows, terminal, "COM2", {0x00, 0x01, 0x02});
        ASSERT_EQ(boxes.Boxes().size(), 1u);
        EXPECT_EQ(boxes.Boxes()[0].text, "Read beyond end of file.");
        EXPECT_EQ(SelectedPositions(), (std::vector<int>{1, 2, 3, 0, 0}));
        EXPECT_FALSE(Form2->ComPort1->Connected());
    }
}

// The box gives the driver's text, then the advice for its error.
TEST(SerialWindow, PortThatCannotBeOpenedIsReportedWithAHint)
{
    struct Case {
        const char* target; // what COM2 links to, in the working folder
        int osError;
    };
    // A name that leads nowhere (an adapter that is gone), and a file that is
    // no terminal.
    for (const Case& failure : {Case{"missing-device", ENOENT}, Case{"plain-file", ENOTTY}}) {
        SCOPED_TRACE(failure.target);
        Windows windows;
        PutFile(windows.PathOf("plain-file"), {});
        LinkPort(windows, "COM2", windows.PathOf(failure.target));
        PutFile(windows.PathOf(SettingsFile), {0x00, 0x01, 0x06, 0x03, 0x00, 0x00});
        ModalDriver boxes;
        windows.Create();
        ASSERT_EQ(boxes.Boxes().size(), 1u);
        const QString hint = PortHint(ecOpen, failure.osError);
        ASSERT_FALSE(hint.isEmpty());
        EXPECT_EQ(boxes.Boxes()[0].caption, ProgramName);
        EXPECT_EQ(boxes.Boxes()[0].text.toStdString(),
                  "Unable to open com port (win error code: " + std::to_string(failure.osError) + ")\n" +
                      hint.toStdString());
        EXPECT_FALSE(Form2->ComPort1->Connected());
        RunIdle();
        EXPECT_EQ(Form2->Panel1->text(), "Not connected");
        EXPECT_EQ(Form1->Panel2->text(), "Not connected");
    }
}

// Every status panel of the serial link says it is down.
void ExpectNotConnected()
{
    RunIdle();
    EXPECT_EQ(Form2->Panel1->text(), "Not connected");
    EXPECT_EQ(Form2->Panel2->text(), "");
    EXPECT_EQ(Form1->Panel2->text(), "Not connected");
}

const std::string ConnectedStatus = "Connected to \\\\COM1  115200,8,N,1";

// The windows with COM1 open on `terminal`, its status shown.
void StartConnected(Windows& windows, const PseudoTerminal& terminal)
{
    StartWith(windows, terminal, "COM1", {0x00, 0x00, 0x06, 0x03, 0x00, 0x00});
    ASSERT_TRUE(Form2->ComPort1->Connected());
    RunIdle();
    ASSERT_EQ(Form1->Panel2->text().toStdString(), ConnectedStatus);
}

TEST(SerialWindow, TheStatusSaysNotConnectedWhenTheLinkGoesDown)
{
    {
        PseudoTerminal terminal;
        Windows windows;
        StartConnected(windows, terminal);
        Form2->ComPort1->Close();
        ExpectNotConnected();
    }
    {
        // A Connect that fails: its box, then the status.
        PseudoTerminal terminal;
        Windows windows;
        StartConnected(windows, terminal);
        PutFile(windows.PathOf("plain-file"), {});
        LinkPort(windows, "COM2", windows.PathOf("plain-file"));
        Form2->Combo1->setCurrentIndex(1);
        EXPECT_THROW(Form2->Button2Click(), EComPort);
        EXPECT_FALSE(Form2->ComPort1->Connected());
        ExpectNotConnected();
    }
    {
        // The board's end of the line goes away: the port stays open, deaf.
        PseudoTerminal terminal;
        Windows windows;
        StartConnected(windows, terminal);
        terminal.HangUp();
        ProcessEventsUntil([] { return !Form2->ComPort1->ThreadRunning(); }, "the event thread's end at the hang-up");
        EXPECT_TRUE(Form2->ComPort1->Connected());
        ExpectNotConnected();
    }
}

TEST(SerialWindow, AFailingReceiveHandlerIsReportedOnceAndTheStatusSaysNotConnected)
{
    PseudoTerminal terminal;
    Windows windows;
    StartConnected(windows, terminal);
    ModalDriver boxes;
    Form2->ComPort1->OnRxChar = [](QObject*, int) { throw EComPort(ecRead, EIO); };
    terminal.Send("x");
    ProcessEventsUntil([&] { return !boxes.Boxes().empty(); }, "the error report of the failed receive handler");
    ExpectNotConnected();
    terminal.Send("y");
    RunIdle();
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_TRUE(boxes.Boxes()[0].text.startsWith("ReadFile function failed (win error code: "));
    EXPECT_EQ(boxes.Boxes()[0].icon, QMessageBox::Critical);
}

TEST(SerialWindow, AnswersOnThePortReachTheDecoding)
{
    PseudoTerminal terminal;
    Windows windows;
    StartWith(windows, terminal, "COM1", {0x00, 0x00, 0x06, 0x03, 0x00, 0x00});
    ASSERT_TRUE(Form2->ComPort1->Connected());
    TSession& session = Form1->Session();

    // GetBootError, split over two writes.
    const std::string bootError = AnswerText(0x13, 0x01, {0x00, 0x07});
    terminal.Send(bootError.substr(0, 3));
    terminal.Send(bootError.substr(3));
    ProcessEventsUntil([&] { return session.Received().AnswerReceived == 1; }, "AnswerReceived == 1");
    EXPECT_EQ(session.Received().RxCount, 0);
    EXPECT_EQ(session.Received().RxStart, 0);

    terminal.Send(AnswerText(0x11, 0x1B, {0x00, 0x05, 0x00, 0x00, 0x00}));
    ProcessEventsUntil([&] { return session.Received().DataFileHandle == 5; }, "DataFileHandle == 5");

    terminal.Send(AnswerText(0x13, 0x2B, {0x00, 0x01, 0x2C, 0x01}));
    ProcessEventsUntil([&] { return Form1->Panel1->text() == "Burn Line :300"; }, "Panel1 == Burn Line :300");

    // The alarm frame beeps twice at each receive event.
    const int beeps = Form1->Feedback.BeepCount();
    terminal.Send(AnswerText(0xFF, 0x00, {0x00}));
    ProcessEventsUntil([&] { return Form1->Feedback.BeepCount() == beeps + 2; }, "Form1->Feedback.BeepCount() == beeps + 2");
}

TEST(SerialWindow, NetworkPathAndLineEventHandlers)
{
    Windows windows;
    windows.Create();
    // The network decoding of a Create Flash File datagram stored at RxStart.
    TAnswerReceiver received;
    const std::string datagram = AnswerText(0x13, 0x7B, {0x00, 0x2A, 0x00, 0x00, 0x00});
    std::copy(datagram.begin(), datagram.end(), received.RxBuffer.begin());
    received.RxStart = 1;
    received.RxCount = static_cast<std::int32_t>(datagram.size());
    EXPECT_EQ(received.LongToStr(received.RxStart + 7), "42");
    EXPECT_EQ(received.ShortToStr(received.RxStart + 2), "7");
    received.DecodeNetworkAnswer();
    EXPECT_EQ(received.FlashFileHandle, 42);
    EXPECT_EQ(received.AnswerReceived, 1);
    EXPECT_EQ(received.RxCount, 0);

    const int beeps = Form1->Feedback.BeepCount();
    Form2->ComPort1Error(Form2->ComPort1, TComErrors{erFrame});
    EXPECT_EQ(Form1->Feedback.BeepCount(), beeps + 2);
    Form2->ComPort1Rx80Full(Form2->ComPort1);
    EXPECT_EQ(Form1->Feedback.BeepCount(), beeps + 5);
}

// A line whose far end stops reading: every write waits until the line takes
// its byte, and the line never does once its buffer is full.
TEST(SerialWindow, APeerThatStopsReadingCancelsTheUpdateWithOneReport)
{
    PseudoTerminal terminal;  // its side is never read
    Windows windows;
    ModalDriver boxes;
    StartWith(windows, terminal, "COM1", {0x00, 0x00, 0x06, 0x03, 0x00, 0x00});
    ASSERT_TRUE(Form2->ComPort1->Connected());
    constexpr int ShortWatchdogMs = 300;
    Form1->WatchdogMs = ShortWatchdogMs;
    constexpr std::size_t ImageSize = 1024 * 1024;  // far more than a terminal's buffer holds
    Form1->FirmwareFileName = windows.PathOf("big.hex");
    PutFile(Form1->FirmwareFileName, Bytes(ImageSize, 0x11));
    Form1->UpdateKind = KindFirmware;

    Form1->Update1Click();

    EXPECT_EQ(Form1->Panel1->text(), "Update Stopped");
    std::vector<SeenBox> reports;
    std::copy_if(boxes.Boxes().begin(), boxes.Boxes().end(), std::back_inserter(reports),
                 [](const SeenBox& box) { return box.caption == "Error"; });
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].text, "RS232 Error Operation Cancelled \r\n");
    EXPECT_EQ(reports[0].icon, QMessageBox::Critical);
    EXPECT_FALSE(Form1->TransferRunning());
    EXPECT_TRUE(Form1->Update1->isEnabled());
    EXPECT_LT(Form1->Session().Tally().bytesSent, static_cast<std::int64_t>(ImageSize));

    // The line is still full. With no bound left on the port's writes, the
    // next update's very first write, SetBurnBlock's, is bounded as well.
    Form2->ComPort1->Timeouts().SetWriteTotalMultiplier(0);
    Form2->ComPort1->Timeouts().SetWriteTotalConstant(0);
    boxes.Clear();
    PutFile(Form1->FirmwareFileName, Bytes(100, 0x11));
    Form1->Update1Click();
    EXPECT_EQ(Form1->Panel1->text(), "Update Stopped");
    ASSERT_FALSE(boxes.Boxes().empty());
    EXPECT_EQ(boxes.Boxes().back().text, "RS232 Error Operation Cancelled \r\n");
    EXPECT_EQ(Form1->Session().Tally().blocksSent, 0);
}

} // namespace
