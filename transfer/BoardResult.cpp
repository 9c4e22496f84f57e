#include "transfer/BoardResult.h"

const char* OutcomeName(BoardOutcome outcome)
{
    switch (outcome) {
    case BoardOutcome::Updated:
        return "updated";
    case BoardOutcome::Warnings:
        return "warnings";
    case BoardOutcome::Failed:
        return "failed";
    case BoardOutcome::Stopped:
        return "stopped";
    case BoardOutcome::Interrupted:
        return "interrupted";
    case BoardOutcome::LinkFailed:
        return "link failed";
    }
    return "";
}

HistoryOutcome HistoryOutcomeOf(BoardOutcome outcome)
{
    switch (outcome) {
    case BoardOutcome::Updated:
        return HistoryOutcome::Updated;
    case BoardOutcome::Warnings:
        return HistoryOutcome::Warnings;
    case BoardOutcome::Stopped:
    case BoardOutcome::Interrupted:
        return HistoryOutcome::Stopped;
    case BoardOutcome::Failed:
    case BoardOutcome::LinkFailed:
        break;
    }
    return HistoryOutcome::Failed;
}

double RateOf(const TBoardResult& result)
{
    return result.seconds > 0 ? static_cast<double>(result.bytes) / result.seconds : 0.0;
}
