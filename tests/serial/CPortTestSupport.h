// A pseudo-terminal for the driver's tests: the port opens its terminal side,
// the test holds the other side (and a descriptor of the terminal side, to
// read back the line state the driver set).
#pragma once

#include <termios.h>

#include <QCoreApplication>

#include "serial/CPort.h"

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
    // Waits for `count` bytes from the port and returns them.
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

// Processes the GUI thread's events until `done` holds. The test's time-out
// bounds the wait; nothing here measures time.
void ProcessEventsUntil(const std::function<bool()>& done);

// The driver error `operation` raises, if any.
std::optional<EComPort> CatchComError(const std::function<void()>& operation);
