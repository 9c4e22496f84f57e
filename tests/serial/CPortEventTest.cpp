// The event thread over a pseudo-terminal: what reaches the handlers, on which
// thread, in which order, and how closing and failing handlers end delivery.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "serial/CPort.h"
#include "tests/serial/CPortTestSupport.h"
#include "tests/support/ErrorReports.h"

namespace {

// A port open on a pseudo-terminal that records the calls of its handlers.
class CPortEventTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        port = std::make_unique<TComPort>(nullptr, sync);
        TComPort* self = port.get(); // also while the port is being destroyed
        port->SetPort(terminal.Path());
        port->Timeouts().SetWriteTotalMultiplier(0);
        port->Timeouts().SetWriteTotalConstant(0);
        port->OnRxChar = [this, self](QObject* sender, int count) {
            EXPECT_EQ(sender, self);
            EXPECT_EQ(std::this_thread::get_id(), guiThread);
            EXPECT_GT(count, 0);
            calls.push_back("rx " + std::to_string(count));
            if (onRx)
                onRx(count);
        };
        port->OnTxEmpty = [this](QObject*) { calls.push_back("tx"); };
        port->OnAfterClose = [this](QObject*) { calls.push_back("closed"); };
    }

    // Reads `count` bytes of what waits.
    std::string Read(int count)
    {
        std::string bytes(static_cast<std::size_t>(count), '\0');
        bytes.resize(static_cast<std::size_t>(port->ReadBytes(bytes.data(), count)));
        return bytes;
    }

    // Writes one byte and processes events until its evTxEmpty was handled.
    // Every event the device reported before the write has been handled then.
    void FlushEvents()
    {
        std::size_t before = TxCount();
        ASSERT_EQ(port->WriteBytes("w", 1), 1);
        ProcessEventsUntil([&] { return TxCount() > before; }, "TxCount() > before");
        EXPECT_EQ(terminal.Receive(1), "w");
    }

    std::size_t TxCount() const { return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), "tx")); }

    std::vector<std::string> RxCalls() const
    {
        std::vector<std::string> rx;
        for (const std::string& call : calls) {
            if (call.rfind("rx", 0) == 0)
                rx.push_back(call);
        }
        return rx;
    }

    PseudoTerminal terminal;
    std::shared_ptr<TComSync> sync = MakeQtComSync();
    std::vector<std::string> calls;
    std::function<void(int)> onRx;
    std::thread::id guiThread = std::this_thread::get_id();
    // Last, so that its closing still finds what its handlers use.
    std::unique_ptr<TComPort> port;
};

TEST_F(CPortEventTest, UnreadBytesAreReportedWithTheNextReceivedByte)
{
    onRx = [this](int) { Read(3); };
    port->Open();
    terminal.Send("12345");
    ProcessEventsUntil([&] { return !calls.empty(); }, "!calls.empty()");
    EXPECT_EQ(calls, std::vector<std::string>{"rx 5"});
    FlushEvents();
    EXPECT_EQ(RxCalls(), std::vector<std::string>{"rx 5"});
    onRx = nullptr;
    terminal.Send("6");
    ProcessEventsUntil([&] { return RxCalls().size() == 2; }, "RxCalls().size() == 2");
    EXPECT_EQ(RxCalls().back(), "rx 3");
    EXPECT_EQ(Read(10), "456");
}

// The 80 % mark of the input queue is told when the waiting bytes cross it,
// not again while they stay above it.
TEST_F(CPortEventTest, TheInputQueuesMarkIsToldOncePerCrossing)
{
    constexpr int InputSize = 10;  // the mark at 8 bytes
    port->Buffer().SetInputSize(InputSize);
    port->OnRx80Full = [this](QObject*) { calls.push_back("80"); };
    const auto marks = [this] { return std::count(calls.begin(), calls.end(), "80"); };
    port->Open();
    terminal.Send("123456789");
    ProcessEventsUntil([&] { return marks() == 1; }, "the first crossing");
    terminal.Send("a");  // still above the mark
    ProcessEventsUntil([&] { return RxCalls().size() >= 2; }, "the evRxChar of the byte above the mark");
    FlushEvents();
    EXPECT_EQ(marks(), 1);
    // Emptied, and crossed again.
    EXPECT_EQ(Read(InputSize), "123456789a");
    FlushEvents();
    terminal.Send("bcdefghij");
    ProcessEventsUntil([&] { return marks() >= 2; }, "the second crossing");
    FlushEvents();
    EXPECT_EQ(marks(), 2);
}

TEST_F(CPortEventTest, BytesAlreadyReadGiveNoRxCall)
{
    port->Open();
    terminal.Send("abc");
    WaitWithoutEvents([&] { return port->BytesWaiting() == 3; }, "port->BytesWaiting() == 3");
    EXPECT_EQ(Read(3), "abc");
    FlushEvents();
    EXPECT_TRUE(RxCalls().empty());
}

