#include "bench/Command.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
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

// Starts the program in a process group of its own, its standard output (and
// standard error with `terminal`) into `writeEnd`, which is closed here.
pid_t Start(const std::string& program, const std::vector<std::string>& arguments, int writeEnd, bool terminal,
            const std::string& what)
{
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    // A terminal that understands cursor movement, whatever ours is.
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (!terminal || std::strncmp(*variable, "TERM=", std::strlen("TERM=")) != 0)
            variables.emplace_back(*variable);
    }
    if (terminal)
        variables.emplace_back("TERM=xterm");
    std::vector<char*> envp;
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, writeEnd, STDOUT_FILENO);
    if (terminal)
        ::posix_spawn_file_actions_adddup2(&actions, writeEnd, STDERR_FILENO);
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    ::posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(writeEnd);
    if (error != 0)
        throw std::runtime_error(what + " did not start: " + std::strerror(error));
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
            return true;  // a terminal whose program end is closed says EIO
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

namespace {

CommandResult Finish(pid_t pid, int outputFd, int limitMs, const std::string& what)
{    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
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

} // namespace

CommandResult RunToEnd(const std::string& program, const std::vector<std::string>& arguments, int limitMs,
                       const std::string& what)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error(what + ": pipe: " + std::strerror(errno));
    pid_t pid = -1;
    try {
        pid = Start(program, arguments, pipeFds[1], false, what);
    } catch (...) {
        ::close(pipeFds[0]);
        throw;
    }
    return Finish(pid, pipeFds[0], limitMs, what);
}

CommandResult RunOnTerminal(const std::string& program, const std::vector<std::string>& arguments, int limitMs,
                            const std::string& what, unsigned short columns, unsigned short rows)
{
    winsize size{};
    size.ws_col = columns;
    size.ws_row = rows;
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0)
        throw std::runtime_error(what + ": openpty: " + std::strerror(errno));
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    pid_t pid = -1;
    try {
        pid = Start(program, arguments, slave, true, what);
    } catch (...) {
        ::close(master);
        throw;
    }
    return Finish(pid, master, limitMs, what);
}
