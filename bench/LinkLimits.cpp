#include "bench/LinkLimits.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/Usage.h"

namespace {

using Clock = std::chrono::steady_clock;

// No single wait of a limit measurement takes anywhere near this long; it only
// ends a stalled measurement instead of hanging the benchmark.
constexpr auto StallLimit = std::chrono::seconds(10);
constexpr std::size_t DrainChunk = 4096;
constexpr const char* LoopbackAddress = "127.0.0.1";

[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Waits until `fd` is ready for `events`; throws when it is not within the
// stall limit.
void WaitReady(int fd, short events, const std::string& what)
{
    const Clock::time_point deadline = Clock::now() + StallLimit;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            throw std::runtime_error(what + ": stalled for " + std::to_string(StallLimit.count()) + " s");
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0)
            return;
        if (ready < 0 && errno != EINTR)
            Fail(what + ": poll");
    }
}

template <typename Call>
ssize_t RetryOnSignal(Call call)
{
    ssize_t result = 0;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int& Get() { return fd_; }
    int Get() const { return fd_; }

private:
    int fd_;
};

// Runs `work` on a thread of its own; Join() waits for it and raises what it
// raised.
class Worker {
public:
    template <typename Work>
    explicit Worker(Work work)
        : thread_([this, work] {
              try {
                  work();
              } catch (...) {
                  error_ = std::current_exception();
              }
          })
    {
    }
    ~Worker()
    {
        if (thread_.joinable())
            thread_.join();
    }
    void Join()
    {
        thread_.join();
        if (error_)
            std::rethrow_exception(error_);
    }

private:
    std::exception_ptr error_;
    std::thread thread_;
};

// --- The pseudo-terminal ---

void DrainPseudoTerminal(int master, std::size_t bytes)
{
    std::array<char, DrainChunk> buffer{};
    for (std::size_t drained = 0; drained < bytes;) {
        WaitReady(master, POLLIN, "pseudo-terminal drain");
        const ssize_t got = RetryOnSignal([&] { return ::read(master, buffer.data(), buffer.size()); });
        if (got < 0)
            Fail("pseudo-terminal drain: read");
        drained += static_cast<std::size_t>(got);
    }
}

// --- The datagram sockets ---

sockaddr_in SocketAddress(const std::string& dotted, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, dotted.c_str(), &address.sin_addr) != 1)
        throw std::runtime_error("not an IPv4 address: " + dotted);
    return address;
}

