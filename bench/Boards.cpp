#include "bench/Boards.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <stdexcept>

#include "bench/Command.h"
#include "bench/Transfers.h"
#include "bench/Usage.h"

namespace {

const std::string FleetNet = "127.0.0.";

// The fleet the goal is set for; the other sizes are shown beside it.
constexpr int GoalBoards = 8;
const Goal FleetGoal = Goal::AtMost(1.25);

// A run of the largest fleet takes seconds; this only ends a hung one.
constexpr int UpdateLimitMs = 300000;

const QString EventKey = QStringLiteral("event");
const QString DoneEvent = QStringLiteral("done");

// The "done" events among the JSON lines of the updater's output.
std::size_t DoneEvents(const QByteArray& output)
{
    std::size_t done = 0;
    for (const QByteArray& line : output.split('\n')) {
        const QJsonDocument event = QJsonDocument::fromJson(line);
        if (event.isObject() && event.object().value(EventKey).toString() == DoneEvent)
            ++done;
    }
    return done;
}

} // namespace

BoardFleet::BoardFleet(int boards, int firstHost)
{
    for (int index = 0; index < boards; ++index) {
        addresses_.push_back(FleetNet + std::to_string(firstHost + index));
        boards_.push_back(std::make_unique<BoardSim>(std::vector<std::string>{
            "--udp", addresses_.back(), "--delay", std::to_string(LanRoundTripMs)}));
    }
}

std::string BoardFleet::AddressList() const
{
    std::string list;
    for (const std::string& address : addresses_)
        list += (list.empty() ? "" : ",") + address;
    return list;
}

std::size_t BoardFleet::StopAll()
{
    std::size_t clean = 0;
    for (const auto& board : boards_)
        clean += board->Stop() == 0 ? 1 : 0;
    return clean;
}

double UpdateFleet(const std::filesystem::path& updater, const std::string& image, std::uint64_t size,
                   const BoardFleet& fleet)
{
    const std::string what = "orvenda-update of " + std::to_string(fleet.Size()) + " boards";
    const Stopwatch clock;
    const CommandResult run = RunToEnd(QString::fromStdString(updater.string()),
                                       {QStringLiteral("firmware"), QString::fromStdString(image),
                                        QStringLiteral("--udp"), QString::fromStdString(fleet.AddressList()),
                                        QStringLiteral("--json")},
                                       UpdateLimitMs, what);
    const double wallSeconds = clock.Elapsed().wallSeconds;
    if (run.exitCode != 0)
        throw std::runtime_error(what + " ended with exit status " + std::to_string(run.exitCode));
    const std::size_t done = DoneEvents(run.output);
    if (done != fleet.Size())
        throw std::runtime_error(what + " reported " + std::to_string(done) + " boards done");
    for (std::size_t index = 0; index < fleet.Size(); ++index) {
        try {
            CheckBoardKeptImage(fleet.Board(index), image, size);
        } catch (const std::exception& error) {
            throw std::runtime_error(fleet.Address(index) + ": " + error.what());
        }
    }
    return wallSeconds;
}

Figure FleetFigure(int boards, double wallSeconds, double oneBoardSeconds)
{
    return {"boards, " + std::to_string(boards) + " at once over UDP", {wallSeconds, "s"}, {oneBoardSeconds, "s"},
            "one board alone; each answers after " + std::to_string(LanRoundTripMs) + " ms",
            boards == GoalBoards ? FleetGoal : Goal::Informative(), ""};
}
