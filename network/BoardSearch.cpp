#include "network/BoardSearch.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <exception>
#include <set>

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
    TSearchRun(TIdUDPBase& socket, const TSearchPlan& plan, const TSearchCancelled& cancelled,
               const TSearchLimits& limits)
        : socket_(socket), plan_(plan), cancelled_(cancelled), limits_(limits), reply_(BoardSearchMessage.size(), '\0'),
          placeSent_(plan.places.size(), false), placeFailure_(plan.places.size())
    {
    }

    TSearchFound Run()
    {
        const QDeadlineTimer bound(limits_.totalMs);
        SendBatch();
        while (!Cancelled() && !bound.hasExpired()) {
            if (!AllSent() && nextBatch_.hasExpired())
                SendBatch();
            else if (AllSent() && quiet_.hasExpired())
                break;
            else
                Receive(std::min(AllSent() ? quiet_ : nextBatch_, bound));
        }
        for (std::size_t k = 0; k < plan_.places.size(); ++k) {
            if (placeSent_[k])
                found_.searched.push_back(plan_.places[k]);
            else if (!placeFailure_[k].empty())
                found_.failed.push_back(plan_.places[k] + ": " + placeFailure_[k]);
        }
        found_.answered = answered_.size();
        return found_;
    }

private:
    bool Cancelled() const { return cancelled_ && cancelled_(); }
    bool AllSent() const { return broadcastsSent_ && range_ == plan_.ranges.size(); }

    void SendBatch()
    {
        if (!broadcastsSent_) {
            for (std::size_t k = 0; k < plan_.broadcasts.size(); ++k)
                Send(TIdStack::AddressToText(plan_.broadcasts[k]), k);
            broadcastsSent_ = true;
        }
        for (std::uint32_t k = 0; k < RangeBatchSize && !AllSent(); ++k) {
            const std::size_t place = plan_.broadcasts.size() + range_;
            Send(NextRangeHost(), place);
        }
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
    void Send(const std::string& host, std::size_t place)
    {
        try {
            socket_.BroadcastTextTo(host, BoardSearchPort, BoardSearchMessage);
            ++sent_;
            if (place < placeSent_.size())
                placeSent_[place] = true;
        } catch (const EIdException& error) {
            if (!failure_)
                failure_ = std::current_exception();
            if (place < placeFailure_.size() && placeFailure_[place].empty())
                placeFailure_[place] = error.what();
        }
    }

    void Receive(const QDeadlineTimer& until)
    {
        const auto timeout = static_cast<std::int32_t>(std::min(until.remainingTime(), CancelCheckMs));
        const auto size = static_cast<std::int32_t>(reply_.size());
        const TIdDatagram datagram = socket_.ReceiveDatagram(reply_.data(), size, timeout);
        if (datagram.TimedOut)
            return;
        const bool isReply =
            datagram.PeerPort == BoardSearchPort && datagram.Length == size && reply_ == BoardSearchMessage;
        // Only a board's reply starts a new wait: a stranger's datagrams
        // cannot keep the search open.
        if (!isReply)
            return;
        quiet_.setRemainingTime(BoardSearchWaitMs);
        if (answered_.insert(datagram.PeerIP).second && found_.boards.size() < limits_.listed)
            found_.boards.push_back(datagram.PeerIP);
    }

    TIdUDPBase& socket_;
    const TSearchPlan& plan_;
    const TSearchCancelled& cancelled_;
    const TSearchLimits limits_;
    std::string reply_;  // room for a reply's bytes, no more
    std::vector<bool> placeSent_;             // a send to the place left
    std::vector<std::string> placeFailure_;   // why the first send to it failed
    bool broadcastsSent_ = false;
    std::size_t range_ = 0;    // the range whose hosts go out next
    std::uint32_t offset_ = 0; // and the next host's place in it
    std::size_t sent_ = 0;
    std::exception_ptr failure_;
    QDeadlineTimer nextBatch_;
    QDeadlineTimer quiet_;
    std::set<std::string> answered_;
    TSearchFound found_;
};

} // namespace

TSearchFound SearchBoards(TIdUDPBase& socket, const TSearchPlan& plan, const TSearchCancelled& cancelled,
                          const TSearchLimits& limits)
{
    return TSearchRun(socket, plan, cancelled, limits).Run();
}
