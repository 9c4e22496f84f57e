// The board's link as a session uses it: send a frame, wait until an awaited
// answer has come or a deadline has passed, and cancel. Three kinds: the
// serial line (a port, its receive wiring and its drain), UDP (a socket whose
// waits take the board's datagrams only) and none (USB: nothing is sent and
// nothing answers).
//
// A link is used by one thread at a time, the session's; Cancel alone may be
// called from any thread. A wait sleeps until the board's frame, its deadline,
// a cancel or the front end's pulse is due: an idle link costs nothing.
#pragma once

#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

#include "protocol/Bytes.h"
#include "protocol/ReceiveState.h"

class QSocketNotifier;
class TCustomComPort;
class TIdUDPClient;

// Where a link hands what the board sent.
class TLinkReceiver {
public:
    virtual ~TLinkReceiver() = default;
    // A piece of the serial line's byte stream, as one read took it (at most
    // RxChunkSize bytes).
    virtual void StreamReceived(std::span<const Byte> bytes) = 0;
    // One datagram: its first bytes (at most the answer buffer's size), its
    // whole length, which is larger for a datagram longer than any answer,
    // and whether it came from the board's address (any port) or another host.
    virtual void DatagramReceived(std::span<const Byte> bytes, std::int32_t length, bool fromBoard) = 0;
};

// Where a link's waits sleep: without one, the calling thread sleeps in the
// kernel; a scheduler may run the waits of many links on one thread.
class TLinkWaiter {
public:
    virtual ~TLinkWaiter() = default;
    // Sleeps until `descriptor` is readable (true), or one of `wakeOn` is or
    // `timeoutMs` has passed (false).
    virtual bool WaitReadable(int descriptor, std::span<const int> wakeOn, int timeoutMs) = 0;
    virtual void Sleep(std::chrono::milliseconds duration) = 0;
    // `descriptor` is about to be closed: a waiter that keeps it between
    // waits lets it go.
    virtual void Forget(int /*descriptor*/) {}

    // The waiter that runs the calling thread's work now, if any: a link made
    // meanwhile waits through it.
    static TLinkWaiter* OfThisThread();

protected:
    static void SetOfThisThread(TLinkWaiter* waiter);
};

// Ends a transfer early without an error of its own: the operator stopped it
// (Escape, Ctrl-C: the link was cancelled), the front end did for a silent
// board, or a serial write could not be completed. What was sent stays sent.
class ETransferStopped : public std::runtime_error {
public:
    enum class Reason { Silence, WriteCancelled, Operator };
    ETransferStopped(Reason reason, const std::string& message) : std::runtime_error(message), reason_(reason) {}
    Reason WhyStopped() const { return reason_; }

private:
    Reason reason_;
};

class TBoardLink {
public:
    TBoardLink();
    virtual ~TBoardLink();
    TBoardLink(const TBoardLink&) = delete;
    TBoardLink& operator=(const TBoardLink&) = delete;

    // Whether anything reaches the board and comes back; a link without
    // transport sends nothing, and nothing is awaited over it.
    virtual bool Carries() const { return true; }
    // Whether every answered request is followed by its wait as it goes out
    // (the network: a datagram not read is lost), rather than only those the
    // transfer waits for (the serial line keeps the rest in its input queue).
    virtual bool ReadsEachAnswer() const { return false; }
    // The board as the operator names it: the port, the address, "usb".
    virtual std::string BoardName() const = 0;

    // What the link receives goes to `receiver` (none: it is dropped).
    void SetReceiver(TLinkReceiver* receiver) { receiver_ = receiver; }

    // Bounds every later write to `milliseconds`: a line that takes no byte
    // within it makes Send fail instead of blocking.
    virtual void BoundWrites(int /*milliseconds*/) {}
    // Sends one frame; false when the link could not take all of it in time.
    virtual bool Send(std::span<const Byte> frame) = 0;
    // Hands the receiver what has arrived and was not handed yet (the serial
    // line's input queue, the socket's): frames that came before the next
    // request went out, or that are left when a transfer ends.
    virtual void TakePending() {}
    // Hands the receiver what comes until `answered` holds or the deadline has
    // passed, and returns `answered()`. Raises ETransferStopped (Operator) once
    // the link is cancelled; the pulse may raise too.
    virtual bool Await(const std::function<bool()>& answered, const QDeadlineTimer& deadline) = 0;
    // The board's settle time around the file-store transfers (erasing,
    // writing, the start of burning); nothing is serviced meanwhile.
    virtual void Settle(std::chrono::milliseconds duration);
    // A transfer that ran to its end: the link keeps what it still has to send
    // until it has left (the serial line's output queue), at most `milliseconds`.
    virtual void Finish(int /*milliseconds*/) {}

