// Ctrl-C: the handler only raises a flag; every session checks it at its next
// wait and ends there, so that ports and sockets are closed in order and the
// summary of what was done is printed.
#pragma once

#include <stdexcept>

// Installs the SIGINT handler.
void InstallInterruptHandler();
bool Interrupted();

// Why a board's session ended before its transfer did.
class ESessionEnded : public std::runtime_error {
public:
    enum class Reason { Interrupted, Stopped };
    ESessionEnded(Reason reason, const std::string& text) : std::runtime_error(text), reason_(reason) {}
    Reason WhyEnded() const { return reason_; }

private:
    Reason reason_;
};

// Raises ESessionEnded when Ctrl-C was pressed.
void EndIfInterrupted();
