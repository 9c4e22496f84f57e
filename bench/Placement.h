// Where the two sides of a measurement run: the updater (or a plain sender)
// on one core and the board (or the answering thread) on another, or both on
// the same core. The two placements differ by a factor of about three on
// loopback, so a figure and its limit are only compared in the same one.
#pragma once

#include <optional>
#include <string>
#include <vector>

enum class Placement { CrossCore, SameCore };

inline constexpr Placement Placements[] = {Placement::CrossCore, Placement::SameCore};

// The processor of each side.
struct Cores {
    int updater = 0;
    int board = 0;
};

// "two cores" or "one core", for the figures' names.
std::string PlacementName(Placement placement);

// The processors this process may run on, in ascending order. Throws
// std::runtime_error when the system does not tell them.
std::vector<int> AllowedCpus();

// The cores of `placement` among `allowed`: nothing when the placement cannot
// be held (two sides on different cores with a single processor).
std::optional<Cores> CoresFor(Placement placement, const std::vector<int>& allowed);

// Pins the calling thread to `cpu`. Threads and processes it starts later
// inherit the pin. Throws std::runtime_error when the system refuses.
void PinThisThread(int cpu);

// Pins every thread of this process to `cpu`; see PinThisThread.
void PinProcess(int cpu);

// Takes the processors this process may use at construction and gives every
// thread of the process all of them back at destruction, so that what runs
// after a placed measurement is not held to one core.
class ProcessorsRestored {
public:
    ProcessorsRestored();
    ~ProcessorsRestored();
    ProcessorsRestored(const ProcessorsRestored&) = delete;
    ProcessorsRestored& operator=(const ProcessorsRestored&) = delete;

private:
    std::vector<int> allowed_;
};
