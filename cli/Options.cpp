#include "cli/Options.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <map>

#include "serial/SerialChoices.h"
#include "transfer/board/Ending.h"

namespace {

// The flash-file selection never holds more than this many files.
constexpr std::size_t MaxFlashFiles = 10;

const QString Usage = QStringLiteral(R"(Usage: orvenda-update COMMAND [FILE...] [OPTIONS]
Updates recorder boards over a serial line, the local network or USB.

Commands:
  firmware IMAGE      send a firmware image (burn block 0)
  bios IMAGE          send a BIOS image (burn block 1); asks for the password
  flash FILE...       write up to 10 files into the board's flash store
  data FILE           write the data file and have the board burn it
  search              list the boards that answer the network search
  status              ask each board for its boot error; nothing is burnt
  history             show the updates made on this machine
)");

const QString ExitStatuses = QStringLiteral(R"(
Exit status:
  0    every board updated (status: every board answered with boot error 0)
  1    a board unconfirmed (answers missing, stray frames), failed (a board
       error, a refused file, a broken link, nothing sent), stopped or not
       started; no board found by a search
  2    a bad command line, a file that cannot be read, a board named twice,
       an address that is no single board's, an update not confirmed;
       nothing was sent
  3    link failed: a link that cannot be opened, or a board another updater
       holds
  129  ended by SIGHUP, 130 by Ctrl-C (SIGINT), 143 by SIGTERM
Without a link option the link saved in ZEVEVI.CFG of the working folder is
used, as the window would use it.
)");

const QString Examples = QStringLiteral(R"(
Examples:
  orvenda-update firmware app.hex --serial /dev/ttyUSB0
  orvenda-update firmware app.hex --serial COM1 --baud 38400
  orvenda-update firmware app.hex --udp 192.168.0.10
  orvenda-update firmware app.hex --udp-search --dry-run
  orvenda-update firmware app.hex --udp-search --yes --jobs 4 --json
  orvenda-update bios QLTBIOS.HEX --serial COM1 --password-file bios.pw
  orvenda-update flash logo.bin fonts.bin --udp 192.168.0.10,192.168.0.11
  orvenda-update data Flash.dat
  orvenda-update search --interface eth1 --range 10.1.2.0/24
  orvenda-update status --udp-search
  orvenda-update history --last 20 --outcome failed
  orvenda-update firmware app.hex --boards-from boards.txt \
    --waves 1,25%,100% --max-failed 1
  orvenda-update history --run last --keys \
    --outcome failed,unconfirmed,stopped,not-started |
    orvenda-update firmware app.hex --boards-from -
)");

// Where an option's description starts, and the width the help keeps to.
constexpr qsizetype HelpIndent = 26;
constexpr qsizetype HelpWidth = 79;

struct TOptionGroup {
    const char* title;
    QList<QCommandLineOption> options;
};

// "  --name VALUE" and its description, wrapped at the help's width.
QString HelpLines(const QCommandLineOption& option)
{
    QStringList names;
    for (const QString& name : option.names())
        names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    QString head = QStringLiteral("  ") + names.join(QStringLiteral(", "));
    if (!option.valueName().isEmpty())
        head += ' ' + option.valueName();
    const QString indent(HelpIndent, ' ');
    QString text = head.size() < HelpIndent ? head.leftJustified(HelpIndent) : head + '\n' + indent;
    qsizetype column = HelpIndent;
    bool lineStart = true;
    for (const QString& word : option.description().split(' ')) {
        if (!lineStart && column + 1 + word.size() > HelpWidth) {
            text += '\n' + indent;
            column = HelpIndent;
            lineStart = true;
        }
        if (!lineStart) {
            text += ' ';
            ++column;
        }
        text += word;
        column += word.size();
        lineStart = false;
    }
    return text + '\n';
}

QString HelpText(const std::vector<TOptionGroup>& groups, bool all)
{
    QString text = Usage;
    for (const TOptionGroup& group : groups) {
        text += '\n' + QString::fromLatin1(group.title) + ":\n";
        for (const QCommandLineOption& option : group.options)
            text += HelpLines(option);
    }
    return text + ExitStatuses + (all ? Examples : QString());
}

struct TCommandShape {
    CliCommand command;
    std::size_t minFiles;
    std::size_t maxFiles;
};

const std::map<QString, TCommandShape> Commands = {
    {"firmware", {CliCommand::Firmware, 1, 1}}, {"bios", {CliCommand::Bios, 1, 1}},
    {"flash", {CliCommand::Flash, 1, MaxFlashFiles}}, {"data", {CliCommand::Data, 1, 1}},
    {"search", {CliCommand::Search, 0, 0}},     {"history", {CliCommand::History, 0, 0}},
    {"status", {CliCommand::Status, 0, 0}},
};

// The position of `text` among a choice table's texts (case ignored).
template <std::size_t Count>
std::optional<std::size_t> PositionOf(const std::array<std::string_view, Count>& texts, const QString& text)
{
    for (std::size_t k = 0; k < Count; ++k)
        if (text.compare(QLatin1String(texts[k].data(), static_cast<qsizetype>(texts[k].size())),
                         Qt::CaseInsensitive) == 0)
            return k;
    return std::nullopt;
}

template <std::size_t Count>
QString Listed(const std::array<std::string_view, Count>& texts)
{
    QStringList names;
    for (std::string_view text : texts)
        names << QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    return names.join(QStringLiteral(", "));
}

// Sets `target` from the option's value looked up in a choice table; false
// with the error filled in when the value is not one of the choices.
template <typename T, std::size_t Count>
bool Choose(const QCommandLineParser& parser, const QString& option, const std::array<std::string_view, Count>& texts,
            const std::array<T, Count>& choices, T& target, std::string& error)
{
    if (!parser.isSet(option))
        return true;
    const std::optional<std::size_t> position = PositionOf(texts, parser.value(option));
    if (!position) {
        error = ("--" + option + " must be one of " + Listed(texts)).toStdString();
        return false;
    }
    target = choices[*position];
    return true;
}

// A whole number of at least `least`.
std::optional<int> NumberFrom(const QString& text, int least)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok && value >= least ? std::optional<int>(value) : std::nullopt;
}

