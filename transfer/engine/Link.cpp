#include "transfer/engine/Link.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <limits>
#include <thread>

#include "network/IdUDPClient.h"
#include "serial/CPort.h"
#include "transfer/engine/LinkWake.h"

namespace {

// How long the line must stay empty after its last write before the drain
// takes it as done.
constexpr int QuietLineMs = 100;

// Every link's cancel: set once, for good, also from a signal handler. The
// descriptor is made before any handler can run and is never closed.
std::atomic<bool> everyLinkCancelled{false};
const int everyLinkWake = LinkWake::Make();

thread_local TLinkWaiter* waiterOfThisThread = nullptr;

} // namespace

TLinkWaiter* TLinkWaiter::OfThisThread()
{
    return waiterOfThisThread;
}

void TLinkWaiter::SetOfThisThread(TLinkWaiter* waiter)
{
    waiterOfThisThread = waiter;
}

TBoardLink::TBoardLink()
    : waiter_(TLinkWaiter::OfThisThread()), cancelWake_(LinkWake::Make())
{
}

TBoardLink::~TBoardLink()
{
    LinkWake::Close(cancelWake_);
}

void TBoardLink::Cancel()
{
    cancelled_ = true;
    LinkWake::Signal(cancelWake_);
}

bool TBoardLink::Cancelled() const
{
    return cancelled_ || everyLinkCancelled;
}

void TBoardLink::Rearm()
{
    cancelled_ = false;
    LinkWake::Empty(cancelWake_);
}

void TBoardLink::CancelEveryLink()
{
    everyLinkCancelled = true;
    LinkWake::Signal(everyLinkWake);
}

int TBoardLink::EveryLinkCancelDescriptor()
{
    return everyLinkWake;
}

void TBoardLink::SetPulse(std::function<void()> pulse, std::chrono::milliseconds interval)
{
    pulse_ = std::move(pulse);
    pulseIntervalMs_ = interval.count();
}

void TBoardLink::Pulse()
{
    // Due once the interval has passed, as SleepWithin counts it: a pulse
    // still due in 0 ms would make a wait return at once, again and again.
    if (pulse_ && (!lastPulse_.isValid() || lastPulse_.elapsed() >= pulseIntervalMs_)) {
        lastPulse_.start();
        pulse_();
    }
    if (Cancelled())
        throw ETransferStopped(ETransferStopped::Reason::Operator, "stopped by the operator");
}

qint64 TBoardLink::SleepWithin(const QDeadlineTimer& deadline) const
{
    // Rounded up: a wait woken short of its deadline by the rounding would
    // only wake again at once until the deadline is reached.
    constexpr qint64 NanosecondsPerMs = 1000000;
    qint64 sleep = deadline.isForever() ? std::numeric_limits<int>::max()
                                        : (deadline.remainingTimeNSecs() + NanosecondsPerMs - 1) / NanosecondsPerMs;
    if (pulse_)
        sleep = std::min(sleep, lastPulse_.isValid() ? pulseIntervalMs_ - lastPulse_.elapsed() : 0);
    return std::clamp<qint64>(sleep, 0, std::numeric_limits<int>::max());
}

void TBoardLink::Settle(std::chrono::milliseconds duration)
{
    if (waiter_ != nullptr)
        waiter_->Sleep(duration);
    else
        std::this_thread::sleep_for(duration);
}

bool TNoLink::Await(const std::function<bool()>& answered, const QDeadlineTimer& /*deadline*/)
{
    // Nothing answers; the front end still gets its turn, and a cancel ends
    // the transfer here.
    Pulse();
    return answered();
}

TSerialLink::TSerialLink(TCustomComPort& port) : port_(port)
{
    port_.OnRxChar = [this](QObject*, int count) { ComPort1RxChar(count); };
    port_.OnTxEmpty = [this](QObject*) { ComPort1TxEmpty(); };
    // A cancel ends the event loop's sleep; the notifier then rests, so that
    // a cancel nobody waits for yet does not keep the loop busy.
    const auto wakeOn = [](int descriptor) {
        auto notifier = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
        QSocketNotifier* raw = notifier.get();
        QObject::connect(raw, &QSocketNotifier::activated, raw, [raw] { raw->setEnabled(false); });
        return notifier;
    };
    if (CancelDescriptor() != -1)
        cancelNotifier_ = wakeOn(CancelDescriptor());
    if (EveryLinkCancelDescriptor() != -1)
        everyLinkNotifier_ = wakeOn(EveryLinkCancelDescriptor());
}

TSerialLink::~TSerialLink()
{
    port_.OnRxChar = nullptr;
    port_.OnTxEmpty = nullptr;
}

std::string TSerialLink::BoardName() const
{
    return port_.Port();
}

void TSerialLink::BoundWrites(int milliseconds)
{
    port_.Timeouts().SetWriteTotalMultiplier(0);
    port_.Timeouts().SetWriteTotalConstant(milliseconds);
}

