#include "cli/Status.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

#include "cli/ExitStatus.h"
#include "cli/Interrupt.h"
#include "transfer/engine/LinkSettings.h"
#include "transfer/board/BoardLock.h"
#include "transfer/engine/LinkScheduler.h"
#include "transfer/engine/Session.h"

namespace {

// What the session heard of the board: the answer it took, unless a frame of
// the board said otherwise. A board that answered more than once is not
// taken at its first word: a failure any of its frames reported stands.
void TakeAnswer(const TSessionTally& tally, TBoardStatus& status)
{
    status.answered = tally.missingAnswers == 0;
    status.bootError = tally.boardErrors.empty() ? tally.lastBootError : tally.boardErrors.front().bootError;
    status.result = tally.boardErrors.empty() ? 0 : tally.boardErrors.front().result;
    status.roundTripMs = tally.slowestAnswerMs;
    status.strayFrames = tally.strayAnswers;
}

TBoardStatus AskBoard(const TUpdatePlan& plan, std::size_t board)
{
    TBoardStatus status;
    status.board = plan.boards[board];
    const TLinkSettings settings = BoardLinkSettings(plan.options, status.board);
    const TPlannedBoard& planned = plan.identities[board];
    if (!planned.error.empty()) {
        status.error = planned.error;
        return status;
    }
    try {
        // Not while another updater updates it: the answer would be taken
        // for one of that update's.
        const std::optional<TBoardLock> lock = LockBoard(planned.identity);
        const std::unique_ptr<TOpenLink> open = OpenLink(settings, planned.identity.address);
        TSessionEvents events;
        TSession session(events);
        session.SetWatchdogMs(plan.options.watchdogMs);
        session.UseLink(open->Link());
        session.QueryBootError();
        open->Link().SetReceiver(nullptr);
        TakeAnswer(session.Tally(), status);
    } catch (const std::runtime_error& failure) {
        status.error = failure.what();
    }
    return status;
}

std::string Milliseconds(double value)
{
    return QString::number(value, 'f', 1).toStdString() + " ms";
}

// ", 2 stray frames: the board answered more than once", or nothing.
std::string StrayText(const TBoardStatus& status)
{
    if (status.strayFrames == 0)
        return {};
    return ", " + std::to_string(status.strayFrames) + " stray frame" + (status.strayFrames == 1 ? "" : "s") +
           ": the board answered more than once";
}

} // namespace

std::vector<TBoardStatus> AskBoards(const TUpdatePlan& plan)
{
    // The serial port hands its answers to the main thread; network boards
    // are asked all at once, each a task of the scheduler the updates run
    // on, so that silent ones cost one watchdog in all.
    if (plan.options.link == CliLink::Serial)
        return {AskBoard(plan, 0)};
    std::vector<TBoardStatus> statuses(plan.boards.size());
    TLinkScheduler scheduler;
    for (std::size_t board = 0; board < plan.boards.size(); ++board)
        scheduler.Spawn([&plan, &statuses, board] { statuses[board] = AskBoard(plan, board); });
    scheduler.Run();
    return statuses;
}

void PrintStatus(const std::vector<TBoardStatus>& statuses, bool json)
{
    for (const TBoardStatus& status : statuses) {
        if (json) {
            QJsonObject object{{"event", "status"},
                               {"board", QString::fromStdString(status.board)},
                               {"answered", status.answered},
                               {"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)}};
            if (status.answered) {
                object.insert("bootError", status.bootError);
                object.insert("roundTripMs", status.roundTripMs);
            }
            if (status.result != 0)
                object.insert("result", status.result);
            if (status.strayFrames > 0)
                object.insert("strayFrames", status.strayFrames);
            if (!status.error.empty()) {
                object.insert("linkFailed", true);
                object.insert("message", QString::fromStdString(status.error));
            }
            std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
        } else if (status.answered) {
            std::printf("%s: answered, boot error %d%s, round trip %s%s\n", status.board.c_str(), status.bootError,
                        status.result != 0 ? (", result " + std::to_string(status.result)).c_str() : "",
                        Milliseconds(status.roundTripMs).c_str(), StrayText(status).c_str());
        } else if (!status.error.empty()) {
            std::printf("%s: link failed: %s\n", status.board.c_str(), status.error.c_str());
        } else {
            std::printf("%s: no answer\n", status.board.c_str());
        }
    }
    std::fflush(stdout);
}

int StatusExit(const std::vector<TBoardStatus>& statuses)
{
    if (Interrupted())
        return InterruptedExitStatus();
    int exit = ExitUpdated;
    for (const TBoardStatus& status : statuses) {
        if (!status.error.empty())
            return ExitLinkFailed;
        if (!status.answered || status.bootError != 0 || status.result != 0 || status.strayFrames > 0)
            exit = ExitIncomplete;
    }
    return exit;
}
