#include "bench/Usage.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

namespace {

constexpr double MicrosecondsPerSecond = 1e6;

double Seconds(const timeval& time)
{
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / MicrosecondsPerSecond;
}

double ProcessCpuSeconds()
{
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0)
        throw std::runtime_error(std::string("getrusage: ") + std::strerror(errno));
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

} // namespace

Stopwatch::Stopwatch() : wallStart_(std::chrono::steady_clock::now()), cpuStart_(ProcessCpuSeconds()) {}

Usage Stopwatch::Elapsed() const
{
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallStart_;
    return {wall.count(), ProcessCpuSeconds() - cpuStart_};
}

std::int64_t PeakResidentKiB()
{
    // The line reads "VmHWM:	   51234 kB".
    const std::string key = "VmHWM:";
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key, 0) == 0)
            return std::stoll(line.substr(key.size()));
    }
    throw std::runtime_error("/proc/self/status does not tell the peak resident memory (VmHWM)");
}

void ResetPeakResident()
{
    // Writing 5 to clear_refs sets VmHWM to the present VmRSS.
    std::ofstream clearRefs("/proc/self/clear_refs");
    clearRefs << "5";
    clearRefs.flush();
    if (!clearRefs)
        throw std::runtime_error("/proc/self/clear_refs does not reset the peak resident memory");
}
