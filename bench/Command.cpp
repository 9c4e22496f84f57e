#include "bench/Command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t ReadChunk = 4096;
// How often a run whose output has ended is checked for its exit.
constexpr auto ExitPollInterval = std::chrono::milliseconds(5);
constexpr double MicrosecondsPerSecond = 1e6;

double Seconds(const timeval& time)
{
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / MicrosecondsPerSecond;
}

// Starts the program in a process group of its own, its standard output into
// a pipe whose reading end goes to `output`.
pid_t Start(const std::string& program, const std::vector<std::string>& arguments, int& output,
            const std::string& what)
{
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error(what + ": pipe: " + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    ::posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (error != 0) {
        ::close(pipeFds[0]);
        throw std::runtime_error(what + " did not start: " + std::strerror(error));
    }
    output = pipeFds[0];
    return pid;
}

// Reads what the run prints until it closes its output or the deadline
// passes; returns false at the deadline.
bool ReadToEnd(int fd, Clock::time_point deadline, std::string& output)
{
    std::array<char, ReadChunk> buffer{};
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
            continue;
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got == 0)
            return true;
        if (got > 0)
            output.append(buffer.data(), static_cast<std::size_t>(got));
        else if (errno != EINTR)
            return true;
    }
}

// Reaps the run once it has ended, at the latest by the deadline; returns
// false at the deadline.
bool Reaped(pid_t pid, Clock::time_point deadline, int& status, rusage& usage)
{
    for (;;) {
        const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
        if (done == pid)
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(ExitPollInterval);
    }
}

} // namespace

CommandResult RunToEnd(const std::string& program, const std::vector<std::string>& arguments, int limitMs,
                       const std::string& what)
{
    int outputFd = -1;
    const pid_t pid = Start(program, arguments, outputFd, what);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    CommandResult result;
    int status = 0;
    rusage usage{};
    const bool ended = ReadToEnd(outputFd, deadline, result.output) && Reaped(pid, deadline, status, usage);
    ::close(outputFd);
    if (!ended) {
        ::kill(-pid, SIGKILL);
        ::wait4(pid, &status, 0, &usage);
        throw std::runtime_error(what + " did not end within " + std::to_string(limitMs) + " ms");
    }
    if (!WIFEXITED(status))
        throw std::runtime_error(what + " did not end normally: signal " + std::to_string(WTERMSIG(status)));
    result.exitCode = WEXITSTATUS(status);
    result.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    result.peakKiB = usage.ru_maxrss;
    return result;
}
