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
    std::optional<std::string> tracePath;  // --trace: every frame, both ways
    bool dryRun = false;  // --dry-run: the plan, nothing sent but the search
    bool yes = false;     // --yes: a search's boards are updated unasked
    // history: --last, --board and --outcome
    int last = 0;  // 0: every update
    std::string historyBoard;
    std::string historyOutcome;
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
