// What a stretch of the benchmark process costs: wall time, and the CPU time
// of all its threads (the GUI thread and the serial event thread alike).
// Child processes, such as the simulated board, do not count.
#pragma once

#include <chrono>
#include <cstdint>

struct Usage {
    double wallSeconds = 0;
    double cpuSeconds = 0;  // user + system
};

class Stopwatch {
public:
    // Starts measuring at once.
    Stopwatch();
    Usage Elapsed() const;

private:
    std::chrono::steady_clock::time_point wallStart_;
    double cpuStart_ = 0;
};

// The CPU time (user + system) another process of this user has used so
// far, from /proc. Throws std::runtime_error when the system does not tell it.
double ProcessCpuSeconds(int pid);


// The process's peak resident memory so far (VmHWM), in KiB. Throws
// std::runtime_error when the system does not tell it.
std::int64_t PeakResidentKiB();

// Brings the peak back down to the memory the process holds now, so that a
// later PeakResidentKiB tells the peak of what follows. Throws
// std::runtime_error when the system does not allow it.
void ResetPeakResident();
