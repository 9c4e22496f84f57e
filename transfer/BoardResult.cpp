#include "transfer/BoardResult.h"

const char* OutcomeName(BoardOutcome outcome)
{
    return EndingName(EndingOfOutcome(outcome));
}

Ending EndingOfOutcome(BoardOutcome outcome)
{
    switch (outcome) {
    case BoardOutcome::Updated:
        return Ending::Updated;
    case BoardOutcome::Unconfirmed:
        return Ending::Unconfirmed;
    case BoardOutcome::Stopped:
    case BoardOutcome::Interrupted:
        return Ending::Stopped;
    case BoardOutcome::LinkFailed:
        return Ending::LinkFailed;
    case BoardOutcome::Failed:
        break;
    }
    return Ending::Failed;
}

double RateOf(const TBoardResult& result)
{
    return result.seconds > 0 ? static_cast<double>(result.bytes) / result.seconds : 0.0;
}