TEST_F(CPortEventTest, EventsOfOneWaitAreHandledInTheDispatchOrder)
{
    // While the first dispatch runs, a byte arrives and one goes out: the next
    // wait reports both, received bytes first.
    onRx = [this](int) {
        onRx = nullptr;
        Read(1);
        terminal.Send("b");
        WaitWithoutEvents([&] { return port->BytesWaiting() == 1; }, "port->BytesWaiting() == 1");
        port->WriteBytes("w", 1);
    };
    port->Open();
    terminal.Send("a");
    ProcessEventsUntil([&] { return calls.size() == 3; }, "calls.size() == 3");
    EXPECT_EQ(calls, (std::vector<std::string>{"rx 1", "rx 1", "tx"}));
}

TEST_F(CPortEventTest, BytesWaitingAtOpeningAreReportedByTheFirstWait)
{
    port->SetEvents({});
    port->Open();
    terminal.Send("xyz");
    WaitWithoutEvents([&] { return port->BytesWaiting() == 3; }, "port->BytesWaiting() == 3");
    port->Close();
    port->SetEvents(TComEvents::All());
    port->Open();
    ProcessEventsUntil([&] { return !RxCalls().empty(); }, "!RxCalls().empty()");
    EXPECT_EQ(RxCalls(), std::vector<std::string>{"rx 3"});
}

TEST_F(CPortEventTest, OnlyTheChosenEventsAreReported)
{
    port->SetEvents({evTxEmpty});
    port->Open();
    terminal.Send("abc");
    WaitWithoutEvents([&] { return port->BytesWaiting() == 3; }, "port->BytesWaiting() == 3");
    FlushEvents();
    EXPECT_TRUE(RxCalls().empty());
}

TEST_F(CPortEventTest, AFailingHandlerEndsDeliveryUntilThePortIsReopened)
{
    ErrorReports reports;
    onRx = [](int) { throw std::runtime_error("handler failed"); };
    port->Open();
    terminal.Send("ab");
    ProcessEventsUntil([&] { return !port->ThreadRunning(); }, "!port->ThreadRunning()");
    EXPECT_TRUE(port->Connected());
    EXPECT_TRUE(port->ThreadCreated());
    EXPECT_EQ(calls, std::vector<std::string>{"rx 2"});
    // The failure reaches the error report once.
    ProcessEventsUntil([&] { return !reports.Texts().empty(); }, "the error report of the failed handler");
    ASSERT_EQ(reports.Texts().size(), 1u);
    EXPECT_EQ(reports.Texts().front(), "handler failed");

    // The device keeps what arrives; nothing is delivered.
    terminal.Send("c");
    WaitWithoutEvents([&] { return port->BytesWaiting() == 3; }, "port->BytesWaiting() == 3");
    port->WriteBytes("w", 1);
    EXPECT_EQ(terminal.Receive(1), "w");
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, std::vector<std::string>{"rx 2"});

    onRx = nullptr;
    port->Close();
    port->Open();
    ProcessEventsUntil([&] { return RxCalls().size() == 2; }, "RxCalls().size() == 2");
    EXPECT_EQ(RxCalls().back(), "rx 3");
    EXPECT_EQ(reports.Texts().size(), 1u);
}

TEST_F(CPortEventTest, AFailingHandlerOnTheEventThreadIsReportedOnTheOwnerThread)
{
    ErrorReports reports;
    port->OnRxChar = [](QObject*, int) { throw std::runtime_error("event thread handler failed"); };
    port->SetSyncMethod(smNone);
    port->Open();
    terminal.Send("x");
    ProcessEventsUntil([&] { return !reports.Texts().empty(); }, "the error report of the failed handler");
    EXPECT_FALSE(port->ThreadRunning());
    EXPECT_TRUE(port->Connected());
    terminal.Send("y");
    WaitWithoutEvents([&] { return port->BytesWaiting() == 2; }, "both bytes waiting");
    QCoreApplication::processEvents();
    EXPECT_EQ(reports.Texts().size(), 1u);
}

TEST_F(CPortEventTest, ClosingRunsAPendingDispatchWhileStillConnected)
{
    bool connectedInHandler = false;
    onRx = [&](int) { connectedInHandler = port->Connected(); };
    port->Open();
    terminal.Send("p");
    WaitWithoutEvents([&] { return sync->Pending(); }, "sync->Pending()");
    port->Close();
    EXPECT_EQ(calls, (std::vector<std::string>{"rx 1", "closed"}));
    EXPECT_TRUE(connectedInHandler);
    EXPECT_FALSE(sync->Pending());
}

TEST_F(CPortEventTest, AHandlerMayCloseThePort)
{
    onRx = [this](int) { port->Close(); };
    port->Open();
    terminal.Send("q");
    ProcessEventsUntil([&] { return !port->Connected(); }, "!port->Connected()");
    EXPECT_EQ(calls, (std::vector<std::string>{"rx 1", "closed"}));
    EXPECT_FALSE(port->ThreadCreated());
    // Opening again works as ever.
    onRx = nullptr;
    port->Open();
    terminal.Send("r");
    ProcessEventsUntil([&] { return RxCalls().size() == 2; }, "RxCalls().size() == 2");
}