bool TSerialLink::FSend(Byte value)
{
    return port_.WriteBytes(&value, 1) == 1;
}

bool TSerialLink::Send(std::span<const Byte> frame)
{
    // Byte by byte, each write bounded (BoundWrites): a line that stops
    // taking bytes fails the frame at the byte it stopped at.
    return std::all_of(frame.begin(), frame.end(), [this](Byte value) { return FSend(value); });
}

void TSerialLink::ComPort1RxChar(int count)
{
    chunk_.fill(0);
    const std::int32_t wanted = std::min(count, RxChunkSize);
    const std::int32_t read = std::clamp(port_.ReadBytes(chunk_.data(), wanted), 0, wanted);
    if (receiver_ != nullptr)
        receiver_->StreamReceived(std::span<const Byte>(chunk_.data(), static_cast<std::size_t>(read)));
}

void TSerialLink::ComPort1TxEmpty()
{
    ++emptied_;
}

void TSerialLink::TakePending()
{
    // A closed port has nothing to take; the request's first write reports it.
    if (!port_.Connected())
        return;
    for (std::int32_t waiting = port_.BytesWaiting(); waiting > 0; waiting = port_.BytesWaiting())
        ComPort1RxChar(waiting);
}

void TSerialLink::PumpEvents(const QDeadlineTimer& deadline)
{
    // Wakes for every event (the port's receive events, a cancel among them)
    // and at the deadline or the pulse, without spinning.
    if (cancelNotifier_ && !Cancelled())
        cancelNotifier_->setEnabled(true);
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(static_cast<int>(SleepWithin(deadline)));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

bool TSerialLink::Await(const std::function<bool()>& answered, const QDeadlineTimer& deadline)
{
    Pulse();
    while (!answered() && !deadline.hasExpired()) {
        PumpEvents(deadline);
        Pulse();
    }
    return answered();
}

void TSerialLink::Finish(int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    QDeadlineTimer quiet(QDeadlineTimer::Forever);
    int seen = emptied_;
    try {
        // The port's own count has the last word: a transmit-empty event of
        // an earlier write, taken only now, says nothing of the last one.
        while (!deadline.hasExpired() && !(quiet.hasExpired() && port_.BytesQueued() == 0)) {
            PumpEvents(QDeadlineTimer(std::min<qint64>(QuietLineMs, deadline.remainingTime())));
            Pulse();
            if (emptied_ != seen) {
                seen = emptied_;
                quiet.setRemainingTime(QuietLineMs);
            }
        }
    } catch (const ETransferStopped&) {
        // Stopped by the operator: the port closes now.
    }
}

TUdpLink::TUdpLink(TIdUDPClient& client) : client_(client)
{
}

TUdpLink::~TUdpLink()
{
    // The client closes its socket after the link: a socket opened later may
    // get the same number.
    if (waiter_ != nullptr && waitedOn_ != -1)
        waiter_->Forget(waitedOn_);
}

std::string TUdpLink::BoardName() const
{
    return client_.Host;
}

bool TUdpLink::Send(std::span<const Byte> frame)
{
    client_.SendBytes(frame.data(), static_cast<std::int32_t>(frame.size()));
    return true;
}

bool TUdpLink::ReceiveOne(std::int32_t timeoutMs)
{
    const std::array<int, 2> cancels = {CancelDescriptor(), EveryLinkCancelDescriptor()};
    TIdSocketHandle& socket = client_.Binding();
    if (waiter_ == nullptr)
        return socket.Readable(timeoutMs, cancels) && TakeOne();
    waitedOn_ = socket.Handle();
    return waiter_->WaitReadable(waitedOn_, cancels, timeoutMs) && TakeOne();
}

bool TUdpLink::TakeOne()
{
    NetBuffer.fill(Byte{0});
    const TIdDatagram datagram = client_.TakeDatagram(NetBuffer.data(), NetAnswerSize);
    if (datagram.TimedOut)
        return false;
    if (receiver_ != nullptr) {
        const auto kept = static_cast<std::size_t>(std::clamp(datagram.Length, 0, NetAnswerSize));
        receiver_->DatagramReceived(std::span<const Byte>(NetBuffer.data(), kept), datagram.Length,
                                    datagram.PeerIP == client_.HostAddress());
    }
    return true;
}

void TUdpLink::TakePending()
{
    // What the socket already holds came before the request that follows:
    // handed now, it cannot be read as that request's answer.
    while (TakeOne()) {
    }
}

bool TUdpLink::Await(const std::function<bool()>& answered, const QDeadlineTimer& deadline)
{
    while (!answered()) {
        // The front end gets its turn whenever a pulse interval has passed,
        // also between answers that come quickly, so that a window never
        // looks frozen.
        Pulse();
        if (deadline.hasExpired())
            return false;
        ReceiveOne(static_cast<std::int32_t>(SleepWithin(deadline)));
    }
    return true;
}
