// The command line of orvenda-update: what to send, over which link, and how
// to report it.
#pragma once

#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "network/BoardSearch.h"
#include "network/SearchPlan.h"
#include "transfer/engine/LinkSettings.h"
#include "transfer/engine/Session.h"

enum class CliCommand { Firmware, Bios, Flash, Data, Search, History, Status };
enum class CliLink { Saved, Serial, Udp, UdpSearch, Usb };

// A count of boards, or a share of all of them: "10", "25%".
struct TBoardCount {
    int value = 0;
    bool percent = false;
    // The count out of `boards`: a share rounded down, at least one board
    // for a wave (`least`).
    std::size_t Of(std::size_t boards, std::size_t least = 0) const;
};

struct TCliOptions {
    CliCommand command = CliCommand::Firmware;
    std::vector<std::string> files;
    CliLink link = CliLink::Saved;
    TSerialLine serial = DefaultSerialLine();
    std::vector<std::string> hosts;
    TSearchScope search;  // search and --udp-search: --interface and --range
    int searchSeconds = DefaultSearchTimeMs / 1000;  // --search-time: the whole search's bound
    int jobs = 0;  // 0: every board at once
    int watchdogMs = DefaultWatchdogMs;
    bool keepGoing = false;
    bool json = false;
    std::optional<std::string> passwordFile;
    int retries = 0;  // how often a failed or stopped board is updated again
    // --waves: the boards a wave takes, in turn; the last repeats. None: one
    // wave of every board.
    std::vector<TBoardCount> waves;
    // --max-failed: once more boards than this ended other than updated, no
    // further board is started.
    std::optional<TBoardCount> maxFailed;
    std::optional<std::string> boardsFrom;  // --boards-from: a file of boards, or "-"
    std::optional<std::string> tracePath;  // --trace: every frame, both ways
    bool dryRun = false;  // --dry-run: the plan, nothing sent but the search
    bool yes = false;     // --yes: a search's boards are updated unasked
    // history: --last, --board, --outcome, --run and --keys
    int last = 0;  // 0: every update
    std::string historyBoard;
    std::vector<std::string> historyOutcomes;  // the endings' words, any of them
    std::string historyRun;  // a run's id, or "last"
    bool historyKeys = false;
};

// The options, or the reason the command line is refused. `--help`,
// `--help-all` and `--version` print their text and end the program. `raw` is the command line as the system gave it
// (argv): file names are taken from it byte for byte, so that a name that is
// not UTF-8 still opens the file it names.
struct TParsedCommandLine {
    std::optional<TCliOptions> options;
    std::string error;
};
// Refuses --jobs on a link that updates one board; the saved link is known
// only once it has been read, so the update checks again then.
bool CheckJobsFitLink(const TCliOptions& options, std::string& error);

TParsedCommandLine ParseCommandLine(const QStringList& arguments, const std::vector<std::string>& raw = {});
