#include "network/BoardSearch.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <exception>

#include "network/IdException.h"
#include "network/IdUDPBase.h"

namespace {

// The hosts of a range go out this many at a time, this far apart: a /24 is
// asked within a few dozen milliseconds, well inside the wait, without
// hundreds of datagrams (and address lookups on the link) in one burst.
constexpr std::uint32_t RangeBatchSize = 32;
constexpr qint64 RangeBatchPauseMs = 2;
// No wait is longer than this, so that a cancellation is noticed.
constexpr qint64 CancelCheckMs = 50;

class TSearchRun {
public:
    TSearchRun(TIdUDPBase& socket, const TSearchPlan& plan, const TSearchCancelled& cancelled)
        : socket_(socket), plan_(plan), cancelled_(cancelled), reply_(BoardSearchMessage.size(), '\0')
    {
    }

    std::vector<std::string> Run()
    {
        SendBatch();
        while (!Cancelled()) {
            if (!AllSent() && nextBatch_.hasExpired())
                SendBatch();
            else if (AllSent() && quiet_.hasExpired())
                break;
            else
                Receive(AllSent() ? quiet_ : nextBatch_);
        }
        return boards_;
    }

private:
    bool Cancelled() const { return cancelled_ && cancelled_(); }
    bool AllSent() const { return broadcastsSent_ && range_ == plan_.ranges.size(); }

    void SendBatch()
    {
        if (!broadcastsSent_) {
            for (const TIdIPv4Address& broadcast : plan_.broadcasts)
                Send(TIdStack::AddressToText(broadcast));
            broadcastsSent_ = true;
        }
        for (std::uint32_t k = 0; k < RangeBatchSize && !AllSent(); ++k)
            Send(NextRangeHost());
        nextBatch_.setRemainingTime(RangeBatchPauseMs);
        quiet_.setRemainingTime(BoardSearchWaitMs);
        if (AllSent() && sent_ == 0 && failure_)
            std::rethrow_exception(failure_);
    }

    std::string NextRangeHost()
    {
        const TAddressRange& range = plan_.ranges[range_];
        const std::uint32_t host = range.first + offset_;
        if (++offset_ >= range.count) {
            ++range_;
            offset_ = 0;
        }
        return TIdStack::AddressToText(AddressOfNumber(host));
    }

    // A range may hold the broadcast address of a network this machine is
    // on, which the system refuses to send to without the permission: every
    // send has it.
    void Send(const std::string& host)
    {
        try {
            socket_.BroadcastTextTo(host, BoardSearchPort, BoardSearchMessage);
            ++sent_;
        } catch (const EIdException&) {
            if (!failure_)
                failure_ = std::current_exception();
        }
    }

    void Receive(const QDeadlineTimer& until)
    {
        const auto timeout = static_cast<std::int32_t>(std::min(until.remainingTime(), CancelCheckMs));
        const auto size = static_cast<std::int32_t>(reply_.size());
        const TIdDatagram datagram = socket_.ReceiveDatagram(reply_.data(), size, timeout);
        if (datagram.TimedOut)
            return;
        // Any datagram starts a new wait; only a board's reply is listed.
        quiet_.setRemainingTime(BoardSearchWaitMs);
        const bool isReply =
            datagram.PeerPort == BoardSearchPort && datagram.Length == size && reply_ == BoardSearchMessage;
        if (isReply && boards_.size() < MaxBoards &&
            std::find(boards_.begin(), boards_.end(), datagram.PeerIP) == boards_.end())
            boards_.push_back(datagram.PeerIP);
    }

    TIdUDPBase& socket_;
    const TSearchPlan& plan_;
    const TSearchCancelled& cancelled_;
    std::string reply_;  // room for a reply's bytes, no more
    bool broadcastsSent_ = false;
    std::size_t range_ = 0;    // the range whose hosts go out next
    std::uint32_t offset_ = 0; // and the next host's place in it
    std::size_t sent_ = 0;
    std::exception_ptr failure_;
    QDeadlineTimer nextBatch_;
    QDeadlineTimer quiet_;
    std::vector<std::string> boards_;
};

} // namespace

std::vector<std::string> SearchBoards(TIdUDPBase& socket, const TSearchPlan& plan, const TSearchCancelled& cancelled)
{
    return TSearchRun(socket, plan, cancelled).Run();
}
