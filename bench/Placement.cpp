#include "bench/Placement.h"

#include <sched.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace {

cpu_set_t SetOf(const std::vector<int>& cpus)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (const int cpu : cpus)
        CPU_SET(cpu, &set);
    return set;
}

// `thread` 0 is the calling thread. Returns 0, or the error number.
int TrySetAffinity(pid_t thread, const std::vector<int>& cpus)
{
    const cpu_set_t set = SetOf(cpus);
    return ::sched_setaffinity(thread, sizeof set, &set) == 0 ? 0 : errno;
}

// Throws for an error number other than 0.
void ThrowOnError(pid_t thread, const std::vector<int>& cpus, int error)
{
    if (error != 0)
        throw std::runtime_error("cannot pin thread " + std::to_string(thread) + " to processor "
                                 + std::to_string(cpus.front()) + ": " + std::strerror(error));
}

// Every thread of the process, pinned to `cpus`. A thread that ended between
// the listing and the call is no failure.
void SetProcessAffinity(const std::vector<int>& cpus)
{
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const pid_t thread = static_cast<pid_t>(std::stol(task.path().filename().string()));
        if (const int error = TrySetAffinity(thread, cpus); error != ESRCH)
            ThrowOnError(thread, cpus, error);
    }
}

} // namespace

std::string PlacementName(Placement placement)
{
    return placement == Placement::CrossCore ? "two cores" : "one core";
}

std::vector<int> AllowedCpus()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0)
        throw std::runtime_error(std::string("sched_getaffinity: ") + std::strerror(errno));
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set))
            cpus.push_back(cpu);
    }
    if (cpus.empty())
        throw std::runtime_error("sched_getaffinity names no processor");
    return cpus;
}

std::optional<Cores> CoresFor(Placement placement, const std::vector<int>& allowed)
{
    if (allowed.empty())
        return std::nullopt;
    if (placement == Placement::SameCore)
        return Cores{allowed[0], allowed[0]};
    if (allowed.size() < 2)
        return std::nullopt;
    return Cores{allowed[0], allowed[1]};
}

void PinThisThread(int cpu)
{
    ThrowOnError(0, {cpu}, TrySetAffinity(0, {cpu}));
}

void PinProcess(int cpu)
{
    SetProcessAffinity({cpu});
}

ProcessorsRestored::ProcessorsRestored() : allowed_(AllowedCpus()) {}

ProcessorsRestored::~ProcessorsRestored()
{
    try {
        SetProcessAffinity(allowed_);
    } catch (const std::exception&) {
        // The benchmark goes on, only less freely placed.
    }
}