    // Stops the wait under way and every later one, from any thread.
    void Cancel();
    bool Cancelled() const;
    // Forgets an earlier Cancel, before the link serves another transfer.
    void Rearm();
    // Stops the waits of every link of the program, under way and later, for
    // good: what a signal handler calls (it only stores and writes).
    static void CancelEveryLink();
    // Turns readable, for good, once every link is cancelled.
    static int EveryLinkCancelDescriptor();
    // The front end's turn while a wait runs, at least every `interval`: to
    // keep its window alive or show how long the wait has taken.
    void SetPulse(std::function<void()> pulse, std::chrono::milliseconds interval = DefaultPulseInterval);

    static constexpr std::chrono::milliseconds DefaultPulseInterval{50};

protected:
    // The pulse when one is due (the first of a link's life, then once a
    // pulse interval has passed, across waits), then the cancel check.
    void Pulse();
    // How long a wait may sleep: until the deadline, or the next pulse when
    // one is set; never negative.
    qint64 SleepWithin(const QDeadlineTimer& deadline) const;
    // Turns readable when this link is cancelled, until it is rearmed.
    int CancelDescriptor() const { return cancelWake_; }
    TLinkReceiver* receiver_ = nullptr;
    // Where the waits sleep: the waiter of the thread's work when the link
    // was made (the network's waits and the settle times go through it), or
    // none: the calling thread, in the kernel.
    TLinkWaiter* const waiter_;

private:
    std::function<void()> pulse_;
    qint64 pulseIntervalMs_ = 0;
    QElapsedTimer lastPulse_;
    std::atomic<bool> cancelled_{false};
    int cancelWake_ = -1;  // a wake (LinkWake.h): signalled by Cancel, emptied by Rearm
};

// USB: no transport.
class TNoLink : public TBoardLink {
public:
    bool Carries() const override { return false; }
    std::string BoardName() const override { return "usb"; }
    bool Send(std::span<const Byte> /*frame*/) override { return true; }
    bool Await(const std::function<bool()>& answered, const QDeadlineTimer& /*deadline*/) override;
};

// The serial line over a port that is open (or opened later) elsewhere. While
// the link lives, the port's receive events feed its receiver: the board's
// bytes are read on the thread whose event loop runs the port's events, the
// one the waits pump.
class TSerialLink : public TBoardLink {
public:
    explicit TSerialLink(TCustomComPort& port);
    ~TSerialLink() override;
    TSerialLink(const TSerialLink&) = delete;
    TSerialLink& operator=(const TSerialLink&) = delete;

    std::string BoardName() const override;
    void BoundWrites(int milliseconds) override;
    bool Send(std::span<const Byte> frame) override;
    void TakePending() override;
    bool Await(const std::function<bool()>& answered, const QDeadlineTimer& deadline) override;
    // Closing a port discards what the line has not sent yet: a transfer whose
    // last request gets no answer may still have it in the output queue.
    // Waits until the queue has run empty and no write has followed for a
    // while, or `milliseconds` have passed; Ctrl-C or Escape end it early.
    void Finish(int milliseconds) override;

private:
    // One byte to the line; false when it was not taken in time.
    bool FSend(Byte value);
    // The port's receive event: reads what it holds (at most one chunk) and
    // hands it on; bytes beyond stay for the next event.
    void ComPort1RxChar(int count);
    // The port's transmit-empty event: the drain's sign that the line took
    // what was written.
    void ComPort1TxEmpty();

    // Runs the thread's events (the port's among them) until one came, the
    // deadline passed or a pulse is due.
    void PumpEvents(const QDeadlineTimer& deadline);

    TCustomComPort& port_;
    // A cancel wakes the thread's event loop: this link's, every link's.
    std::unique_ptr<QSocketNotifier> cancelNotifier_;
    std::unique_ptr<QSocketNotifier> everyLinkNotifier_;
    std::array<Byte, RxChunkSize> chunk_{};
    int emptied_ = 0;  // how often the output queue has run empty
};

// The network link's answer buffer: an answer datagram of at most this many
// bytes lands in it. A request goes out from the session's frame as it
// stands, with no copy of its own.
inline constexpr std::int32_t NetAnswerSize = 100;

// UDP: one socket to the board at the client's host and port. Every datagram
// the socket takes reaches the receiver, marked as the board's when it came
// from the board's address: the receiver decides what it is.
class TUdpLink : public TBoardLink {
public:
    explicit TUdpLink(TIdUDPClient& client);
    ~TUdpLink() override;
    TUdpLink(const TUdpLink&) = delete;
    TUdpLink& operator=(const TUdpLink&) = delete;

    bool ReadsEachAnswer() const override { return true; }
    std::string BoardName() const override;
    bool Send(std::span<const Byte> frame) override;
    void TakePending() override;
    bool Await(const std::function<bool()>& answered, const QDeadlineTimer& deadline) override;

private:
    // Takes one datagram within `timeoutMs` and hands it on when the board
    // sent it; false when none came, or a cancel woke the wait.
    bool ReceiveOne(std::int32_t timeoutMs);
    // Hands on the datagram the socket holds; false when it holds none.
    bool TakeOne();

    TIdUDPClient& client_;
    int waitedOn_ = -1;  // the socket the waiter was last asked about
    std::array<Byte, NetAnswerSize> NetBuffer{};
};
