#include "cli/BoardSearch.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <cstdint>

#include "cli/Interrupt.h"
#include "network/IdUDPClient.h"

namespace {

const std::string SearchMessage = "DRVK";
constexpr std::int32_t SearchPort = 3334;
constexpr std::int32_t SearchQuietMs = 1000;  // the search ends after this long without a datagram
constexpr std::size_t MaxBoards = 101;
// Each receive is this long at most, so that Ctrl-C is noticed.
constexpr qint64 InterruptSliceMs = 50;

} // namespace

std::vector<std::string> SearchBoards(TIdUDPClient& client)
{
    client.BroadcastText(SearchMessage, SearchPort);
    std::vector<std::string> boards;
    QDeadlineTimer quiet(SearchQuietMs);
    while (!quiet.hasExpired() && !Interrupted()) {
        std::string peer;
        std::int32_t peerPort = 0;
        const auto slice = static_cast<std::int32_t>(std::min(quiet.remainingTime(), InterruptSliceMs));
        const std::string reply = client.ReceiveTextFrom(peer, peerPort, slice);
        if (peer.empty())
            continue;
        // Any datagram starts a new wait; only a board's reply is listed.
        quiet.setRemainingTime(SearchQuietMs);
        const bool isBoard = reply == SearchMessage && peerPort == SearchPort;
        if (isBoard && boards.size() < MaxBoards && std::find(boards.begin(), boards.end(), peer) == boards.end())
            boards.push_back(peer);
    }
    return boards;
}
