// The simulated board: serves the updater on a pseudo-terminal and on UDP
// until SIGINT or SIGTERM, then prints what it received.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>

#include "tools/boardsim/DatagramLink.h"
#include "tools/boardsim/Options.h"
#include "tools/boardsim/SerialLine.h"
#include "tools/boardsim/Session.h"
#include "tools/boardsim/SystemError.h"

namespace boardsim {

namespace {

enum ExitStatus { Stopped = 0, Failure = 1, BadCommandLine = 2, StrictStop = 3 };

// SIGINT and SIGTERM write a byte here, which wakes the poll loop: the board
// then ends between two requests, never in the middle of one.
int signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char wake = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &wake, 1);
}

void InstallSignalHandlers()
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        ThrowSystemError("create the signal pipe");
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    // A reader that went away must not kill the board: writes report EPIPE.
    ::signal(SIGPIPE, SIG_IGN);
}

std::optional<Clock::time_point> Earliest(std::optional<Clock::time_point> a, std::optional<Clock::time_point> b)
{
    if (!a || !b) {
        return a ? a : b;
    }
    return std::min(*a, *b);
}

int PollTimeout(std::optional<Clock::time_point> wake, Clock::time_point now)
{
    if (!wake) {
        return -1;
    }
    if (*wake <= now) {
        return 0;
    }
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count());
}

class Server {
public:
    Server(const Options& options, Session& session) : session_(session)
    {
        if (options.pty) {
            serial_.emplace(options.link, options.baud);
            std::cout << "pty: " << serial_->Path() << '\n';
        }
        if (options.udpAddress) {
            network_.emplace(*options.udpAddress, options.session.faults.searchFrom);
        }
        std::cout << "ready" << std::endl;
    }

    ExitStatus Run()
    {
        for (;;) {
            Clock::time_point now = Clock::now();
            Flush(now);
            if (session_.Failed()) {
                return StrictStop;
            }
            std::vector<pollfd> fds = Waits(now);
            const int ready = ::poll(fds.data(), fds.size(), PollTimeout(NextWake(now), now));
            if (ready < 0 && errno != EINTR) {
                ThrowSystemError("wait for the links");
            }
            if (fds[0].revents != 0) {
                return Stopped;
            }
            if (ready > 0) {
                Serve(fds, Clock::now());
            }
        }
    }

private:
    void Flush(Clock::time_point now)
    {
        if (serial_) {
            serial_->Flush(now);
        }
        if (network_) {
            network_->Flush(now);
        }
    }

    std::optional<Clock::time_point> NextWake(Clock::time_point now) const
    {
        return Earliest(serial_ ? serial_->NextWake(now) : std::nullopt,
                        network_ ? network_->NextWake() : std::nullopt);
    }

    // The signal pipe first, then the serial line, then the sockets.
    std::vector<pollfd> Waits(Clock::time_point now) const
    {
        std::vector<pollfd> fds{{signalPipe[0], POLLIN, 0}};
        if (serial_) {
            fds.push_back({serial_->Fd(), serial_->Events(now), 0});
        }
        if (network_) {
            for (int socket : network_->Sockets()) {
                fds.push_back({socket, POLLIN, 0});
            }
        }
        return fds;
    }

    void Serve(const std::vector<pollfd>& fds, Clock::time_point now)
    {
        std::size_t next = 1;
        if (serial_) {
            if ((fds[next].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
                const Bytes bytes = serial_->Read(now);
                if (!bytes.empty()) {
                    serial_->Send(session_.OnSerialBytes(bytes), now);
                }
            }
            ++next;
        }
        for (; next < fds.size(); ++next) {
            if ((fds[next].revents & POLLIN) != 0) {
                network_->Receive(fds[next].fd, session_, now);
            }
        }
    }

    Session& session_;
    std::optional<SerialLine> serial_;
    std::optional<DatagramLink> network_;
};

// Written beside the target and renamed over it, so that a reader never sees
// half a summary.
void WriteSummaryFile(const std::filesystem::path& path, const std::string& summary)
{
    std::filesystem::path temporary = path;
    temporary += ".partial";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << summary;
        if (!out.flush()) {
            throw std::runtime_error("cannot write the summary " + temporary.string());
        }
    }
    std::filesystem::rename(temporary, path);
}

ExitStatus Serve(const Options& options)
{
    FileStore store(options.out);
    Transcript transcript(options.transcript);
    Session session(options.session, store, transcript);
    ExitStatus status = Stopped;
    try {
        status = Server(options, session).Run();
    } catch (const std::exception& error) {
        std::cerr << "boardsim: " << error.what() << std::endl;
        status = Failure;
    }
    std::cerr << "boardsim summary:\n" << session.Summary() << std::flush;
    if (options.summary) {
        WriteSummaryFile(*options.summary, session.Summary());
    }
    return status;
}

}  // namespace

}  // namespace boardsim

int main(int argc, char** argv)
{
    using namespace boardsim;
    const auto parsed = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto* error = std::get_if<OptionError>(&parsed)) {
        std::cerr << "boardsim: " << error->message << std::endl;
        return BadCommandLine;
    }
    const Options& options = std::get<Options>(parsed);
    if (options.help) {
        std::cout << HelpText();
        return Stopped;
    }
    try {
        InstallSignalHandlers();
        return Serve(options);
    } catch (const std::exception& error) {
        std::cerr << "boardsim: " << error.what() << std::endl;
        return Failure;
    }
}
