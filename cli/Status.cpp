#include "cli/Status.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <thread>

#include "cli/ExitStatus.h"
#include "cli/Interrupt.h"
#include "transfer/BoardLock.h"
#include "transfer/Session.h"

namespace {

// The boot-error query, as the image stream sends it after every block.
const std::string BootErrorQuery = " GetBootError :";
const std::string BootErrorWait = "GetBootError";
constexpr Byte BootErrorGroup = 0x13;
constexpr Byte BootErrorOperation = 0x01;

// Takes the boot error from the board's answer to the query.
class TStatusEvents : public TSessionEvents {
public:
    explicit TStatusEvents(TBoardStatus& status) : status_(status) {}

    void Answer(const DecodeOutcome& outcome) override
    {
        if (outcome.answer == nullptr || outcome.discarded || outcome.group != BootErrorGroup ||
            outcome.operation != BootErrorOperation)
            return;
        status_.answered = true;
        status_.bootError = outcome.bootError;
        status_.roundTripMs = static_cast<double>(sent_.nsecsElapsed()) / 1e6;
    }
    void Frame(FrameDirection direction, std::span<const Byte> /*bytes*/, bool /*stray*/) override
    {
        if (direction == FrameDirection::Sent)
            sent_.start();
    }

private:
    TBoardStatus& status_;
    QElapsedTimer sent_;
};

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
        TStatusEvents events(status);
        TSession session(events);
        session.SetWatchdogMs(plan.options.watchdogMs);
        session.UseLink(open->Link());
        session.StartTally();
        session.Execute_Command(BootErrorQuery);
        if (!open->Link().ReadsEachAnswer())
            session.WaitAck(BootErrorWait);
        open->Link().SetReceiver(nullptr);
    } catch (const std::runtime_error& failure) {
        status.error = failure.what();
    }
    return status;
}

std::string Milliseconds(double value)
{
    return QString::number(value, 'f', 1).toStdString() + " ms";
}

} // namespace

std::vector<TBoardStatus> AskBoards(const TUpdatePlan& plan)
{
    // The serial port hands its answers to the main thread; network boards
    // are asked all at once, so that silent ones cost one watchdog in all.
    if (plan.options.link == CliLink::Serial)
        return {AskBoard(plan, 0)};
    std::vector<TBoardStatus> statuses(plan.boards.size());
    std::vector<std::thread> askers;
    for (std::size_t board = 0; board < plan.boards.size(); ++board)
        askers.emplace_back([&plan, &statuses, board] { statuses[board] = AskBoard(plan, board); });
    for (std::thread& asker : askers)
        asker.join();
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
            if (!status.error.empty())
                object.insert("message", QString::fromStdString(status.error));
            std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
        } else if (status.answered) {
            std::printf("%s: answered, boot error %d, round trip %s\n", status.board.c_str(), status.bootError,
                        Milliseconds(status.roundTripMs).c_str());
        } else {
            std::printf("%s: no answer%s%s\n", status.board.c_str(), status.error.empty() ? "" : ": ",
                        status.error.c_str());
        }
    }
    std::fflush(stdout);
}

int StatusExit(const std::vector<TBoardStatus>& statuses)
{
    if (Interrupted())
        return InterruptedExitStatus();
    for (const TBoardStatus& status : statuses) {
        if (!status.answered || status.bootError != 0)
            return ExitIncomplete;
    }
    return ExitUpdated;
}
