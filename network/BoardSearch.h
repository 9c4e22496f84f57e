// The board search, as both the network window and the command line make it:
// the search message "DRVK" goes to UDP port 3334 of every place a
// TSearchPlan names, from one socket, and each board echoes the same four
// bytes from its port 3334. The replies are collected until a wait of
// BoardSearchWaitMs passes without any datagram.
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
// The search ends when this long passes without any datagram.
inline constexpr std::int32_t BoardSearchWaitMs = 1000;
// A search lists at most this many boards; later replies are ignored.
inline constexpr std::size_t MaxBoards = 101;

// Asked between waits; true ends the search with the boards found so far.
using TSearchCancelled = std::function<bool()>;

// Sends the search message from `socket`: to the plan's broadcast addresses
// all at once, then to the hosts of its ranges in small batches a few
// milliseconds apart. The wait for replies runs meanwhile and starts anew
// with every batch and every datagram. Returns the addresses of the boards
// that replied, in the order of their first replies, each once, at most
// MaxBoards. Every other datagram (other bytes, another port, empty, longer
// than a reply) is ignored, whoever sent it. A destination that cannot be
// sent to does not stop the others; when nothing at all could be sent, the
// first failure is raised, and a failing receive is raised as it happens.
std::vector<std::string> SearchBoards(TIdUDPBase& socket, const TSearchPlan& plan,
                                      const TSearchCancelled& cancelled = {});
