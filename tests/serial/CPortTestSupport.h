// A pseudo-terminal for the driver's tests: the port opens its terminal side,
// the test holds the other side (and a descriptor of the terminal side, to
// read back the line state the driver set).
#pragma once

#include <termios.h>

#include <QCoreApplication>

#include "serial/CPort.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

class PseudoTerminal {
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // The path the port opens.
    const std::string& Path() const { return path_; }
    // Sends bytes to the port.
    void Send(std::string_view bytes);
    // Waits for `count` bytes from the port and returns them; after WaitBound
    // the test fails and what came is returned.
    std::string Receive(std::size_t count);
    // The line state of the terminal side, as the kernel holds it.
    termios State() const;
    void SetState(const termios& state);
    // Closes the test's side: the port's device hangs up.
    void HangUp();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// The longest a test waits for something to happen. It bounds a wait that
// would otherwise hang on a fault; no test asserts how fast anything is.
inline constexpr std::chrono::seconds WaitBound{10};

// Processes the GUI thread's events until `done` holds, at most WaitBound;
// then the test fails, saying what did not happen (`awaited`), and false
// returns.
bool ProcessEventsUntil(const std::function<bool()>& done, const std::string& awaited);
// The same without processing the GUI thread's events, so that nothing is
// dispatched meanwhile.
bool WaitWithoutEvents(const std::function<bool()>& done, const std::string& awaited);

// The driver error `operation` raises, if any.
std::optional<EComPort> CatchComError(const std::function<void()>& operation);
