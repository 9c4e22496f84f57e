// One board's update as both front ends run it: what to send, the run that
// sends it over the session's link and maps every error and stop to one
// ending, and a board's try from its lock to its history line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "transfer/board/BoardIdentity.h"
#include "transfer/board/BoardLock.h"
#include "transfer/board/Ending.h"
#include "transfer/record/History.h"
#include "transfer/engine/LinkSettings.h"
#include "transfer/engine/Session.h"

// What to send.
struct TUpdateRequest {
    HistoryKind kind = HistoryKind::Firmware;
    std::vector<std::string> files;  // one image, or the flash files, or the data file
    // Over a link without transport (USB) the flow is played all the same,
    // its status texts and settle times, for a front end that shows it;
    // otherwise such an update ends at once.
    bool playsWithoutTransport = true;
};

// Runs the request on the session over the link it uses, closes its account
// (CloseAccount) and returns what it came to: every error and stop mapped to
// an ending, the tally's counts, the time it took. `board` names the board. Over a link without transport (USB)
// nothing reaches the board, whatever the flow does: such an update failed,
// nothing sent.
TBoardResult RunUpdate(TSession& session, const TUpdateRequest& request, const std::string& board);

// A front end's side of a board's try: the session's events, the link's
// pulse while a wait runs, and a cause outside the tally that keeps the try
// from "updated".
class TTryEvents : public TSessionEvents {
public:
    // The front end's turn, at least every PulseInterval, while a wait runs.
    virtual void Pulse() {}
    virtual std::chrono::milliseconds PulseInterval() const { return TBoardLink::DefaultPulseInterval; }
    // Why the try is at best unconfirmed though the board took everything (a
    // trace that lacks frames); empty when there is no such cause.
    virtual std::string Shortfall() const { return {}; }
};

// A board as a front end updates it, try after try: who it is, over what,
// what it is sent and where every try is recorded. The first try takes the
// board's lock, and it is held until this goes: no other updater gets
// between the tries.
struct TBoardUpdate {
    std::string name;          // as the operator named it
    TBoardIdentity identity;   // an empty key when the name has no board
    std::string notHad;        // why the name has no board; empty when it has one
    TLinkSettings settings;
    TUpdateRequest request;
    int watchdogMs = 0;
    THistoryWriter* history = nullptr;  // none: the tries are not recorded
    std::optional<TBoardLock> lock;
    int tries = 0;
    // The history's failure, to tell after the try that met it (once a writer).
    QString historyWarning;
    // Why the front end calls the next try off before it starts (the run was
    // interrupted, or its stop line passed); empty: the try runs.
    std::string callOff;
};

// One try of the board: takes its lock on the first, opens its link, runs
// the request over a session that reports to `events`, and records what it
// came to; a board that cannot be had sends nothing and is recorded so. A
// try the front end calls off (`callOff`) sends nothing and is recorded as
// not started. The link is drained, when the try ran to its end and its last
// request went unanswered, after the record.
TBoardResult TryBoard(TBoardUpdate& board, TTryEvents& events);
// The same over a session whose link the front end holds open across its
// updates (the window's serial port and UDP component); the session's own
// events hear the try.
TBoardResult TryBoard(TBoardUpdate& board, TSession& session);

// The burn blocks of the two images.
inline constexpr std::int32_t FirmwareBurnBlock = 0;
inline constexpr std::int32_t BiosBurnBlock = 1;
