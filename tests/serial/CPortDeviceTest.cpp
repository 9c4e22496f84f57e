// The driver over a device with modem lines, error counters and serial flags
// (a pseudo-terminal behind the preloaded device shim): what the idle event
// thread asks of the device, low-latency mode, settings the device did not
// take, the line-error counters shared by both threads, the drain of a
// finished link before its port closes, and a line that stops taking bytes.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "serial/CPort.h"
#include "tests/serial/CPortTestSupport.h"
#include "tests/serial/DeviceShim.h"
#include "transfer/board/BoardTry.h"
#include "transfer/engine/Session.h"
#include "transfer/engine/Link.h"

namespace {

// The shim must take the system's place before any library resolves ioctl:
// the test runs itself again with it preloaded (and tells AddressSanitizer
// that its runtime need not come first). Should that fail, the fixture says so.
bool RunAgainWithTheShim()
{
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload != nullptr && std::string(preload).find(DEVICE_SHIM_PATH) != std::string::npos)
        return true;
    std::ifstream commandLine("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> arguments;
    for (std::string argument; std::getline(commandLine, argument, '\0');)
        arguments.push_back(argument);
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::setenv("LD_PRELOAD", DEVICE_SHIM_PATH, 1);
    const char* asanOptions = std::getenv("ASAN_OPTIONS");
    const std::string linkOrderUnchecked = "verify_asan_link_order=0";
    ::setenv("ASAN_OPTIONS",
             asanOptions == nullptr ? linkOrderUnchecked.c_str()
                                    : (std::string(asanOptions) + ":" + linkOrderUnchecked).c_str(),
             1);
    ::execv("/proc/self/exe", argv.data());
    return false;
}

const bool Preloaded = RunAgainWithTheShim();

// Longer than several polls of the device by a port that watches it.
constexpr auto IdlePeriod = std::chrono::milliseconds(1500);

class CPortDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ShimServe(terminal.Path().c_str());
        port.SetPort(terminal.Path());
        port.OnRxChar = [this](QObject*, int) { ++received; };
        // The shim answers for the pseudo-terminal, or nothing here means anything.
        ASSERT_TRUE(Preloaded) << "the device shim is not preloaded";
        int lines = 0;
        ShimSetModemLines(TIOCM_DSR);
        const int handle = ::open(terminal.Path().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_NE(handle, -1);
        ASSERT_EQ(::ioctl(handle, TIOCMGET, &lines), 0) << "the device shim is not preloaded";
        ::close(handle);
        ASSERT_EQ(lines, TIOCM_DSR);
        ShimServe(terminal.Path().c_str());
    }
    void TearDown() override { ShimServe(nullptr); }

    PseudoTerminal terminal;
    // What the handlers saw; they outlive the port, which calls handlers while
    // it closes.
    std::atomic<int> received{0};
    std::atomic<int> errorCalls{0};
    std::vector<bool> cts;
    std::vector<TComErrors> errors;
    TComPort port;
};

TEST_F(CPortDeviceTest, AnIdlePortWithoutStatusHandlersLeavesTheDeviceAlone)
{
    port.Open();
    const ShimCallCounts opened = ShimCalls();
    std::this_thread::sleep_for(IdlePeriod);
    const ShimCallCounts idle = ShimCalls();
    EXPECT_EQ(idle.modemLineReads, opened.modemLineReads);
    EXPECT_EQ(idle.modemLineWaits, opened.modemLineWaits);
    EXPECT_EQ(idle.counterReads, opened.counterReads);
    // It still hears what arrives.
    terminal.Send("a");
    ProcessEventsUntil([&] { return received.load() == 1; }, "the evRxChar of one byte");
    port.Close();

    // With a handler of line errors and one of a modem line the device is looked at.
    port.OnError = [this](QObject*, TComErrors) { ++errorCalls; };
    port.OnCTSChange = [](QObject*, bool) {};
    port.Open();
    const ShimCallCounts watched = ShimCalls();
    ProcessEventsUntil(
        [&] {
            const ShimCallCounts now = ShimCalls();
            return now.counterReads > watched.counterReads + 1 && now.modemLineReads > watched.modemLineReads + 1;
        },
        "repeated reads of the error counters and the modem lines");
    EXPECT_EQ(errorCalls.load(), 0);
}

// Each opening's close waits for that opening's event thread. The second
// opening's thread has taken a byte's event and is held in its look at the
// error counters as the close begins; it is let go once the close waits:
// the close hands the byte over, lets the thread end, and returns.
TEST_F(CPortDeviceTest, AReopenedPortClosesWhileItsThreadHasBytesToHandOver)
{
    port.OnError = [](QObject*, TComErrors) {};
    port.Open();
    port.Close();
    port.Open();
    ShimHoldCounterReads(true);
    terminal.Send("b");
    ASSERT_TRUE(WaitWithoutEvents([] { return ShimCounterReadsWaiting() > 0; }, "a held look at the counters"));
    std::thread release;
    port.OnBeforeClose = [&release](QObject*) {
        release = std::thread([] {
            // Long enough for the close to be waiting for the thread.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ShimHoldCounterReads(false);
        });
    };
    port.Close();
    release.join();
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(received.load(), 1);
}

