// The driver over a pseudo-terminal: opening and closing, the line settings as
// the kernel holds them, reading and writing.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>
#include <unistd.h>

#include "serial/CPort.h"
#include "serial/CPortDevice.h"
#include "tests/serial/CPortTestSupport.h"

namespace {

// A port as the updater configures it: its write time-outs off, the rest at
// the defaults.
void ConfigureAsUpdater(TComPort& port, const std::string& path)
{
    port.SetPort(path);
    port.SetBaudRate(br115200);
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(0);
}

std::string ReadAll(TComPort& port, std::int32_t count)
{
    std::string bytes(static_cast<std::size_t>(count), '\0');
    std::int32_t read = port.ReadBytes(bytes.data(), count);
    bytes.resize(static_cast<std::size_t>(read));
    return bytes;
}

void WaitForWaiting(TComPort& port, std::int32_t count)
{
    ProcessEventsUntil([&] { return port.BytesWaiting() >= count; }, "port.BytesWaiting() >= count");
}

TEST(CPortOpenTest, NameOfNoDeviceRaisesCode1AndLeavesThePortClosed)
{
    TComPort port;
    bool beforeOpen = false;
    bool afterOpen = false;
    port.OnBeforeOpen = [&](QObject*) { beforeOpen = true; };
    port.OnAfterOpen = [&](QObject*) { afterOpen = true; };
    port.SetPort("/nonexistent/ttyNone");
    std::optional<EComPort> error = CatchComError([&] { port.SetConnected(true); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->Code, ecOpen);
    EXPECT_EQ(error->OsError, ENOENT);
    EXPECT_EQ(std::string(error->what()),
              "Unable to open com port (win error code: " + std::to_string(ENOENT) + ")");
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(port.ThreadCreated());
    EXPECT_TRUE(beforeOpen);
    EXPECT_FALSE(afterOpen);
}

TEST(CPortOpenTest, FileThatIsNoTerminalIsRefused)
{
    QTemporaryDir folder;
    std::string path = folder.filePath("plain").toStdString();
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    TComPort port;
    port.SetPort(path);
    std::optional<EComPort> error = CatchComError([&] { port.Open(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->Code, ecOpen);
    EXPECT_EQ(error->OsError, ENOTTY);
    EXPECT_FALSE(port.Connected());
}

TEST(CPortOpenTest, OpeningIsExclusive)
{
    PseudoTerminal terminal;
    TComPort first;
    TComPort second;
    first.SetPort(terminal.Path());
    second.SetPort(terminal.Path());
    first.Open();
    std::optional<EComPort> error = CatchComError([&] { second.Open(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->Code, ecOpen);
    EXPECT_NE(error->OsError, EComPort::NoOsError);
    EXPECT_FALSE(second.Connected());
    first.Close();
    second.Open();
    EXPECT_TRUE(second.Connected());
}

TEST(CPortOpenTest, OpenAndCloseRunTheirNotificationsInOrder)
{
    PseudoTerminal terminal;
    std::vector<std::string> calls;
    TComPort port;
    port.SetPort(terminal.Path());
    port.OnBeforeOpen = [&](QObject* sender) { calls.push_back(sender == &port ? "before open" : "?"); };
    port.OnAfterOpen = [&](QObject*) { calls.push_back("after open"); };
    port.OnCTSChange = [&](QObject*, bool on) { calls.push_back(on ? "cts on" : "cts off"); };
    port.OnBeforeClose = [&](QObject*) { calls.push_back("before close"); };
    port.OnAfterClose = [&](QObject*) { calls.push_back("after close"); };
    port.SetConnected(true);
    port.SetConnected(true);
    EXPECT_TRUE(port.Connected());
    EXPECT_TRUE(port.ThreadRunning());
    port.SetConnected(false);
    port.SetConnected(false);
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(port.ThreadCreated());
    // A pseudo-terminal has no modem lines: none is reported at opening.
    EXPECT_EQ(calls, (std::vector<std::string>{"before open", "after open", "cts off", "before close",
                                               "after close"}));
}

TEST(CPortOpenTest, ComNamesUseTheWorkingDirectoryEntry)
{
    PseudoTerminal terminal;
    QTemporaryDir folder;
    QString previous = QDir::currentPath();
    QDir::setCurrent(folder.path());
    ASSERT_EQ(::symlink(terminal.Path().c_str(), "COM2"), 0);
    TComPort port;
    port.SetPort("COM2");
    port.Open();
    port.WriteBytes("k", 1);
    EXPECT_EQ(terminal.Receive(1), "k");
    port.Close();
    QDir::setCurrent(previous);
}

// Without an entry of the name in the working directory, COMn is the n-th
// serial device counted from zero; other names stay as they are. Only the
// mapping is looked at: the machine's own serial devices are never opened.
TEST(CPortOpenTest, ComNamesWithoutAnEntryMapToTheSerialDevices)
{
    QTemporaryDir folder;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(folder.path());
    ASSERT_EQ(::symlink("/nonexistent", "COM3"), 0);  // a dangling entry is still the entry
    EXPECT_EQ(ComDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(ComDevicePath("COM4"), "/dev/ttyS3");
    EXPECT_EQ(ComDevicePath("COM3"), "./COM3");
    for (const std::string name : {"COM0", "COM5", "COM12", "com1", "/dev/ttyUSB0"})
        EXPECT_EQ(ComDevicePath(name), name);
    QDir::setCurrent(previous);
}

TEST(CPortOpenTest, FailedSetUpClosesTheDeviceAgain)
{
    PseudoTerminal terminal;
    TComPort port;
    bool afterOpen = false;
    port.OnAfterOpen = [&](QObject*) { afterOpen = true; };
    port.SetPort(terminal.Path());
    port.SetBaudRate(br14400); // no termios rate
    std::optional<EComPort> error = CatchComError([&] { port.Open(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->Code, ecSetState);
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(port.ThreadCreated());
    EXPECT_FALSE(afterOpen);
    // The device was released: the next opening with a usable rate succeeds.
    port.SetBaudRate(br19200);
    port.Open();
    EXPECT_TRUE(port.Connected());
}

TEST(CPortErrorTest, TextsCarryTheErrorNumberExceptForCodes4And14)
{
    EXPECT_EQ(std::string(EComPort(ecWrite, EIO).what()), "WriteFile function failed (win error code: 5)");
    EXPECT_EQ(std::string(EComPort(ecAsyncParameter).what()), "Invalid Async parameter");
    EXPECT_EQ(EComPort(ecAsyncParameter).OsError, -1);
    EXPECT_EQ(EComPort::Text(ecRegistry), "Registry error");
    EXPECT_EQ(EComPort::Text(0), "");
    EXPECT_EQ(EComPort::Text(ecRegistry + 1), "");
}

TEST(CPortSettingsTest, SyncMethodOnAnOpenPortRaisesCode14AndKeepsTheValue)
{
    PseudoTerminal terminal;
    TComPort port;
    port.SetPort(terminal.Path());
    port.SetSyncMethod(smNone);
    port.SetSyncMethod(smThreadSync);
    port.Open();
    std::optional<EComPort> error = CatchComError([&] { port.SetSyncMethod(smWindowSync); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->Code, ecSetWhileConnected);
    EXPECT_EQ(error->OsError, -1);
    EXPECT_EQ(std::string(error->what()), "Cannot set property while connected");
    EXPECT_EQ(port.SyncMethod(), smThreadSync);
    port.SetSyncMethod(smThreadSync); // equal: nothing happens
}

class CPortLineStateTest : public ::testing::Test {
protected:
    void SetUp() override { ConfigureAsUpdater(port, terminal.Path()); }

    termios State() const { return terminal.State(); }
    speed_t Speed() const
    {
        termios state = State();
        return ::cfgetospeed(&state);
    }

    PseudoTerminal terminal;
    TComPort port;
};

TEST_F(CPortLineStateTest, TheLineSettingsReachTheDevice)
{
    port.SetBaudRate(br19200);
    port.SetDataBits(dbSeven);
    port.Parity().SetBits(prEven);
    port.SetStopBits(sbTwoStopBits);
    port.Open();
    // A pseudo-terminal always carries 8 data bits without parity, whatever
    // it is asked; the rest of the line state it keeps as set.
    termios state = State();
    EXPECT_EQ(::cfgetospeed(&state), static_cast<speed_t>(B19200));
    EXPECT_EQ(::cfgetispeed(&state), static_cast<speed_t>(B19200));
    EXPECT_EQ(state.c_cflag & (PARODD | CMSPAR), 0U);
    EXPECT_NE(state.c_cflag & CSTOPB, 0U);
    EXPECT_EQ(state.c_cflag & CRTSCTS, 0U);
    // Raw bytes: no line editing, echo, signals, translation or flow control.
    EXPECT_EQ(state.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0U);
    EXPECT_EQ(state.c_oflag & OPOST, 0U);
    EXPECT_EQ(state.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | INPCK), 0U);
}

TEST_F(CPortLineStateTest, AChangeOnAnOpenPortIsAppliedAtOnce)
{
    port.Open();
    EXPECT_EQ(Speed(), static_cast<speed_t>(B115200));
    port.SetBaudRate(br38400);
    EXPECT_EQ(Speed(), static_cast<speed_t>(B38400));
    port.Parity().SetBits(prMark);
    EXPECT_EQ(State().c_cflag & (PARODD | CMSPAR), static_cast<tcflag_t>(PARODD | CMSPAR));
    port.Parity().SetBits(prSpace);
    EXPECT_EQ(State().c_cflag & (PARODD | CMSPAR), static_cast<tcflag_t>(CMSPAR));
    port.Parity().SetCheck(true);
    EXPECT_NE(State().c_iflag & INPCK, 0U);
    // Taken without complaint, though the pseudo-terminal keeps 8 bits.
    port.SetDataBits(dbFive);
    EXPECT_EQ(port.DataBits(), dbFive);
}

TEST_F(CPortLineStateTest, AnEqualAssignmentTouchesNothing)
{
    port.Open();
    // Changed behind the driver's back: an equal assignment must not restore it.
    termios changed = State();
    ::cfsetospeed(&changed, B300);
    ::cfsetispeed(&changed, B300);
    terminal.SetState(changed);
    port.SetBaudRate(br115200);
    port.Parity().SetBits(prNone);
    port.FlowControl().SetControlDTR(dtrDisable);
    port.Timeouts().SetReadInterval(-1);
    port.Buffer().SetInputSize(1024);
    port.SetConnected(true);
    EXPECT_EQ(Speed(), static_cast<speed_t>(B300));
    // A different value rebuilds the whole line state.
    port.SetStopBits(sbTwoStopBits);
    EXPECT_EQ(Speed(), static_cast<speed_t>(B115200));
}

TEST_F(CPortLineStateTest, AChangeOnAClosedPortWaitsForTheNextOpening)
{
    port.Open();
    port.Close();
    port.SetBaudRate(br2400);
    EXPECT_EQ(Speed(), static_cast<speed_t>(B115200));
    port.Open();
    EXPECT_EQ(Speed(), static_cast<speed_t>(B2400));
}

TEST_F(CPortLineStateTest, ARefusedChangeKeepsTheDevicesStateAndThePortOpen)
{
    port.Open();
    for (auto change : std::vector<std::function<void()>>{
             [&] { port.SetBaudRate(br56000); },
             [&] { port.SetStopBits(sbOne5StopBits); },
             [&] { port.FlowControl().SetControlRTS(rtsToggle); },
             [&] { port.SetBaudRate(brCustom); },
         }) {
        std::optional<EComPort> error = CatchComError([&] { change(); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->Code, ecSetState);
        EXPECT_EQ(error->OsError, EINVAL);
    }
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(Speed(), static_cast<speed_t>(B115200));
    // A custom rate that termios has is taken.
    port.BeginUpdate();
    port.SetStopBits(sbOneStopBit);
    port.FlowControl().SetControlRTS(rtsDisable);
    port.SetCustomBaudRate(230400);
    port.EndUpdate();
    EXPECT_EQ(Speed(), static_cast<speed_t>(B230400));
}

TEST_F(CPortLineStateTest, SummaryFlowControlSetsTheHandshakes)
{
    TComFlowControl& flow = port.FlowControl();
    EXPECT_EQ(flow.FlowControl(), fcNone);
    port.Open();
    flow.SetFlowControl(fcHardware);
    EXPECT_EQ(flow.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(flow.OutCTSFlow());
    EXPECT_EQ(flow.FlowControl(), fcHardware);
    EXPECT_NE(State().c_cflag & CRTSCTS, 0U);

    flow.SetFlowControl(fcSoftware);
    EXPECT_EQ(flow.FlowControl(), fcSoftware);
    EXPECT_EQ(State().c_cflag & CRTSCTS, 0U);
    termios state = State();
    EXPECT_EQ(state.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(state.c_cc[VSTART], 0x11);
    EXPECT_EQ(state.c_cc[VSTOP], 0x13);

    flow.SetXonXoffIn(false);
    EXPECT_EQ(flow.FlowControl(), fcCustom);
    flow.SetFlowControl(fcCustom);
    EXPECT_EQ(flow.FlowControl(), fcCustom);
    flow.SetFlowControl(fcNone);
    EXPECT_EQ(flow.FlowControl(), fcNone);
    EXPECT_EQ(State().c_iflag & (IXON | IXOFF), 0U);
}

TEST_F(CPortLineStateTest, QueueSizesAreEvenAndSetTheXonXoffThresholds)
{
    port.Buffer().SetInputSize(1025);
    EXPECT_EQ(port.Buffer().InputSize(), 1024);
    EXPECT_EQ(port.XonXoffLimit(), 256);
    port.Buffer().SetOutputSize(4097);
    EXPECT_EQ(port.Buffer().OutputSize(), 4096);
    port.Open();
    std::optional<EComPort> error = CatchComError([&] { port.Buffer().SetInputSize(0); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->Code, ecSetup);
    EXPECT_TRUE(port.Connected());
}

TEST_F(CPortLineStateTest, NegativeTimeoutsAreRefused)
{
    port.Open();
    std::optional<EComPort> error = CatchComError([&] { port.Timeouts().SetWriteTotalConstant(-5); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->Code, ecSetTimeouts);
    EXPECT_EQ(std::string(error->what()), "SetCommTimeouts failed (win error code: " + std::to_string(EINVAL) + ")");
    EXPECT_TRUE(port.Connected());
}

TEST_F(CPortLineStateTest, NothingIsAppliedDuringASettingsUpdate)
{
    port.Open();
    port.BeginUpdate();
    port.SetBaudRate(br4800);
    port.SetStopBits(sbTwoStopBits);
    EXPECT_EQ(Speed(), static_cast<speed_t>(B115200));
    port.EndUpdate();
    EXPECT_EQ(Speed(), static_cast<speed_t>(B4800));
    EXPECT_NE(State().c_cflag & CSTOPB, 0U);
}

TEST_F(CPortLineStateTest, AWholeGroupIsCopied)
{
    TComPort other;
    other.Parity().SetBits(prOdd);
    other.Parity().SetReplaceChar(7);
    port.Open();
    port.Parity().Assign(other.Parity());
    EXPECT_EQ(port.Parity().Bits(), prOdd);
    EXPECT_EQ(port.Parity().ReplaceChar(), 7);
    EXPECT_NE(State().c_cflag & PARODD, 0U);
}

TEST(CPortIoTest, WrittenBytesArriveInOrder)
{
    PseudoTerminal terminal;
    TComPort port;
    ConfigureAsUpdater(port, terminal.Path());
    port.Open();
    const std::string frame = "\xA5\x01\x00\x0A\x0D\xFF\x11\x13";
    for (char byte : frame)
        ASSERT_EQ(port.WriteBytes(&byte, 1), 1);
    std::string block(3000, '\0');
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 7);
    ASSERT_EQ(port.WriteBytes(block.data(), static_cast<std::int32_t>(block.size())), 3000);
    // Raw: no byte is translated or swallowed on the way.
    EXPECT_EQ(terminal.Receive(frame.size() + block.size()), frame + block);
}

TEST(CPortIoTest, ReadReturnsAtOnceWithWhatIsWaitingAndNeverMore)
{
    PseudoTerminal terminal;
    TComPort port;
    ConfigureAsUpdater(port, terminal.Path());
    port.SetEvents({});
    port.Open();
    EXPECT_FALSE(port.ThreadCreated());
    char buffer[8] = {};
    EXPECT_EQ(port.ReadBytes(buffer, 8), 0);
    terminal.Send("12345");
    WaitForWaiting(port, 5);
    EXPECT_EQ(ReadAll(port, 3), "123");
    EXPECT_EQ(port.BytesWaiting(), 2);
    EXPECT_EQ(ReadAll(port, 8), "45");
    EXPECT_EQ(port.ReadBytes(buffer, 0), 0);
}

TEST(CPortIoTest, ReadWaitsForTheCountUnderATotalTimeout)
{
    PseudoTerminal terminal;
    TComPort port;
    ConfigureAsUpdater(port, terminal.Path());
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalConstant(static_cast<std::int32_t>(std::chrono::milliseconds(WaitBound).count()));
    port.Open();
    std::thread sender([&] { terminal.Send("abcd"); });
    EXPECT_EQ(ReadAll(port, 4), "abcd");
    sender.join();
}

TEST(CPortIoTest, BadArgumentsAndAClosedPortRaiseClearErrors)
{
    PseudoTerminal terminal;
    TComPort port;
    ConfigureAsUpdater(port, terminal.Path());
    char byte = 0;
    auto expectCode = [](auto operation, std::int32_t code, int osError) {
        std::optional<EComPort> error = CatchComError([&] { operation(); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->Code, code);
        EXPECT_EQ(error->OsError, osError);
    };
    expectCode([&] { port.WriteBytes(&byte, 1); }, ecWrite, EBADF);
    expectCode([&] { port.ReadBytes(&byte, 1); }, ecRead, EBADF);
    expectCode([&] { port.BytesWaiting(); }, ecClearError, EBADF);
    port.Open();
    expectCode([&] { port.WriteBytes(&byte, -1); }, ecWrite, EINVAL);
    expectCode([&] { port.ReadBytes(nullptr, 1); }, ecRead, EINVAL);
    terminal.HangUp();
    expectCode([&] { port.WriteBytes(&byte, 1); }, ecWrite, EIO);
}

TEST(CPortIoTest, AWriteToAPeerThatStopsReadingEndsAtItsTimeout)
{
    // Far more than any terminal queue holds.
    constexpr std::int32_t Chunk = 4096;
    constexpr int MostChunks = 4096;
    constexpr std::int32_t ShortTimeoutMs = 50;
    PseudoTerminal terminal;
    TComPort port;
    ConfigureAsUpdater(port, terminal.Path());
    port.Timeouts().SetWriteTotalConstant(ShortTimeoutMs);
    port.Open();
    const std::string chunk(Chunk, 'f');
    int chunks = 0;
    std::int32_t written = Chunk;
    while (written == Chunk && chunks < MostChunks) {
        written = port.WriteBytes(chunk.data(), Chunk);
        ++chunks;
    }
    ASSERT_LT(written, Chunk) << "the unread side of the line never filled";
    // Full: a one-byte write, as the updater makes them, gives up with 0.
    const char byte = 'g';
    EXPECT_EQ(port.WriteBytes(&byte, 1), 0);
    EXPECT_TRUE(port.Connected());
}

TEST(CPortIoTest, AReadThatWaitsEndsWhenTheDeviceHangsUp)
{
    PseudoTerminal terminal;
    TComPort port;
    ConfigureAsUpdater(port, terminal.Path());
    // No time-out at all: the read waits for its count.
    port.Timeouts().SetReadInterval(0);
    port.Open();
    terminal.HangUp();
    char buffer[4] = {};
    std::optional<EComPort> error = CatchComError([&] { port.ReadBytes(buffer, 4); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->Code, ecRead);
    EXPECT_TRUE(port.Connected());
    port.Close();
}

} // namespace
