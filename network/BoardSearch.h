// The board search, as both the network window and the command line make it:
// the search message "DRVK" goes to UDP port 3334 of every place a
// TSearchPlan names, from one socket, and each board echoes the same four
// bytes from its port 3334. The replies are collected until a wait of
// BoardSearchWaitMs passes without a reply, or the search's bound is reached.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "network/SearchPlan.h"

class TIdUDPBase;

// The search message, and each board's reply: these four bytes, nothing more.
inline const std::string BoardSearchMessage = "DRVK";
// Boards hear the search, and reply, on this port.
inline constexpr std::int32_t BoardSearchPort = 3334;
// The search ends when this long passes without a board's reply.
inline constexpr std::int32_t BoardSearchWaitMs = 1000;
// However many replies come, a search ends after this long.
inline constexpr std::int32_t DefaultSearchTimeMs = 10000;
// The window's list holds at most this many boards.
inline constexpr std::size_t MaxBoards = 101;

// Asked between waits; true ends the search with the boards found so far.
using TSearchCancelled = std::function<bool()>;

struct TSearchLimits {
    std::int32_t totalMs = DefaultSearchTimeMs;  // the whole search's bound
    std::size_t listed = MaxBoards;              // the boards returned, at most
};

// What a search came to.
struct TSearchFound {
    std::vector<std::string> boards;  // the first `listed` boards, in the order of their first replies
    std::size_t answered = 0;         // every board that replied, listed or not
    std::vector<std::string> searched;  // the plan's places a send to has left for
    std::vector<std::string> failed;    // "PLACE: why" for each place no send to could leave for, the socket layer's text as it gave it
};

// Sends the search message from `socket`: to the plan's broadcast addresses
// all at once, then to the hosts of its ranges in small batches a few
// milliseconds apart. The wait for replies runs meanwhile; it starts anew
// with every batch and every board's reply, and the whole search ends after
// `limits.totalMs` at most. Every other datagram (other bytes, another port,
// empty, longer than a reply) is ignored, whoever sent it: it neither ends
// nor prolongs the search. A destination that cannot be sent to does not
// stop the others; when nothing at all could be sent, the first failure is
// raised, and a failing receive is raised as it happens.
TSearchFound SearchBoards(TIdUDPBase& socket, const TSearchPlan& plan, const TSearchCancelled& cancelled = {},
                          const TSearchLimits& limits = {});
