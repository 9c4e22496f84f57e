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
#include <memory>
#include <vector>

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

// One board: what it keeps, its transcript, its session and its sockets.
struct Board {
    Board(const Options& options, std::optional<std::string> address, const std::string& suffix)
        : store(Suffixed(options.out, "", suffix)), transcript(Suffixed(options.transcript, ".", suffix)),
          session(options.session, store, transcript)
    {
        if (address) {
            network.emplace(*address, options.session.faults.searchFrom);
        }
    }

    // Several boards keep their files apart: FOLDER/ADDRESS, FILE.ADDRESS.
    static std::optional<std::filesystem::path> Suffixed(const std::optional<std::filesystem::path>& path,
                                                         const std::string& separator, const std::string& suffix)
    {
        if (!path || suffix.empty()) {
            return path;
        }
        if (separator.empty()) {
            return *path / suffix;
        }
        std::filesystem::path suffixed = *path;
        suffixed += separator + suffix;
        return suffixed;
    }

    FileStore store;
    Transcript transcript;
    Session session;
    std::optional<DatagramLink> network;
};

using Boards = std::vector<std::unique_ptr<Board>>;

// A board for every address (the first also on the pty), or the pty's alone.
Boards MakeBoards(const Options& options)
{
    Boards boards;
    const bool several = options.udpAddresses.size() > 1;
    if (options.udpAddresses.empty()) {
        boards.push_back(std::make_unique<Board>(options, std::nullopt, ""));
    }
    for (const std::string& address : options.udpAddresses) {
        boards.push_back(std::make_unique<Board>(options, address, several ? address : ""));
    }
    return boards;
}

class Server {
public:
    Server(const Options& options, Boards& boards) : boards_(boards)
    {
        if (options.pty) {
            serial_.emplace(options.link, options.baud);
            std::cout << "pty: " << serial_->Path() << '\n';
        }
        std::cout << "ready" << std::endl;
    }

    ExitStatus Run()
    {
        for (;;) {
            Clock::time_point now = Clock::now();
            Flush(now);
            if (AnyFailed()) {
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
    Session& SerialSession() { return boards_.front()->session; }

    bool AnyFailed() const
    {
        return std::any_of(boards_.begin(), boards_.end(), [](const auto& board) { return board->session.Failed(); });
    }

    void Flush(Clock::time_point now)
    {
        if (serial_) {
            serial_->Flush(now);
        }
        for (const auto& board : boards_) {
            if (board->network) {
                board->network->Flush(now);
            }
        }
    }

    std::optional<Clock::time_point> NextWake(Clock::time_point now) const
    {
        std::optional<Clock::time_point> wake = serial_ ? serial_->NextWake(now) : std::nullopt;
        for (const auto& board : boards_) {
            wake = Earliest(wake, board->network ? board->network->NextWake() : std::nullopt);
        }
        return wake;
    }

    // Until the next wake, or the idle flush when it comes first.
    int WaitTimeout(Clock::time_point now) const
    {
        const bool pending = std::any_of(boards_.begin(), boards_.end(), [](const auto& board) {
            return board->transcript.Pending() || board->store.Pending();
        });
        const std::optional<Clock::time_point> flush = pending ? std::optional(lastActivity_ + IdleFlush) : std::nullopt;
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
        for (const auto& board : boards_) {
            board->transcript.Flush();
            board->store.Flush();
        }
    }

    // The signal pipe first, then the serial line, then the sockets, each
    // socket's board noted beside it.
    std::vector<pollfd> Waits(Clock::time_point now)
    {
        std::vector<pollfd> fds{{signalPipe[0], POLLIN, 0}};
        if (serial_) {
            fds.push_back({serial_->Fd(), serial_->Events(now), 0});
        }
        socketBoards_.clear();
        for (const auto& board : boards_) {
            if (!board->network) {
                continue;
            }
            for (int socket : board->network->Sockets()) {
                fds.push_back({socket, POLLIN, 0});
                socketBoards_.push_back(board.get());
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
                    serial_->Send(SerialSession().OnSerialBytes(bytes), now);
                }
            }
            ++next;
        }
        for (std::size_t socket = 0; next < fds.size(); ++next, ++socket) {
            if ((fds[next].revents & POLLIN) == 0) {
                continue;
            }
            // A block write is mostly followed at once by the next request:
            // it is read before the board waits again, as a board that reads
            // its queue would.
            Board& board = *socketBoards_[socket];
            for (int taken = 1; board.network->Receive(fds[next].fd, board.session, now) && !board.session.Failed() &&
                                taken < BackToBackLimit;
                 ++taken) {
            }
        }
    }

    Boards& boards_;
    std::vector<Board*> socketBoards_;  // the board of each socket waited on, in order
    Clock::time_point lastActivity_ = Clock::now();  // of the links
    std::optional<SerialLine> serial_;
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

// One board's summary as it is; several boards' each under its address.
std::string Summary(const Options& options, const Boards& boards)
{
    if (boards.size() == 1) {
        return boards.front()->session.Summary();
    }
    std::string summary;
    for (std::size_t k = 0; k < boards.size(); ++k) {
        summary += "board=" + options.udpAddresses[k] + "\n" + boards[k]->session.Summary();
    }
    return summary;
}

ExitStatus Serve(const Options& options)
{
    Boards boards = MakeBoards(options);
    ExitStatus status = Stopped;
    try {
        status = Server(options, boards).Run();
    } catch (const std::exception& error) {
        std::cerr << "boardsim: " << error.what() << std::endl;
        status = Failure;
    }
    // Whoever reads the summary finds the whole transcript and every kept
    // byte beside it.
    for (const auto& board : boards) {
        board->transcript.Flush();
        try {
            board->store.Flush();
        } catch (const std::exception& error) {
            std::cerr << "boardsim: " << error.what() << std::endl;
            status = Failure;
        }
    }
    const std::string summary = Summary(options, boards);
    std::cerr << "boardsim summary:\n" << summary << std::flush;
    if (options.summary) {
        WriteSummaryFile(*options.summary, summary);
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
