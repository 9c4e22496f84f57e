// A rollout an operator can trust: waves with a stop line, one run id on
// every record, and a redo of exactly the boards that did not update.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/cli/CliRunner.h"
#include "tests/support/BoardSim.h"

namespace {

// The loopback addresses of boards `first` to `last`, and as one --udp list.
std::vector<std::string> Addresses(int first, int last)
{
    std::vector<std::string> addresses;
    for (int k = first; k <= last; ++k)
        addresses.push_back(LoopbackAddress(k));
    return addresses;
}

std::string Joined(const std::vector<std::string>& parts, const std::string& between)
{
    std::string joined;
    for (const std::string& part : parts)
        joined += (joined.empty() ? "" : between) + part;
    return joined;
}

std::unique_ptr<BoardSim> Boards(const std::vector<std::string>& addresses, std::vector<std::string> options = {})
{
    options.insert(options.begin(), {"--udp", Joined(addresses, ",")});
    return std::make_unique<BoardSim>(options);
}

const QStringList NotUpdated = {"history", "--run", "last", "--outcome", "failed,unconfirmed,stopped,not-started",
                                "--keys"};

// Twelve boards in waves of 1, 25 % and the rest, at most one allowed to
// fail: two boards of the second wave report a boot error, so the third
// wave never starts, and its eight boards are sent nothing. Once the two are
// mended, the run's boards that did not update are updated again, exactly
// those; then nothing is left to do.
TEST(CliRollout, AStopLineHoldsBackTheLastWaveAndTheRedoTakesWhatDidNotUpdate)
{
    CliFolder folder;
    folder.WriteFile("app.hex", 3000);
    const std::vector<std::string> all = Addresses(1, 12);
    auto first = Boards(Addresses(1, 2));
    auto failing = Boards(Addresses(3, 4), {"--boot-error", "3"});
    auto third = Boards(Addresses(5, 12));

    const CliOutcome waves = folder.Run({"firmware", "app.hex", "--udp", QString::fromStdString(Joined(all, ",")),
                                         "--waves", "1,25%,100%", "--max-failed", "1", "--json"});
    EXPECT_EQ(waves.exitCode, 1) << waves.Printed();
    for (std::size_t k = 0; k < all.size(); ++k) {
        const char* expected = k < 2 ? "updated" : k < 4 ? "failed" : "not started";
        EXPECT_EQ(waves.DoneOf(all[k]).value("outcome").toString().toStdString(), expected) << all[k];
    }
    EXPECT_EQ(third->Count("frames"), 0u) << "a board of the third wave was sent something";
    const std::vector<QJsonObject> totals = waves.Events("totals");
    ASSERT_EQ(totals.size(), 1u) << waves.Printed();
    EXPECT_EQ(totals[0].value("notStarted").toInt(), 8);
    EXPECT_EQ(totals[0].value("failed").toInt(), 2);
    EXPECT_EQ(totals[0].value("exitStatus").toInt(), 1);
    const CliOutcome recorded = folder.Run({"history", "--json"});
    std::set<QString> runs;
    for (const QByteArray& line : QByteArray::fromStdString(recorded.out).split('\n'))
        if (!line.isEmpty())
            runs.insert(QJsonDocument::fromJson(line).object().value("run").toString());
    EXPECT_EQ(runs, std::set<QString>{totals[0].value("run").toString()}) << recorded.Printed();

    // Mended; the third wave's boards, stopped to be counted, run again, and
    // the first wave's afresh, to count what the redo sends them.
    first.reset();
    first = Boards(Addresses(1, 2));
    failing.reset();
    failing = Boards(Addresses(3, 4));
    third.reset();
    third = Boards(Addresses(5, 12));
    const CliOutcome keys = folder.Run(NotUpdated);
    std::vector<std::string> listed;
    for (const QByteArray& key : QByteArray::fromStdString(keys.out).split('\n'))
        if (!key.isEmpty())
            listed.push_back(key.toStdString());
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()),
              std::set<std::string>(all.begin() + 2, all.end()))
        << keys.Printed();
    EXPECT_EQ(listed.size(), 10u) << keys.Printed();
    const CliOutcome redo = folder.Run({"firmware", "app.hex", "--boards-from", "-", "--json"},
                                       QByteArray::fromStdString(keys.out));
    EXPECT_EQ(redo.exitCode, 0) << redo.Printed();
    EXPECT_EQ(redo.Events("done").size(), 10u) << redo.Printed();
    EXPECT_EQ(first->Count("frames"), 0u) << "a board that was updated was sent the image again";

    const CliOutcome left = folder.Run(NotUpdated);
    EXPECT_EQ(left.out, "") << left.Printed();
    const CliOutcome nothing = folder.Run({"firmware", "app.hex", "--boards-from", "-"}, QByteArray::fromStdString(left.out));
    EXPECT_EQ(nothing.exitCode, 0) << nothing.Printed();
    EXPECT_NE(nothing.err.find("nothing to do"), std::string::npos) << nothing.Printed();
}

} // namespace