bool ReadNumber(const QCommandLineParser& parser, const QString& option, int& target, std::string& error,
                int least = 1)
{
    if (!parser.isSet(option))
        return true;
    const std::optional<int> value = NumberFrom(parser.value(option), least);
    if (!value) {
        error = ("--" + option + " needs a whole number of at least " + QString::number(least) + ", not \"" +
                 parser.value(option) + "\"")
                    .toStdString();
        return false;
    }
    target = *value;
    return true;
}

std::optional<CliLink> ChosenLink(const QCommandLineParser& parser, std::string& error)
{
    const std::array<std::pair<QString, CliLink>, 4> links = {
        {{"serial", CliLink::Serial}, {"udp", CliLink::Udp}, {"udp-search", CliLink::UdpSearch}, {"usb", CliLink::Usb}}};
    CliLink link = CliLink::Saved;
    int chosen = 0;
    for (const auto& [name, kind] : links) {
        if (parser.isSet(name)) {
            link = kind;
            ++chosen;
        }
    }
    if (chosen > 1) {
        error = "give at most one of --serial, --udp, --udp-search and --usb";
        return std::nullopt;
    }
    return link;
}

QString RateList(const std::vector<std::int32_t>& rates)
{
    QStringList texts;
    for (std::int32_t rate : rates)
        texts << QString::number(rate);
    return texts.join(QStringLiteral(", "));
}

// Every rate --baud takes, lowest first.
std::vector<std::int32_t> AcceptedRates()
{
    std::vector<std::int32_t> rates = DriverBaudRates();
    for (std::string_view text : BaudRateTexts)
        rates.push_back(std::stoi(std::string(text)));
    std::sort(rates.begin(), rates.end());
    rates.erase(std::unique(rates.begin(), rates.end()), rates.end());
    return rates;
}