TEST_F(CPortDeviceTest, ModemLinesAndLineErrorsReachTheirHandlers)
{
    port.OnCTSChange = [this](QObject*, bool on) { cts.push_back(on); };
    port.OnError = [this](QObject*, TComErrors reported) { errors.push_back(reported); };
    ShimSetModemLines(TIOCM_CTS);
    port.Open();
    EXPECT_EQ(cts, std::vector<bool>{true}); // the lines as the opening found them
    ShimSetModemLines(0);
    ProcessEventsUntil([&] { return cts.size() == 2; }, "the OnCTSChange of CTS going off");
    EXPECT_FALSE(cts.back());
    ShimSetFramingErrorsGrow(true);
    ProcessEventsUntil([&] { return !errors.empty(); }, "the OnError of a framing error");
    EXPECT_TRUE(errors.front().Contains(erFrame));
}

TEST_F(CPortDeviceTest, LowLatencyIsAskedForAtTheOpeningAndUndoneAtTheClose)
{
    ShimSetSerialFlags(ASYNC_SKIP_TEST);
    port.Open();
    EXPECT_EQ(ShimSerialFlags(), ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY);
    port.Close();
    EXPECT_EQ(ShimSerialFlags(), ASYNC_SKIP_TEST);
    EXPECT_EQ(ShimCalls().serialFlagSets, 2);

    // A pseudo-terminal keeps no serial flags: the port opens without.
    ShimServe(nullptr);
    EXPECT_NO_THROW(port.Open());
    EXPECT_TRUE(port.Connected());
    port.WriteBytes("p", 1);
    EXPECT_EQ(terminal.Receive(1), "p");
}

TEST_F(CPortDeviceTest, ARateOrCharacterSizeTheDeviceDidNotTakeRaisesCode7)
{
    port.SetBaudRate(br9600);
    port.Open();
    ShimKeepSpeed(B9600);
    std::optional<EComPort> error = CatchComError([&] { port.SetBaudRate(br19200); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->Code, ecSetState);
    EXPECT_EQ(std::string(error->what()), "SetCommState function failed (win error code: 22)");
    EXPECT_TRUE(port.Connected());
    ShimKeepSpeed(0);
    termios line = terminal.State();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B9600)) << "the previous state is back";

    // A pseudo-terminal's own 8 bits are accepted, any other size kept is not.
    port.SetBaudRate(br9600);
    EXPECT_NO_THROW(port.SetDataBits(dbSeven));
    ShimKeepCharacterSize(CS6);
    error = CatchComError([&] { port.SetDataBits(dbFive); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->Code, ecSetState);

    // At the opening the failure leaves the port closed.
    port.Close();
    error = CatchComError([&] { port.Open(); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->Code, ecSetState);
    EXPECT_FALSE(port.Connected());
}

// Closing a port discards what the line has not sent. The shim holds each
// write in the output queue for a while: a link that finishes keeps the port
// open until the queue has run empty; a port closed right after its write is
// seen closing with the bytes still queued.
TEST_F(CPortDeviceTest, AFinishedLinkClosesThePortOnlyOnceTheOutputQueueHasRunEmpty)
{
    constexpr int HeldOutputMs = 300;
    const std::array<Byte, 3> frame{0xA5, 0x01, 0x02};
    ShimHoldOutput(HeldOutputMs);
    port.Open();
    {
        TSerialLink link(port);
        ASSERT_TRUE(link.Send(frame));
        link.Finish(static_cast<int>(std::chrono::milliseconds(WaitBound).count()));
    }
    port.Close();
    EXPECT_FALSE(ShimClosedWhileQueued());

    port.Open();
    const auto length = static_cast<std::int32_t>(frame.size());
    ASSERT_EQ(port.WriteBytes(frame.data(), length), length);
    port.Close();
    EXPECT_TRUE(ShimClosedWhileQueued());
}

// A line whose far end stops reading (the terminal's side is never read):
// once its buffer is full, the one write that finds no room waits one
// watchdog interval and ends the update, told once; nothing is tried again.
TEST_F(CPortDeviceTest, ALineThatStopsTakingBytesIsGivenUpAfterOneBoundedWrite)
{
    constexpr int WatchdogMs = 20;
    constexpr std::size_t ImageSize = 1024 * 1024;  // far more than a terminal's buffer holds
    QTemporaryDir folder;
    const std::string image = folder.filePath("app.hex").toStdString();
    std::ofstream(image, std::ios::binary) << std::string(ImageSize, '\x11');
    struct : TSessionEvents {
        void ShortWrite() override { ++shortWrites; }
        int shortWrites = 0;
    } events;
    port.Open();
    TSerialLink link(port);
    TSession session(events);
    session.UseLink(link);
    session.SetWatchdogMs(WatchdogMs);

    const TBoardResult result = RunUpdate(session, {HistoryKind::Firmware, {image}}, link.BoardName());
    EXPECT_EQ(result.outcome, Ending::Stopped);
    EXPECT_EQ(result.message, "RS232 Error Operation Cancelled");
    EXPECT_EQ(events.shortWrites, 1);
    EXPECT_EQ(ShimCalls().writeWaitsRunOut, 1);
    EXPECT_GT(result.bytes, 0);
    EXPECT_LT(result.bytes, static_cast<std::int64_t>(ImageSize));
}

TEST_F(CPortDeviceTest, LineErrorsAreTakenSafelyFromBothThreadsWithoutSynchronisation)
{
    port.OnError = [this](QObject*, TComErrors) { ++errorCalls; };
    port.SetSyncMethod(smNone);
    ShimSetFramingErrorsGrow(true);
    port.Open();
    // The owner thread takes the errors while the event thread does the same.
    int sent = 0;
    WaitWithoutEvents(
        [&] {
            if (received.load() == sent) {
                terminal.Send("x");
                ++sent;
            }
            port.LineErrors();
            port.BytesWaiting();
            return errorCalls.load() >= 3 && received.load() >= 3;
        },
        "three OnError and three OnRxChar calls on the event thread");
}

} // namespace
