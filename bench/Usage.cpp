#include "bench/Usage.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
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

double ProcessCpuSeconds(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    // The fields after the command, whose name may hold blanks, in its parentheses.
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos)
        throw std::runtime_error("no CPU time of process " + std::to_string(pid));
    std::istringstream fields(text.substr(end + 2));
    std::string skipped;
    constexpr int FieldsBeforeUserTime = 11;  // state ... cmajflt
    for (int k = 0; k < FieldsBeforeUserTime; ++k)
        fields >> skipped;
    unsigned long long user = 0;
    unsigned long long system = 0;
    if (!(fields >> user >> system))
        throw std::runtime_error("no CPU time of process " + std::to_string(pid));
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
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
