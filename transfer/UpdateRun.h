// One update as both front ends run it: what to send, and the run that sends
// it over the session's link, times it and maps every error and stop to an
// ending.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transfer/BoardResult.h"
#include "transfer/History.h"
#include "transfer/Session.h"

// What to send.
struct TUpdateRequest {
    HistoryKind kind = HistoryKind::Firmware;
    std::vector<std::string> files;  // one image, or the flash files, or the data file
};

// Runs the request on the session over the link it uses and returns what it
// came to: every error and stop mapped to an ending, the tally's counts, the
// time it took. `board` names the board.
TBoardResult RunUpdate(TSession& session, const TUpdateRequest& request, const std::string& board);

// The burn blocks of the two images.
inline constexpr std::int32_t FirmwareBurnBlock = 0;
inline constexpr std::int32_t BiosBurnBlock = 1;
