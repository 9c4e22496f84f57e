#include "tools/boardsim/Options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <functional>
#include <limits>

namespace boardsim {

namespace {

constexpr int Decimal = 10;
constexpr int Hexadecimal = 16;
constexpr std::uint32_t ByteMax = std::numeric_limits<std::uint8_t>::max();
constexpr std::uint32_t PortMax = std::numeric_limits<std::uint16_t>::max();
constexpr std::uint32_t CountMax = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t DatagramMax = 65507;  // the largest IPv4 UDP payload
constexpr std::uint32_t MillisecondsMax = 600000;

using Result = std::optional<std::string>;  // an error, or nothing when fine

template <typename T>
std::variant<T, std::string> Number(const std::string& option, const std::string& text, std::uint32_t max,
                                    int base = Decimal)
{
    std::uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || ec != std::errc{} || ptr != end || value > max) {
        return option + ": '" + text + "' is not a number from 0 to " + std::to_string(max);
    }
    return static_cast<T>(value);
}

// Assigns a parsed number, or returns the error.
template <typename T>
Result Assign(T& target, const std::string& option, const std::string& text, std::uint32_t max)
{
    auto parsed = Number<T>(option, text, max);
    if (auto* error = std::get_if<std::string>(&parsed)) {
        return *error;
    }
    target = std::get<T>(parsed);
    return std::nullopt;
}

Result AssignMilliseconds(Milliseconds& target, const std::string& option, const std::string& text)
{
    std::uint32_t value = 0;
    if (auto error = Assign(value, option, text, MillisecondsMax)) {
        return error;
    }
    target = Milliseconds{value};
    return std::nullopt;
}

std::vector<std::string> Split(const std::string& text, const std::string& separators)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find_first_of(separators, start)) != std::string::npos; start = end + 1) {
        parts.push_back(text.substr(start, end - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

Result HexBytes(Bytes& target, const std::string& option, const std::string& text)
{
    auto bytes = ParseHexBytes(text);
    if (!bytes) {
        return option + ": '" + text + "' is not a list of hexadecimal bytes (e.g. 00,55,A5)";
    }
    target = std::move(*bytes);
    return std::nullopt;
}

Result Sizes(std::vector<std::size_t>& target, const std::string& option, const std::string& text)
{
    target.clear();
    for (const auto& part : Split(text, ",")) {
        std::size_t size = 0;
        if (auto error = Assign(size, option, part, DatagramMax)) {
            return error;
        }
        if (size == 0) {
            return option + ": chunk sizes start at 1";
        }
        target.push_back(size);
    }
    return std::nullopt;
}

Result GarbleMode(std::optional<Garble>& target, const std::string& option, const std::string& text)
{
    target = GarbleNamed(text);
    if (!target) {
        return option + ": '" + text + "' is not one of " + GarbleNames();
    }
    return std::nullopt;
}

// A refusal carries a result code other than success.
Result RefusalCode(std::uint8_t& target, const std::string& option, const std::string& text)
{
    if (auto error = Assign(target, option, text, ByteMax)) {
        return error;
    }
    if (target == ResultSuccess) {
        return option + ": 0 is success; a refusal's result code is from 1 to " + std::to_string(ByteMax);
    }
    return std::nullopt;
}

// The Nth of something, counted from 1.
Result Ordinal(std::uint32_t& target, const std::string& option, const std::string& text)
{
    if (auto error = Assign(target, option, text, CountMax)) {
        return error;
    }
    if (target == 0) {
        return option + ": counts from 1";
    }
    return std::nullopt;
}

Result Address(std::optional<std::string>& target, const std::string& option, const std::string& text)
{
    in_addr address{};
    if (::inet_pton(AF_INET, text.c_str(), &address) != 1) {
        return option + ": '" + text + "' is not a dotted IPv4 address";
    }
    target = text;
    return std::nullopt;
}

// A comma-separated list of addresses, each a board of its own.
Result Addresses(std::vector<std::string>& target, const std::string& option, const std::string& text)
{
    std::vector<std::string> addresses;
    for (const std::string& part : Split(text, ",")) {
        std::optional<std::string> address;
        if (auto error = Address(address, option, part)) {
            return error;
        }
        if (std::find(addresses.begin(), addresses.end(), part) != addresses.end()) {
            return option + ": '" + part + "' is given twice";
        }
        addresses.push_back(part);
    }
    target = std::move(addresses);
    return std::nullopt;
}

// An option as given: its name (for messages) and its value.
struct Arg {
    const std::string& name;
    const std::string& value;
};

struct OptionSpec {
    const char* name;
    bool takesValue;
    std::function<Result(Options&, const Arg&)> apply;
};

Result Flag(bool& target)
{
    target = true;
    return std::nullopt;
}

template <typename T>
Result Optional(std::optional<T>& target, const Arg& arg, Result (*parse)(T&, const std::string&, const std::string&))
{
    T value{};
    auto error = parse(value, arg.name, arg.value);
    target = value;
    return error;
}

Result Port(std::uint16_t& target, const std::string& name, const std::string& text)
{
    return Assign(target, name, text, PortMax);
}

FaultOptions& Faults(Options& options)
{
    return options.session.faults;
}

const std::vector<OptionSpec>& Specs()
{
    static const std::vector<OptionSpec> specs{
        {"--help", false, [](Options& o, const Arg&) { return Flag(o.help); }},
        {"--pty", false, [](Options& o, const Arg&) { return Flag(o.pty); }},
        {"--link", true, [](Options& o, const Arg& a) { o.link = a.value; return Result{}; }},
        {"--baud", true, [](Options& o, const Arg& a) { return Assign(o.baud, a.name, a.value, CountMax); }},
        {"--udp", true, [](Options& o, const Arg& a) { return Addresses(o.udpAddresses, a.name, a.value); }},
        {"--out", true, [](Options& o, const Arg& a) { o.out = a.value; return Result{}; }},
        {"--transcript", true, [](Options& o, const Arg& a) { o.transcript = a.value; return Result{}; }},
        {"--summary", true, [](Options& o, const Arg& a) { o.summary = a.value; return Result{}; }},
        {"--strict", false, [](Options& o, const Arg&) { return Flag(o.session.strict); }},
        {"--boot-error", true,
         [](Options& o, const Arg& a) { return Assign(o.session.board.bootError, a.name, a.value, ByteMax); }},
        {"--boot-error-at", true,
         [](Options& o, const Arg& a) { return Ordinal(o.session.board.bootErrorAt, a.name, a.value); }},
        {"--refuse-create", true,
         [](Options& o, const Arg& a) { return RefusalCode(o.session.board.refuseCreate, a.name, a.value); }},
        {"--no-answer", false, [](Options& o, const Arg&) { return Flag(Faults(o).noAnswer); }},
        {"--drop-every", true,
         [](Options& o, const Arg& a) { return Assign(Faults(o).dropEvery, a.name, a.value, CountMax); }},
        {"--silent-first", true,
         [](Options& o, const Arg& a) { return Assign(Faults(o).silentFirst, a.name, a.value, CountMax); }},
        {"--delay", true, [](Options& o, const Arg& a) { return AssignMilliseconds(Faults(o).delay, a.name, a.value); }},
        {"--split", true, [](Options& o, const Arg& a) { return Sizes(Faults(o).split, a.name, a.value); }},
        {"--split-pause", true,
         [](Options& o, const Arg& a) { return AssignMilliseconds(Faults(o).splitPause, a.name, a.value); }},
        {"--noise", true, [](Options& o, const Arg& a) { return HexBytes(Faults(o).noise, a.name, a.value); }},
        {"--alarm", false, [](Options& o, const Arg&) { return Flag(Faults(o).alarm); }},
        {"--second-answer", true,
         [](Options& o, const Arg& a) { return Optional(Faults(o).secondAnswer, a, AssignMilliseconds); }},
        {"--copy-first", true,
         [](Options& o, const Arg& a) { return Optional(Faults(o).copyFirst, a, AssignMilliseconds); }},
        {"--forge-port", false, [](Options& o, const Arg&) { return Flag(Faults(o).forgePort); }},
        {"--empty-datagram", false, [](Options& o, const Arg&) { return Flag(Faults(o).emptyDatagram); }},
        {"--pad-datagram", true,
         [](Options& o, const Arg& a) { return Assign(Faults(o).padDatagram, a.name, a.value, DatagramMax); }},
        {"--garble", true, [](Options& o, const Arg& a) { return GarbleMode(Faults(o).garble, a.name, a.value); }},
        {"--wrong-answer", false, [](Options& o, const Arg&) { return Flag(Faults(o).wrongAnswer); }},
        {"--no-search-reply", false, [](Options& o, const Arg&) { return Flag(Faults(o).noSearchReply); }},
        {"--search-from", true, [](Options& o, const Arg& a) { return Optional(Faults(o).searchFrom, a, Port); }},
        {"--search-reply", true, [](Options& o, const Arg& a) { return Optional(Faults(o).searchReply, a, HexBytes); }},
    };
    return specs;
}

Result CheckCombination(const Options& options)
{
    if (options.help) {
        return std::nullopt;
    }
    if (!options.pty && options.udpAddresses.empty()) {
        return std::string("give --pty, --udp <address>, or both (--help lists the options)");
    }
    if (options.link && !options.pty) {
        return std::string("--link needs --pty");
    }
    if (options.session.faults.garble && options.session.faults.wrongAnswer) {
        return std::string("--garble and --wrong-answer both replace each answer; give one of them");
    }
    // With the default boot error every answer reports 0, the Nth as well.
    if (options.session.board.bootErrorAt != 0 && options.session.board.bootError == NoBootError) {
        return std::string("--boot-error-at needs --boot-error with a boot error from 1 to 255");
    }
    if (options.session.faults.forgePort && options.udpAddresses.empty()) {
        return std::string("--forge-port forges datagrams: it needs --udp");
    }
    if (options.session.faults.searchFrom == SearchPort) {
        return "--search-from: the board replies from " + std::to_string(SearchPort) +
               " anyway; name another port";
    }
    return std::nullopt;
}

}  // namespace

std::optional<Bytes> ParseHexBytes(const std::string& text)
{
    Bytes bytes;
    for (const auto& part : Split(text, ", ")) {
        auto parsed = Number<std::uint8_t>("", part, ByteMax, Hexadecimal);
        if (std::holds_alternative<std::string>(parsed)) {
            return std::nullopt;
        }
        bytes.push_back(std::get<std::uint8_t>(parsed));
    }
    return bytes;
}

std::variant<Options, OptionError> ParseOptions(const std::vector<std::string>& arguments)
{
    Options options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& name = arguments[i];
        const auto& specs = Specs();
        const auto known = std::find_if(specs.begin(), specs.end(),
                                       [&](const OptionSpec& s) { return name == s.name; });
        if (known == specs.end()) {
            return OptionError{"unknown option '" + name + "' (--help lists the options)"};
        }
        std::string value;
        if (known->takesValue) {
            if (i + 1 == arguments.size()) {
                return OptionError{name + " needs a value"};
            }
            value = arguments[++i];
        }
        if (auto error = known->apply(options, Arg{name, value})) {
            return OptionError{*error};
        }
    }
    if (auto error = CheckCombination(options)) {
        return OptionError{*error};
    }
    return options;
}

std::string HelpText()
{
    return R"(boardsim: a simulated recorder board, the updater's peer for tests and the demo.

Usage: boardsim [--pty [--link PATH] [--baud RATE]] [--udp ADDRESS[,ADDRESS...]] [options]

Links (at least one):
  --pty               open a pseudo-terminal; prints "pty: /dev/pts/N"
  --link PATH         make a symbolic link PATH to the pseudo-terminal (e.g. demo/COM1);
                      removed at exit
  --baud RATE         read the serial line at RATE/10 bytes a second (8N1); default unpaced
  --udp ADDRESS       answer requests on ADDRESS:3333 and the search on ADDRESS:3334.
                      Any 127.x.y.z address is loopback, so parallel tests can use their own.
                      With an address that is not loopback the board also hears the
                      broadcast search (255.255.255.255:3334): use that only inside a
                      network namespace. 0.0.0.0 listens on every address.
                      Several addresses, separated by commas, are as many boards in one
                      process, the first sharing its board with --pty: each keeps its
                      files in FOLDER/ADDRESS, its transcript in FILE.ADDRESS, and the
                      summary has a block per board, each under a line board=ADDRESS.

Once it listens the board prints "ready" on stdout.

What it keeps:
  --out FOLDER        write what it receives into FOLDER (see SIGUSR1 below):
                        burn0.bin, burn1.bin   burn block images (SetBurnBlock starts one afresh)
                        flash/NAME             flash files (EraseFlash removes them)
                        data/NAME              data files
                      without --out nothing is written, everything else works the same
  --transcript FILE   one line per frame: direction, group, operation, parameters, length
  --summary FILE      written at exit, one key=value a line: frames, bytes, bad_frames,
                      stray_bytes, refused, size_mismatches, answers, answers_dropped,
                      searches, files_kept, then command.NAME for each command received

Board behaviour:
  --boot-error N      the boot error that GetBootError reports (0 to 255; default 0)
  --boot-error-at N   report the boot error in the Nth GetBootError answer alone (counted
                      from 1 on each board); every other answer reports 0. Needs
                      --boot-error from 1 to 255
  --refuse-create CODE  refuse every CreateDataFile and CreateFlashFile: the answer carries
                      result CODE (1 to 255) and ends right after it, without a handle
                      (payload: group, operation, result). Nothing is kept, and the blocks
                      and closes that follow name no open file, so they are refused.
  --strict            stop at the first bad frame or refused request, exit status 3

Faults (answers are those to GetBootError, CreateDataFile, CreateFlashFile,
GetNumberofDataFiles and GetFlashInfo):
  --no-answer         never answer
  --drop-every N      drop the Nth, 2Nth, ... answer
  --silent-first N    drop the first N answers, then answer (a board that comes back)
  --delay MS          wait MS milliseconds before each answer (e.g. 2 for the round trip
                      of a local network)
  --split SIZES       send each answer in chunks of these sizes (e.g. 2,3), the rest as a
                      last chunk; on the network each chunk is a datagram
  --split-pause MS    pause between chunks (default 50)
  --noise BYTES       send these bytes (hexadecimal, e.g. 00,55) before each answer; on the
                      network they lead the answer's datagram
  --alarm             send an alarm frame (group FF, operation 00) before each answer
  --second-answer MS  send each answer again MS milliseconds after the first, as it is
                      (not garbled, not wrong, without noise or padding); 0: back to back
  --copy-first MS     before each answer send a copy of the previous one at once, as it
                      went out (garbled or wrong as it was, without alarm, noise or
                      padding), then the answer MS milliseconds later; the first answer
                      has no copy before it, only the pause
  --forge-port        network: before each answer send a forged GetBootError answer
                      reporting success and boot error 0 (A5 18 04 00 13 01 00 00) from
                      the board's address but another port than 3333; needs --udp, and
                      with --pty as well the serial line gets none
  --empty-datagram    network: an empty datagram instead of each answer
  --pad-datagram N    network: fill each answer's datagram with zero bytes up to N bytes
  --garble MODE       garble each answer so that it decodes as no answer:
                        lead       a stray A5 before the answer. On the network it leads
                                   the answer's datagram (one byte longer). On the serial
                                   line the answer is shifted behind it within its own
                                   length, losing its last byte: read from the stray A5
                                   the frame claims over 1000 bytes, and the answer never
                                   completes. (A stray A5 before a whole answer is noise
                                   that the updater skips: --noise A5 sends that.)
                        operation  operation code 7F, which no answer has; checksum fitted
                        cut        only the header, group and operation (6 bytes): the
                                   result code and what follows never come
  --wrong-answer      a Get Version answer (group 0B, operation 0A, text "BOARDSIM")
                      in place of each answer
  --no-search-reply   do not answer the search
  --search-from PORT  answer the search from PORT instead of 3334
  --search-reply BYTES  answer the search with these bytes (hexadecimal) instead of "DRVK"

SIGINT or SIGTERM ends the board: it prints the summary on stderr and exits 0.
The transcript and the kept files are written in large pieces, and whenever the links
are quiet for 10 ms; SIGUSR1 makes the board write them at once and then print
"flushed" on stdout.
Exit status: 0 stopped by a signal, 1 a link or file failed, 2 bad command line,
3 --strict met a bad frame.
)";
}

}  // namespace boardsim
