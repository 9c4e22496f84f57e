#include "tests/serial/CPortTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

constexpr int PollSliceMs = 100;
constexpr auto IdleSlice = std::chrono::milliseconds(1);

using Clock = std::chrono::steady_clock;

// Runs `step` until `done` holds or WaitBound has passed.
bool WaitUntil(const std::function<bool()>& done, const std::function<void()>& step, const std::string& awaited)
{
    const Clock::time_point end = Clock::now() + WaitBound;
    while (!done()) {
        if (Clock::now() > end) {
            ADD_FAILURE() << "Waited " << WaitBound.count() << " s in vain for: " << awaited;
            return false;
        }
        step();
    }
    return true;
}

} // namespace

PseudoTerminal::PseudoTerminal()
{
    if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) == -1)
        throw std::runtime_error("openpty failed");
    path_ = ::ttyname(slave_);
}

PseudoTerminal::~PseudoTerminal()
{
    HangUp();
    if (slave_ != -1)
        ::close(slave_);
}

void PseudoTerminal::Send(std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t written = ::write(master_, bytes.data(), bytes.size());
        if (written == -1 && errno == EINTR)
            continue;
        ASSERT_GT(written, 0) << "write to the pseudo-terminal failed";
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

std::string PseudoTerminal::Receive(std::size_t count)
{
    std::string received;
    auto receiveSome = [&] {
        pollfd entry{master_, POLLIN, 0};
        if (::poll(&entry, 1, PollSliceMs) <= 0)
            return;
        char chunk[256];
        ssize_t got = ::read(master_, chunk, std::min(sizeof chunk, count - received.size()));
        if (got > 0)
            received.append(chunk, static_cast<std::size_t>(got));
    };
    WaitUntil([&] { return received.size() >= count; }, receiveSome,
              std::to_string(count) + " bytes from the port");
    return received;
}

termios PseudoTerminal::State() const
{
    termios state{};
    ::tcgetattr(slave_, &state);
    return state;
}

void PseudoTerminal::SetState(const termios& state)
{
    ::tcsetattr(slave_, TCSANOW, &state);
}

void PseudoTerminal::HangUp()
{
    if (master_ != -1)
        ::close(master_);
    master_ = -1;
}

bool ProcessEventsUntil(const std::function<bool()>& done, const std::string& awaited)
{
    return WaitUntil(
        done,
        [] {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(IdleSlice);
        },
        awaited);
}

bool WaitWithoutEvents(const std::function<bool()>& done, const std::string& awaited)
{
    return WaitUntil(done, [] { std::this_thread::yield(); }, awaited);
}

std::optional<EComPort> CatchComError(const std::function<void()>& operation)
{
    try {
        operation();
    } catch (const EComPort& error) {
        return error;
    }
    return std::nullopt;
}