// The window's rates by their names, and every other rate the driver can set
// as a custom rate.
bool ReadBaud(const QCommandLineParser& parser, TSerialLine& line, std::string& error)
{
    if (!parser.isSet("baud"))
        return true;
    const QString text = parser.value("baud");
    if (const std::optional<std::size_t> position = PositionOf(BaudRateTexts, text)) {
        line.baudRate = BaudRates[*position];
        return true;
    }
    const std::vector<std::int32_t> rates = DriverBaudRates();
    bool ok = false;
    const int rate = text.toInt(&ok);
    if (!ok || std::find(rates.begin(), rates.end(), rate) == rates.end()) {
        error = ("--baud must be one of " + RateList(AcceptedRates()) + ", not \"" + text + "\"").toStdString();
        return false;
    }
    line.baudRate = brCustom;
    line.customBaudRate = rate;
    return true;
}

// 1.5 stop bits is one of the window's choices, but no serial line here can
// take it: refused before anything is opened.
bool CheckStopBits(const TSerialLine& line, std::string& error)
{
    if (line.stopBits != sbOne5StopBits)
        return true;
    error = "--stop-bits 1.5 cannot be set on this system's serial lines: use 1 or 2";
    return false;
}

bool ReadSerialLine(const QCommandLineParser& parser, TCliOptions& options, std::string& error)
{
    const bool lineOptions = parser.isSet("baud") || parser.isSet("data-bits") || parser.isSet("parity") ||
                             parser.isSet("stop-bits");
    if (lineOptions && options.link != CliLink::Serial) {
        error = "--baud, --data-bits, --parity and --stop-bits go with --serial";
        return false;
    }
    if (options.link == CliLink::Serial)
        options.serial.port = parser.value("serial").toStdString();
    return ReadBaud(parser, options.serial, error) &&
           Choose(parser, "data-bits", DataBitsTexts, DataBitsChoices, options.serial.dataBits, error) &&
           Choose(parser, "parity", ParityTexts, ParityChoices, options.serial.parity, error) &&
           Choose(parser, "stop-bits", StopBitsTexts, StopBitsChoices, options.serial.stopBits, error) &&
           CheckStopBits(options.serial, error);
}

bool ReadHosts(const QCommandLineParser& parser, TCliOptions& options, std::string& error)
{
    if (options.link != CliLink::Udp || !parser.isSet("udp"))
        return true;
    // Every --udp adds its hosts. A board named twice is updated once: two
    // sessions would share its answers.
    for (const QString& host : parser.values("udp").join(QLatin1Char(',')).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const std::string name = host.trimmed().toStdString();
        if (std::find(options.hosts.begin(), options.hosts.end(), name) == options.hosts.end())
            options.hosts.push_back(name);
    }
    if (options.hosts.empty())
        error = "--udp needs at least one host";
    return !options.hosts.empty();
}

// --interface and --range, each as often as given; an interface named twice
// is searched once.
bool ReadSearchScope(const QCommandLineParser& parser, TCliOptions& options, std::string& error)
{
    std::vector<std::string>& interfaces = options.search.interfaces;
    for (const QString& name : parser.values("interface")) {
        if (std::find(interfaces.begin(), interfaces.end(), name.toStdString()) == interfaces.end())
            interfaces.push_back(name.toStdString());
    }
    for (const QString& text : parser.values("range")) {
        const std::optional<TAddressRange> range = ParseAddressRange(text.toStdString(), error);
        if (!range) {
            error = "--range: " + error;
            return false;
        }
        options.search.ranges.push_back(*range);
    }
    return true;
}

// The argument as the system gave it: the first raw argument that decodes to
// `decoded`, or its UTF-8 bytes when there is none.
std::string RawArgument(const QString& decoded, const std::vector<std::string>& raw)
{
    for (const std::string& argument : raw)
        if (QString::fromLocal8Bit(argument) == decoded)
            return argument;
    return decoded.toStdString();
}

