// Many boards at once: the command-line updater updates N simulated boards,
// each on a loopback address of its own (up to BoardsPerProcess of them served
// by one board process), that answers after
// the round trip of a local network. Its wall time is held against the time
// of one board alone, its peak memory and CPU time against what each added
// board may cost.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/Report.h"
#include "tests/support/BoardSim.h"

// The round trip of a local network that each board waits before it answers.
inline constexpr int LanRoundTripMs = 2;

// 127.0.0.1 is left to everything else on loopback.
inline constexpr int FleetFirstHost = 2;

// The loopback addresses of `boards` boards, from host number `firstHost` on:
// 127.0.0.2 ... 127.0.0.254, then 127.0.1.1 and on into as many /24s of
// 127.0.0.0/8 as the fleet needs. No address ends in .0 or .255, which some
// programs take for a network or a broadcast address.
std::vector<std::string> FleetAddresses(int boards, int firstHost = FleetFirstHost);

// Binds a UDP socket to each address at `port` and closes it again. Throws
// std::runtime_error naming the first address that cannot be bound:
// "address 127.0.0.9:3333 is in use by another program".
void CheckAddressesFree(const std::vector<std::string>& addresses, std::uint16_t port);

// The boards one board process serves: 1024 boards are four processes, not
// 1024, and one process's work per block is far less than a process's wake.
inline constexpr std::size_t BoardsPerProcess = 1024;

// N boards on FleetAddresses port 3333, each answering after the LAN round
// trip and keeping what it receives in a folder of its own. Their processes
// are ended when the fleet is destroyed.
class BoardFleet {
public:
    // Checks that every address is free, then starts the boards, a batch at a
    // time. Throws std::runtime_error when an address is taken or a board
    // cannot start.
    explicit BoardFleet(int boards, int firstHost = FleetFirstHost);

    std::size_t Size() const { return addresses_.size(); }
    const std::string& Address(std::size_t index) const { return addresses_[index]; }
    // The process that serves board `index`, and where in its folder the
    // board keeps what it receives.
    const BoardSim& ProcessOf(std::size_t index) const { return *processes_[index / BoardsPerProcess]; }
    std::filesystem::path KeptFolder(std::size_t index) const;
    // A file board `index` kept ("burn0.bin"), or nothing when it kept none.
    std::optional<std::string> Kept(std::size_t index, const std::string& relative) const;
    // The CPU time every board has used so far, together.
    double CpuSeconds() const;
    // "127.0.0.2,127.0.0.3,...", as the updater's --udp takes it.
    std::string AddressList() const;
    // Stops every board and returns how many ended with exit status 0.
    std::size_t StopAll();

private:
    std::vector<std::string> addresses_;
    std::vector<std::unique_ptr<BoardSim>> processes_;
};

// What one run of the command-line updater on a fleet cost.
struct FleetRun {
    int boards = 0;
    double wallSeconds = 0;
    double cpuSeconds = 0;       // the updater's user + system time
    double boardCpuSeconds = 0;  // the boards' together
    double peakMiB = 0;        // the updater's peak resident memory
    std::uint64_t blocks = 0;  // image blocks sent, over every board
};

// Runs `updater` firmware `image` --udp <every board> --json and returns what
// it cost. Throws std::runtime_error when the command fails or hangs, does
// not report every board done, or a board did not keep the image byte for
// byte: a failed run gives no figure.
FleetRun UpdateFleet(const std::filesystem::path& updater, const std::string& image, std::uint64_t size,
                     const BoardFleet& fleet);

// What the live view of one run on a terminal cost: the bytes written to the
// terminal per board, and its redraws (cursor moves up) a second.
struct TerminalRun {
    int boards = 0;
    double bytesPerBoard = 0;
    double redrawsPerSecond = 0;
};

// Runs `updater` firmware `image` --udp <every board> on an 80x24 terminal.
// Throws std::runtime_error when the command fails or hangs.
TerminalRun UpdateFleetOnTerminal(const std::filesystem::path& updater, const std::string& image,
                                  const BoardFleet& fleet);
// Bytes per board against 4 KiB, redraws a second against ten.
std::vector<Figure> TerminalFigures(const TerminalRun& run);

// The figures of the fleets, `runs` holding one of a single board and one of
// eight: each fleet's time against one board's, the memory each added board
// costs, and the CPU time per 1000 blocks against that at eight boards, each
// with the goal that holds for that many boards. Throws std::invalid_argument
// without the runs of one and of eight boards.
std::vector<Figure> FleetFigures(const std::vector<FleetRun>& runs);

// What the scheduler that runs the boards costs a block beyond the board's
// own socket: 256 tasks on one thread, each waiting and woken in turn as a
// board's answer would wake it, the thread's CPU time per switch against
// half a microsecond.
Figure SchedulerSwitchFigure();