// A UDP socket on a free port of the loopback address.
class LoopbackSocket {
public:
    LoopbackSocket() : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        if (socket_.Get() < 0)
            Fail("UDP socket");
        sockaddr_in local = SocketAddress(LoopbackAddress, 0);
        socklen_t length = sizeof local;
        if (::bind(socket_.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0
            || ::getsockname(socket_.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
            Fail("UDP socket: bind to loopback");
        port_ = ntohs(local.sin_port);
    }

    std::uint16_t Port() const { return port_; }

    // Datagrams go to, and come only from, that address and port.
    void ConnectTo(const std::string& address, std::uint16_t port)
    {
        const sockaddr_in peer = SocketAddress(address, port);
        if (::connect(socket_.Get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0)
            Fail("UDP socket: connect to " + address);
    }
    void ConnectTo(const LoopbackSocket& other) { ConnectTo(LoopbackAddress, other.Port()); }

    void Send(const std::vector<char>& datagram)
    {
        if (RetryOnSignal([&] { return ::send(socket_.Get(), datagram.data(), datagram.size(), 0); }) < 0)
            Fail("UDP send");
    }

    // Returns the length of the next datagram.
    std::size_t Receive(std::vector<char>& buffer)
    {
        WaitReady(socket_.Get(), POLLIN, "UDP receive");
        const ssize_t got = RetryOnSignal([&] { return ::recv(socket_.Get(), buffer.data(), buffer.size(), 0); });
        if (got < 0)
            Fail("UDP receive");
        return static_cast<std::size_t>(got);
    }

private:
    Descriptor socket_;
    std::uint16_t port_ = 0;
};

// Answers every query datagram with an answer datagram, `cycles` times.
void AnswerQueries(LoopbackSocket& board, std::size_t cycles)
{
    std::vector<char> buffer(BlockFrameSize);
    const std::vector<char> answer(AnswerFrameSize);
    for (std::size_t answered = 0; answered < cycles;) {
        if (board.Receive(buffer) == QueryFrameSize) {
            board.Send(answer);
            ++answered;
        }
    }
}

// Sends a block and a query and waits for the answer, `cycles` times; returns
// the cycles per second.
double BlockCycleRate(LoopbackSocket& sender, const std::vector<char>& block, const std::vector<char>& query,
                      std::size_t cycles)
{
    std::vector<char> answer(BlockFrameSize);
    const Stopwatch clock;
    for (std::size_t cycle = 0; cycle < cycles; ++cycle) {
        sender.Send(block);
        sender.Send(query);
        sender.Receive(answer);
    }
    return static_cast<double>(cycles) / clock.Elapsed().wallSeconds;
}

// --- The updater's frames, for a board that checks them ---

constexpr Byte OperationGetBootError = 0x01;
constexpr Byte OperationSetBurnBlock = 0xC8;
constexpr Byte FirmwareBurnBlock = 0;

std::vector<char> Datagram(std::span<const Byte> frame, std::int32_t txLength)
{
    return std::vector<char>(frame.begin(), frame.begin() + (txLength - 1));
}

// A table request: group, operation and parameters behind the frame header.
std::vector<char> Request(std::initializer_list<Byte> payload)
{
    std::array<Byte, TxFrameSize> frame{};
    std::copy(payload.begin(), payload.end(), frame.begin() + FrameHeaderSize);
    return Datagram(frame, CloseFrame(frame, static_cast<int>(payload.size())));
}

std::vector<char> ImageBlock()
{
    std::array<Byte, TxFrameSize> frame{};
    const std::array<Byte, ImageBlockSize> data{};
    return Datagram(frame, EncodeBlockWrite(frame, GroupBoot, OperationImageBlock, std::nullopt, data));
}

} // namespace

double PseudoTerminalOneByteRate(std::size_t bytes)
{
    Descriptor master;
    Descriptor slave;
    if (::openpty(&master.Get(), &slave.Get(), nullptr, nullptr, nullptr) != 0)
        Fail("openpty");
    // Raw, as the updater's port and the board set their line: no echo and no
    // translation.
    termios settings{};
    if (::tcgetattr(slave.Get(), &settings) != 0)
        Fail("pseudo-terminal settings");
    ::cfmakeraw(&settings);
    if (::tcsetattr(slave.Get(), TCSANOW, &settings) != 0)
        Fail("pseudo-terminal settings");

    // Non-blocking, as the updater's port: a full queue is waited for under the
    // stall limit, so a reader that fails cannot leave the writer hanging.
    if (::fcntl(slave.Get(), F_SETFL, ::fcntl(slave.Get(), F_GETFL) | O_NONBLOCK) != 0)
        Fail("pseudo-terminal: non-blocking");

    const Stopwatch clock;
    Worker reader([&] { DrainPseudoTerminal(master.Get(), bytes); });
    const char byte = 0;
    for (std::size_t written = 0; written < bytes;) {
        const ssize_t done = RetryOnSignal([&] { return ::write(slave.Get(), &byte, 1); });
        if (done == 1)
            ++written;
        else if (done < 0 && errno == EAGAIN)
            WaitReady(slave.Get(), POLLOUT, "pseudo-terminal: one-byte write");
        else
            Fail("pseudo-terminal: one-byte write");
    }
    reader.Join();
    return static_cast<double>(bytes) / clock.Elapsed().wallSeconds;
}

double DatagramPingPongRate(std::size_t cycles, const Cores& cores)
{
    LoopbackSocket updater;
    LoopbackSocket board;
    updater.ConnectTo(board);
    board.ConnectTo(updater);
    // Both sides on threads of their own, so that pinning them leaves the
    // calling thread where it was.
    Worker answerer([&] {
        PinThisThread(cores.board);
        AnswerQueries(board, cycles);
    });
    double rate = 0;
    Worker sender([&] {
        PinThisThread(cores.updater);
        rate = BlockCycleRate(updater, std::vector<char>(BlockFrameSize), std::vector<char>(QueryFrameSize), cycles);
    });
    sender.Join();
    answerer.Join();
    return rate;
}

double BoardPingPongRate(const std::string& address, std::uint16_t port, std::size_t cycles)
{
    LoopbackSocket sender;
    sender.ConnectTo(address, port);
    sender.Send(Request({GroupBoot, OperationSetBurnBlock, FirmwareBurnBlock}));
    return BlockCycleRate(sender, ImageBlock(), Request({GroupBoot, OperationGetBootError}), cycles);
}