bool ReadCommand(const QStringList& positional, const std::vector<std::string>& raw, TCliOptions& options,
                 std::string& error)
{
    if (positional.isEmpty()) {
        error = "no command given (firmware, bios, flash, data, search, status or history)";
        return false;
    }
    const auto shape = Commands.find(positional.front());
    if (shape == Commands.end()) {
        error = "unknown command \"" + positional.front().toStdString() + "\"";
        return false;
    }
    const std::size_t files = static_cast<std::size_t>(positional.size() - 1);
    if (files < shape->second.minFiles || files > shape->second.maxFiles) {
        error = positional.front().toStdString() + " takes " +
                (shape->second.minFiles == shape->second.maxFiles
                     ? std::to_string(shape->second.minFiles)
                     : std::to_string(shape->second.minFiles) + " to " + std::to_string(shape->second.maxFiles)) +
                " file(s), not " + std::to_string(files);
        return false;
    }
    options.command = shape->second.command;
    for (qsizetype k = 1; k < positional.size(); ++k)
        options.files.push_back(RawArgument(positional[k], raw));
    return true;
}

// The options only an update takes, which history and search refuse, and
// the search's own, which history refuses too.
const std::array<const char*, 19> UpdateOptions = {
    "serial",   "baud",    "data-bits", "parity",        "stop-bits", "udp",   "udp-search",
    "usb",      "jobs",    "watchdog",  "keep-going",    "password-file", "retries", "trace",
    "dry-run",  "yes",     "waves",     "max-failed",    "boards-from"};
const std::array<const char*, 3> SearchOptions = {"interface", "range", "search-time"};
// The options of an update that writes, which status refuses.
const std::array<const char*, 9> WritingOptions = {"jobs",    "keep-going", "password-file",
                                                   "retries", "trace",      "dry-run",
                                                   "yes",     "waves",      "max-failed"};

template <std::size_t Count>
bool RefuseOptions(const QCommandLineParser& parser, const std::array<const char*, Count>& names,
                   const std::string& command, const std::string& why, std::string& error)
{
    for (const char* option : names) {
        if (parser.isSet(option)) {
            error = "--" + std::string(option) + " does not go with " + command + ": " + why;
            return false;
        }
    }
    return true;
}

bool CheckCombination(const QCommandLineParser& parser, const TCliOptions& options, std::string& error)
{
    const std::string searchWhy = "it searches the networks itself (see --interface and --range)";
    const std::string historyWhy = "it only reads the updates made on this machine";
    if (options.command == CliCommand::Search && !RefuseOptions(parser, UpdateOptions, "search", searchWhy, error))
        return false;
    if (options.command == CliCommand::History &&
        (!RefuseOptions(parser, UpdateOptions, "history", historyWhy, error) ||
         !RefuseOptions(parser, SearchOptions, "history", historyWhy, error)))
        return false;
    if (options.command == CliCommand::Status &&
        !RefuseOptions(parser, WritingOptions, "status", "it only asks each board for its boot error", error))
        return false;
    const bool searches = options.command == CliCommand::Search || options.link == CliLink::UdpSearch;
    if ((!options.search.Everywhere() || parser.isSet("search-time")) && !searches) {
        error = "--interface, --range and --search-time go with search or --udp-search";
        return false;
    }
    for (const char* option : {"last", "board", "outcome", "run", "keys"}) {
        if (parser.isSet(option) && options.command != CliCommand::History) {
            error = "--" + std::string(option) + " goes with the history command";
            return false;
        }
    }
    if (parser.isSet("password-file") && options.command != CliCommand::Bios) {
        error = "--password-file goes with the bios command";
        return false;
    }
    return CheckJobsFitLink(options, error);
}

// "12" or "25%": a count of at least `least`, or a share from 1 % to 100 %.
std::optional<TBoardCount> BoardCountFrom(QString text, int least)
{
    TBoardCount count;
    count.percent = text.endsWith('%');
    if (count.percent)
        text.chop(1);
    const std::optional<int> value = NumberFrom(text, count.percent ? 1 : least);
    if (!value || (count.percent && *value > 100))
        return std::nullopt;
    count.value = *value;
    return count;
}

