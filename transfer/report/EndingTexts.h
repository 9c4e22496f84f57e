// Why an update came to its ending, in a technician's words, as both front
// ends tell it and the history records it; and the first board error as one
// JSON object for the command line's events and the history's lines.
#pragma once

#include <QJsonObject>

#include <string>

#include "transfer/engine/Session.h"

// Why a transfer that ran to its end is not Updated, one clause each: the
// board's errors (BoardErrorsClause), the first missing answer with the hint
// for the link (`serial`: the cable, the port and the bit rate; else the
// network), the strays; empty when nothing went wrong.
std::string EndingReason(const TSessionTally& tally, bool serial);

// The first board error, where it came and how many there were in all:
// "the board reported boot error 3 after block 257", "the board refused
// settings.bin (CreateFlashFile, result 9); it was not written (2
// board-reported errors in all)"; empty when the board reported none.
std::string BoardErrorsClause(const TSessionTally& tally);

// The same as a sentence of its own, for a warning; empty when there was
// none.
std::string DescribeBoardErrors(const TSessionTally& tally);

// "no answer to the boot-error query after block 12 within 10 s".
std::string MissingAnswerText(const TMissingAnswer& missing);

// What the board sent that answered nothing waited for; empty when there was
// nothing.
std::string DescribeStrays(const TSessionTally& tally);

// The first board error's facts: the wait, the block, the result and the
// boot error.
QJsonObject BoardErrorObject(const TBoardError& error);