TEST_F(CPortEventTest, AHandlerThatClosesDuringTheCloseLeavesTheJobToIt)
{
    int closes = 0;
    port->OnBeforeClose = [&](QObject*) { ++closes; };
    onRx = [this](int) { port->Close(); };
    port->Open();
    terminal.Send("c");
    WaitWithoutEvents([&] { return sync->Pending(); }, "a dispatch pending before the close");
    port->Close();
    EXPECT_EQ(calls, (std::vector<std::string>{"rx 1", "closed"}));
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(port->Connected());
    EXPECT_FALSE(port->ThreadCreated());
    // The port opens and delivers again.
    port->OnBeforeClose = nullptr;
    onRx = nullptr;
    port->Open();
    terminal.Send("d");
    ProcessEventsUntil([&] { return RxCalls().size() == 2; }, "the reopened port's evRxChar");
}

TEST_F(CPortEventTest, AHandlerThatClosesWhileThePortIsDestroyedLeavesTheJobToIt)
{
    TComPort* self = port.get();
    onRx = [self](int) { self->Close(); };
    port->Open();
    terminal.Send("e");
    WaitWithoutEvents([&] { return sync->Pending(); }, "a dispatch pending before the destruction");
    port.reset();
    EXPECT_EQ(calls, (std::vector<std::string>{"rx 1", "closed"}));
}

TEST_F(CPortEventTest, DestroyingAnOpenPortClosesIt)
{
    port->Open();
    terminal.Send("d");
    WaitWithoutEvents([&] { return sync->Pending(); }, "sync->Pending()");
    port.reset();
    EXPECT_EQ(calls, (std::vector<std::string>{"rx 1", "closed"}));
    TComPort next;
    next.SetPort(terminal.Path());
    next.Open();
    EXPECT_TRUE(next.Connected());
}

TEST_F(CPortEventTest, ADeviceThatHangsUpEndsDeliveryQuietly)
{
    port->Open();
    terminal.HangUp();
    ProcessEventsUntil([&] { return !port->ThreadRunning(); }, "!port->ThreadRunning()");
    EXPECT_TRUE(port->Connected());
    port->Close();
    EXPECT_EQ(calls, std::vector<std::string>{"closed"});
}

TEST_F(CPortEventTest, ChangingThePortNameReopensUnderTheNewName)
{
    PseudoTerminal other;
    port->Open();
    port->SetPort(other.Path());
    EXPECT_TRUE(port->Connected());
    EXPECT_EQ(calls, std::vector<std::string>{"closed"});
    port->WriteBytes("n", 1);
    EXPECT_EQ(other.Receive(1), "n");
    other.Send("m");
    ProcessEventsUntil([&] { return !RxCalls().empty(); }, "!RxCalls().empty()");
}

TEST_F(CPortEventTest, WithoutSynchronisationHandlersRunOnTheEventThread)
{
    std::thread::id handlerThread;
    std::atomic<bool> called{false};
    port->OnRxChar = [&](QObject*, int) {
        handlerThread = std::this_thread::get_id();
        called.store(true);
    };
    port->SetSyncMethod(smNone);
    port->Open();
    terminal.Send("s");
    WaitWithoutEvents([&] { return called.load(); }, "called.load()");
    EXPECT_NE(handlerThread, guiThread);
}

TEST_F(CPortEventTest, WindowSyncReportsAHandlerFailureAndDeliversOn)
{
    ErrorReports reports;
    onRx = [this](int) {
        Read(1);
        throw std::runtime_error("handler failed");
    };
    port->SetSyncMethod(smWindowSync);
    port->Open();
    terminal.Send("1");
    ProcessEventsUntil([&] { return reports.Texts().size() == 1; }, "reports.Texts().size() == 1");
    terminal.Send("2");
    ProcessEventsUntil([&] { return reports.Texts().size() == 2; }, "reports.Texts().size() == 2");
    EXPECT_EQ(RxCalls(), (std::vector<std::string>{"rx 1", "rx 1"}));
    EXPECT_EQ(reports.Texts().front(), "handler failed");
}

TEST_F(CPortEventTest, AnOpeningAfterLoadingReportsItsFailure)
{
    ErrorReports reports;
    port->BeginLoading();
    port->SetConnected(true);
    EXPECT_FALSE(port->Connected());
    port->Loaded();
    EXPECT_TRUE(port->Connected());

    TComPort missing;
    missing.SetPort("/nonexistent/ttyNone");
    missing.BeginLoading();
    missing.SetConnected(true);
    missing.Loaded();
    ProcessEventsUntil([&] { return !reports.Texts().empty(); }, "!reports.Texts().empty()");
    EXPECT_THAT(reports.Texts().front(), ::testing::StartsWith("Unable to open com port (win error code: "));
    EXPECT_FALSE(missing.Connected());
}

} // namespace
