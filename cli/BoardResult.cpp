#include "cli/BoardResult.h"

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

double RateOf(const TBoardResult& result)
{
    return result.seconds > 0 ? static_cast<double>(result.bytes) / result.seconds : 0.0;
}
