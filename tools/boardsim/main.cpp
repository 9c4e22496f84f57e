// The simulated board: serves the updater on a pseudo-terminal and on UDP
// until SIGINT or SIGTERM, then prints what it received.
#include <fcntl.h>
#include <sys/epoll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <span>
#include <cstdio>
#include <ctime>
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

// The time to `wake` to the nanosecond, none without a wake: an answer
// delayed 2 ms goes out then, not at the next whole millisecond.
std::optional<timespec> PollTimeout(std::optional<Clock::time_point> wake, Clock::time_point now)
{
    if (!wake) {
        return std::nullopt;
    }
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(*wake - now, Clock::duration::zero()));
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>((left - seconds).count())};
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
            network.emplace(*address, options.session.faults);
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

// What a ready descriptor is, in its epoll entry: the signal pipe, the serial
// line, or (from SocketTags on) the board socket of that index.
constexpr std::uint64_t SignalTag = 0;
constexpr std::uint64_t SerialTag = 1;
constexpr std::uint64_t SocketTags = 2;
constexpr int ReadyPerWait = 256;

class Server {
public:
    Server(const Options& options, Boards& boards) : boards_(boards), waitSet_(::epoll_create1(EPOLL_CLOEXEC))
    {
        if (waitSet_ == -1) {
            ThrowSystemError("create the wait set");
        }
        if (options.pty) {
            serial_.emplace(options.link, options.baud);
            std::cout << "pty: " << serial_->Path() << '\n';
        }
        // Sockets wait in one set: a board among a thousand costs no more
        // than one alone.
        Watch(EPOLL_CTL_ADD, signalPipe[0], EPOLLIN, SignalTag);
        if (serial_) {
            Watch(EPOLL_CTL_ADD, serial_->Fd(), serialEvents_, SerialTag);
        }
        for (const auto& board : boards_) {
            for (int socket : board->network ? board->network->Sockets() : std::vector<int>{}) {
                Watch(EPOLL_CTL_ADD, socket, EPOLLIN, SocketTags + sockets_.size());
                sockets_.push_back({socket, board.get()});
            }
        }
        std::cout << "ready" << std::endl;
    }
    ~Server() { ::close(waitSet_); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    ExitStatus Run()
    {
        for (;;) {
            Clock::time_point now = Clock::now();
            Flush(now);
            if (AnyFailed()) {
                return StrictStop;
            }
            WatchSerial(now);
            std::array<epoll_event, ReadyPerWait> ready{};
            const std::optional<timespec> timeout = WaitTimeout(now);
            const int count =
                ::epoll_pwait2(waitSet_, ready.data(), ReadyPerWait, timeout ? &*timeout : nullptr, nullptr);
            if (count < 0 && errno != EINTR) {
                ThrowSystemError("wait for the links");
            }
            const std::span<const epoll_event> events(ready.data(), static_cast<std::size_t>(std::max(count, 0)));
            if (std::any_of(events.begin(), events.end(), [](const epoll_event& e) { return e.data.u64 == SignalTag; }) &&
                OnRequests()) {
                return Stopped;
            }
            now = Clock::now();
            if (count > 0) {
                lastActivity_ = now;
                Serve(events, now);
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
    std::optional<timespec> WaitTimeout(Clock::time_point now) const
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

    void Watch(int operation, int descriptor, std::uint32_t events, std::uint64_t tag) const
    {
        epoll_event interest{};
        interest.events = events;
        interest.data.u64 = tag;
        if (::epoll_ctl(waitSet_, operation, descriptor, &interest) != 0) {
            ThrowSystemError("watch a link");
        }
    }

    // The serial line's events change with its pacing and what it has to send.
    void WatchSerial(Clock::time_point now)
    {
        if (!serial_) {
            return;
        }
        const auto events = static_cast<std::uint32_t>(static_cast<unsigned short>(serial_->Events(now)));
        if (events != serialEvents_) {
            Watch(EPOLL_CTL_MOD, serial_->Fd(), events, SerialTag);
            serialEvents_ = events;
        }
    }

    // The serial line first, then the sockets.
    void Serve(std::span<const epoll_event> events, Clock::time_point now)
    {
        for (const epoll_event& event : events) {
            if (event.data.u64 == SerialTag && (event.events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0) {
                const Bytes bytes = serial_->Read(now);
                if (!bytes.empty()) {
                    serial_->Send(SerialSession().OnSerialBytes(bytes), now);
                }
            }
        }
        for (const epoll_event& event : events) {
            if (event.data.u64 < SocketTags || (event.events & EPOLLIN) == 0) {
                continue;
            }
            // A block write is mostly followed at once by the next request:
            // it is read before the board waits again, as a board that reads
            // its queue would.
            const auto& [socket, board] = sockets_[event.data.u64 - SocketTags];
            for (int taken = 1; board->network->Receive(socket, board->session, now) && !board->session.Failed() &&
                                taken < BackToBackLimit;
                 ++taken) {
            }
        }
    }

    struct WatchedSocket {
        int socket;
        Board* board;
    };

    Boards& boards_;
    int waitSet_;
    std::vector<WatchedSocket> sockets_;  // by their tags, from SocketTags on
    std::uint32_t serialEvents_ = 0;      // as the wait set has them
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
