// Many boards at once: the command-line updater updates N simulated boards,
// each a board process on a loopback address of its own that answers after
// the round trip of a local network, and the wall time is held against the
// time of one board alone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/Report.h"
#include "tests/support/BoardSim.h"

// The round trip of a local network that each board waits before it answers.
inline constexpr int LanRoundTripMs = 2;

// 127.0.0.1 is left to everything else on loopback.
inline constexpr int FleetFirstHost = 2;

// N board processes on 127.0.0.2, 127.0.0.3, ... port 3333, each answering
// after the LAN round trip and keeping what it receives in a folder of its
// own. They are ended when the fleet is destroyed.
class BoardFleet {
public:
    // Starts the boards one after the other, each up before the next, from
    // host number `firstHost` of 127.0.0.0/24 on. Throws std::runtime_error
    // when one cannot start.
    explicit BoardFleet(int boards, int firstHost = FleetFirstHost);

    std::size_t Size() const { return boards_.size(); }
    const BoardSim& Board(std::size_t index) const { return *boards_[index]; }
    const std::string& Address(std::size_t index) const { return addresses_[index]; }
    // "127.0.0.2,127.0.0.3,...", as the updater's --udp takes it.
    std::string AddressList() const;
    // Stops every board and returns how many ended with exit status 0.
    std::size_t StopAll();

private:
    std::vector<std::string> addresses_;
    std::vector<std::unique_ptr<BoardSim>> boards_;
};

// Runs `updater` firmware `image` --udp <every board> --json and returns its
// wall time in seconds. Throws std::runtime_error when the command fails or
// hangs, does not report every board done, or a board did not keep the image
// byte for byte: a failed run gives no figure.
double UpdateFleet(const std::filesystem::path& updater, const std::string& image, std::uint64_t size,
                   const BoardFleet& fleet);

// The figure of N boards: their wall time against one board's, with the goal
// that holds for that many boards.
Figure FleetFigure(int boards, double wallSeconds, double oneBoardSeconds);