bool ReadWaves(const QCommandLineParser& parser, TCliOptions& options, std::string& error)
{
    if (parser.isSet("waves")) {
        for (const QString& item : parser.value("waves").split(',')) {
            const std::optional<TBoardCount> wave = BoardCountFrom(item.trimmed(), 1);
            if (!wave) {
                error = "--waves needs counts of at least 1 or shares from 1% to 100%, such as 1,10%,100%; not \"" +
                        parser.value("waves").toStdString() + "\"";
                return false;
            }
            options.waves.push_back(*wave);
        }
    }
    if (parser.isSet("max-failed")) {
        options.maxFailed = BoardCountFrom(parser.value("max-failed").trimmed(), 0);
        if (!options.maxFailed) {
            error = "--max-failed needs a count of boards (0 or more) or a share from 1% to 100%, not \"" +
                    parser.value("max-failed").toStdString() + "\"";
            return false;
        }
    }
    return true;
}

// --outcome's words, each one of the endings.
bool ReadOutcomes(const QCommandLineParser& parser, TCliOptions& options, std::string& error)
{
    if (!parser.isSet("outcome"))
        return true;
    for (const QString& word : parser.value("outcome").split(',', Qt::SkipEmptyParts)) {
        const std::optional<Ending> ending = EndingNamed(word.trimmed().toStdString());
        if (!ending) {
            std::string names;
            for (std::size_t k = 0; k < EndingCount; ++k)
                names += (k == 0 ? "" : ", ") + QString::fromLatin1(EndingName(static_cast<Ending>(k)))
                                                     .replace(' ', '-')
                                                     .toStdString();
            error = "--outcome takes " + names + ", not \"" + word.toStdString() + "\"";
            return false;
        }
        options.historyOutcomes.emplace_back(EndingName(*ending));
    }
    return true;
}

void PrintAndExit(const QString& text)
{
    std::fputs(qPrintable(text), stdout);
    std::exit(0);
}

} // namespace

bool CheckJobsFitLink(const TCliOptions& options, std::string& error)
{
    const bool many = options.jobs != 0 || !options.waves.empty() || options.maxFailed || options.boardsFrom;
    if (!many || options.link == CliLink::Saved || options.link == CliLink::Udp || options.link == CliLink::UdpSearch)
        return true;
    error = "--jobs, --waves, --max-failed and --boards-from go with --udp or --udp-search: this link updates "
            "one board";
    return false;
}

std::size_t TBoardCount::Of(std::size_t boards, std::size_t least) const
{
    const std::size_t count = percent ? boards * static_cast<std::size_t>(value) / 100 : static_cast<std::size_t>(value);
    return std::max(count, least);
}

