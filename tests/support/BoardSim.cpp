#include "tests/support/BoardSim.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int ReadySeconds = 30;
constexpr int StopSeconds = 30;
constexpr int FlushSeconds = 10;
constexpr auto ExitPollInterval = std::chrono::milliseconds(10);
constexpr int SignalStatusBase = 128;
const std::string PtyPrefix = "pty: ";
const std::string ReadyLine = "ready";
const std::string FlushedLine = "flushed\n";

std::filesystem::path MakeFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "boardsim-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error(std::string("BoardSim: mkdtemp: ") + std::strerror(errno));
    }
    return pattern;
}

std::string ReadAll(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int DecodeStatus(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : SignalStatusBase + WTERMSIG(status);
}

}  // namespace

BoardSim::BoardSim(std::vector<std::string> arguments, std::vector<std::string> launcher)
    : folder_(MakeFolder())
{
    std::vector<std::string> command = std::move(launcher);
    command.insert(command.end(), {BOARDSIM_PATH, "--out", (folder_ / "board").string(), "--summary",
                                   (folder_ / "summary.txt").string(), "--transcript",
                                   (folder_ / "transcript.txt").string()});
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : command) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("BoardSim: pipe: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    const int error = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    stdout_ = pipeFds[0];
    if (error != 0) {
        pid_ = -1;
        ::close(stdout_);
        std::filesystem::remove_all(folder_);
        throw std::runtime_error(std::string("BoardSim: cannot start ") + argv[0] + ": " + std::strerror(error));
    }
    try {
        WaitForReady();
    } catch (...) {
        Stop();
        ::close(stdout_);
        std::filesystem::remove_all(folder_);
        throw;
    }
}

BoardSim::~BoardSim()
{
    Stop();
    ::close(stdout_);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

// Reads the board's stdout up to its "ready" line, keeping the pty path.
void BoardSim::WaitForReady()
{
    const auto deadline = Clock::now() + std::chrono::seconds(ReadySeconds);
    std::string pending;
    for (;;) {
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (line.rfind(PtyPrefix, 0) == 0) {
                ptyPath_ = line.substr(PtyPrefix.size());
            } else if (line == ReadyLine) {
                return;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            throw std::runtime_error("BoardSim: the board did not get ready");
        }
        pollfd wait{stdout_, POLLIN, 0};
        if (::poll(&wait, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            throw std::runtime_error(std::string("BoardSim: poll: ") + std::strerror(errno));
        }
        char buffer[256];
        const ssize_t got = wait.revents != 0 ? ::read(stdout_, buffer, sizeof buffer) : -1;
        if (got == 0) {
            throw std::runtime_error("BoardSim: the board ended before it was ready (see its messages above)");
        }
        if (got > 0) {
            pending.append(buffer, static_cast<std::size_t>(got));
        }
    }
}

std::optional<int> BoardSim::WaitForExit(int seconds)
{
    if (status_ || pid_ < 0) {
        return status_;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = DecodeStatus(status);
            return status_;
        }
        if ((done < 0 && errno != EINTR) || Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(ExitPollInterval);
    }
}

int BoardSim::Stop()
{
    if (status_ || pid_ < 0) {
        return status_.value_or(-1);
    }
    ::kill(pid_, SIGTERM);
    if (auto status = WaitForExit(StopSeconds)) {
        return *status;
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = DecodeStatus(status);
    return *status_;
}

std::optional<std::string> BoardSim::Kept(const std::string& relative) const
{
    Flush();
    const auto path = OutFolder() / relative;
    if (!std::filesystem::is_regular_file(path)) {
        return std::nullopt;
    }
    return ReadAll(path);
}

std::string BoardSim::Transcript() const
{
    Flush();
    return ReadAll(TranscriptFile());
}

void BoardSim::Flush() const
{
    if (status_ || pid_ < 0 || ::kill(pid_, SIGUSR1) != 0) {
        return;  // an ended board wrote everything as it stopped
    }
    const auto deadline = Clock::now() + std::chrono::seconds(FlushSeconds);
    std::string said;
    while (said.find(FlushedLine) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            throw std::runtime_error("BoardSim: the board did not write what it holds back when asked");
        }
        pollfd wait{stdout_, POLLIN, 0};
        if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[256];
        const ssize_t got = ::read(stdout_, buffer, sizeof buffer);
        if (got == 0) {
            return;  // the board ended by itself, and wrote everything as it did
        }
        if (got > 0) {
            said.append(buffer, static_cast<std::size_t>(got));
        }
    }
}

std::map<std::string, std::uint64_t> BoardSim::Summary()
{
    Stop();
    std::map<std::string, std::uint64_t> values;
    std::istringstream lines(ReadAll(folder_ / "summary.txt"));
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) {
            values[line.substr(0, equals)] = std::stoull(line.substr(equals + 1));
        }
    }
    return values;
}

std::uint64_t BoardSim::Count(const std::string& key)
{
    const auto values = Summary();
    const auto it = values.find(key);
    return it == values.end() ? 0 : it->second;
}
