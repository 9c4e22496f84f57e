// The simulated board: serves the updater on a pseudo-terminal and on UDP
// until SIGINT or SIGTERM, then prints what it received.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
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

// SIGINT and SIGTERM write a stop byte here, SIGUSR1 a flush byte, which wakes
// the poll loop: the board then ends, or writes its transcript, between two
// requests, never in the middle of one.
int signalPipe[2] = {-1, -1};
constexpr char StopRequest = 1;
constexpr char FlushRequest = 2;

// What the board prints on stdout once it has written its transcript on a
// flush request.
constexpr char FlushedLine[] = "flushed";

void OnSignal(int signal)
{
    const char wake = signal == SIGUSR1 ? FlushRequest : StopRequest;
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &wake, 1);
}

// Takes the pending requests from the signal pipe; true when one of them is
// to stop.
bool StopRequested()
{
    char requests[16];
    bool stop = false;
    for (ssize_t got; (got = ::read(signalPipe[0], requests, sizeof requests)) > 0;) {
        stop = stop || std::find(requests, requests + got, StopRequest) != requests + got;
    }
    return stop;
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
    ::sigaction(SIGUSR1, &action, nullptr);
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

// The transcript and the kept files are written in large pieces while frames
// keep coming, and once the links have been quiet this long, so that a reader
// of a quiet board sees everything soon without a write for every frame.
constexpr auto IdleFlush = std::chrono::milliseconds(10);

// Unanswered requests read one after the other before the board looks at its
// other links again.
constexpr int BackToBackLimit = 64;

class Server {
public:
    Server(const Options& options, Session& session, Transcript& transcript, FileStore& store)
        : session_(session), transcript_(transcript), store_(store)
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
            const int ready = ::poll(fds.data(), fds.size(), WaitTimeout(now));
            if (ready < 0 && errno != EINTR) {
                ThrowSystemError("wait for the links");
            }
            if (fds[0].revents != 0 && OnRequests()) {
                return Stopped;
            }
            now = Clock::now();
            if (ready > 0) {
                lastActivity_ = now;
                Serve(fds, now);
            } else if (now - lastActivity_ >= IdleFlush) {
                FlushAll();
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

    // Until the next wake, or the idle flush when it comes first.
    int WaitTimeout(Clock::time_point now) const
    {
        const std::optional<Clock::time_point> flush =
            transcript_.Pending() || store_.Pending() ? std::optional(lastActivity_ + IdleFlush) : std::nullopt;
        return PollTimeout(Earliest(NextWake(now), flush), now);
    }

    // Serves the requests of the signal pipe; true when the board is to stop.
    bool OnRequests()
    {
        if (StopRequested()) {
            return true;
        }
        FlushAll();
        std::cout << FlushedLine << std::endl;
        return false;
    }

    void FlushAll()
    {
        transcript_.Flush();
        store_.Flush();
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
            if ((fds[next].revents & POLLIN) == 0) {
                continue;
            }
            // A block write is mostly followed at once by the next request:
            // it is read before the board waits again, as a board that reads
            // its queue would.
            for (int taken = 1; network_->Receive(fds[next].fd, session_, now) && !session_.Failed() &&
                                taken < BackToBackLimit;
                 ++taken) {
            }
        }
    }

    Session& session_;
    Transcript& transcript_;
    FileStore& store_;
    Clock::time_point lastActivity_ = Clock::now();  // of the links
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
        status = Server(options, session, transcript, store).Run();
    } catch (const std::exception& error) {
        std::cerr << "boardsim: " << error.what() << std::endl;
        status = Failure;
    }
    // Whoever reads the summary finds the whole transcript and every kept
    // byte beside it.
    transcript.Flush();
    try {
        store.Flush();
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