TParsedCommandLine ParseCommandLine(const QStringList& arguments, const std::vector<std::string>& raw)
{
    QCommandLineParser parser;
    const QCommandLineOption help({"h", "help"}, "Print this help and end.");
    const QCommandLineOption helpAll("help-all", "Print this help and the examples, and end.");
    const QCommandLineOption version({"V", "version"}, "Print the version and end.");
    const std::vector<TOptionGroup> groups = {
        {"Link", {
            {"serial", "The serial port: a device path, or COM1 to COM4 as in the window.", "PORT"},
            {"baud", "Serial bit rate: " + RateList(AcceptedRates()) + " (default 115200).", "RATE"},
            {"data-bits", "Serial data bits: " + Listed(DataBitsTexts) + " (default 8).", "BITS"},
            {"parity", "Serial parity: " + Listed(ParityTexts) + " (default None).", "PARITY"},
            {"stop-bits", "Serial stop bits: 1 or 2 (default 1).", "BITS"},
            {"udp", "The boards at these addresses, over UDP (repeatable); two spellings of one address are "
                    "refused.", "HOST[,HOST...]"},
            {"udp-search", "Every board that answers the network search, over UDP; listed, then confirmed "
                           "(see --yes)."},
            {"interface", "With search or --udp-search: search the network of interface NAME only, not every "
                          "network (repeatable).", "NAME"},
            {"range", "With search or --udp-search: ask each address of CIDR (at most 1024), for boards behind a "
                      "router; alone, no broadcast is sent (repeatable).", "CIDR"},
            {"search-time", "With search or --udp-search: end the search after S seconds at most (default 10).",
             "S"},
            {"usb", "The USB link (no transport: nothing is sent; the update fails)."},
        }},
        {"What to send", {
            {"password-file", "With bios: read the BIOS password from the first line of F.", "F"},
            {"dry-run", "Resolve the boards (search included), check every file and print the plan; send "
                        "nothing but the search."},
        }},
        {"Run", {
            {"yes", "Update the boards a search found without asking; without it and without a terminal "
                    "such an update is refused."},
            {"jobs", "Over UDP, update at most N boards at a time (default: all).", "N"},
            {"watchdog", "How long to wait for each answer, in milliseconds (default 10000).", "MS"},
            {"keep-going", "Go on with a board that missed three answers in a row."},
            {"retries", "Update a board whose update failed or stopped again from the start, up to N times "
                        "(default 0).", "N"},
            {"waves", "Over UDP, update the boards in waves of these sizes, counts or shares (1,10%,100%); "
                      "each starts when the one before has ended, the last size repeats.", "LIST"},
            {"max-failed", "Over UDP, start no further board once more than N (or P% of the boards) ended "
                           "other than updated; those left end not started.", "N|P%"},
            {"boards-from", "Update the boards of FILE over UDP, one a line (# comments, blank lines); - reads "
                            "standard input.", "FILE"},
        }},
        {"History", {
            {"last", "With history: the last N updates only.", "N"},
            {"board", "With history: the updates of board KEY only (as the table names it).", "KEY"},
            {"outcome", "With history: the updates that ended so only, one or several (failed,not-started).",
             "WORD[,WORD...]"},
            {"run", "With history: the updates of one run only: its id, or last.", "ID"},
            {"keys", "With history: print the chosen updates' boards, one a line, for --boards-from."},
        }},
        {"Output", {
            {"json", "Report as JSON, one object a line, on standard output."},
            {"trace", "Write every frame, both ways, to FILE: time, board, direction, bytes in hex.", "FILE"},
            help, helpAll, version,
        }},
    };
    for (const TOptionGroup& group : groups)
        parser.addOptions(group.options);
    if (!parser.parse(arguments))
        return {std::nullopt, parser.errorText().toStdString()};
    // Each prints its text and ends the program before anything is opened.
    if (parser.isSet(help) || parser.isSet(helpAll))
        PrintAndExit(HelpText(groups, parser.isSet(helpAll)));
    if (parser.isSet(version))
        PrintAndExit(QLatin1String("orvenda-update " ORVENDA_VERSION "\n"));

    TCliOptions options;
    std::string error;
    const std::optional<CliLink> link = ChosenLink(parser, error);
    if (!link)
        return {std::nullopt, error};
    options.link = *link;
    options.keepGoing = parser.isSet("keep-going");
    options.json = parser.isSet("json");
    options.dryRun = parser.isSet("dry-run");
    options.yes = parser.isSet("yes");
    options.historyBoard = parser.value("board").toStdString();
    options.historyRun = parser.value("run").toStdString();
    options.historyKeys = parser.isSet("keys");
    if (parser.isSet("boards-from")) {
        options.boardsFrom = parser.value("boards-from").toStdString();
        // The boards of the file are the network's.
        if (options.link == CliLink::Saved)
            options.link = CliLink::Udp;
        else if (options.link == CliLink::UdpSearch)
            return {std::nullopt, "give either --boards-from or --udp-search: both choose the boards"};
    }
    if (parser.isSet("password-file"))
        options.passwordFile = parser.value("password-file").toStdString();
    if (parser.isSet("trace"))
        options.tracePath = parser.value("trace").toStdString();
    const bool ok = ReadCommand(parser.positionalArguments(), raw, options, error) &&
                    ReadSerialLine(parser, options, error) && ReadHosts(parser, options, error) &&
                    ReadSearchScope(parser, options, error) &&
                    ReadNumber(parser, "jobs", options.jobs, error) &&
                    ReadNumber(parser, "watchdog", options.watchdogMs, error) &&
                    ReadNumber(parser, "retries", options.retries, error, 0) &&
                    ReadNumber(parser, "last", options.last, error) &&
                    ReadNumber(parser, "search-time", options.searchSeconds, error) &&
                    ReadOutcomes(parser, options, error) && ReadWaves(parser, options, error) &&
                    CheckCombination(parser, options, error);
    if (!ok)
        return {std::nullopt, error};
    return {options, {}};
}
