#include "cli/Password_p.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace {

// Switches the terminal's echo off for its lifetime.
class TEchoOff {
public:
    TEchoOff() : active_(::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &saved_) == 0)
    {
        if (!active_)
            return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    ~TEchoOff()
    {
        if (!active_)
            return;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
        std::fputc('\n', stderr);  // the Enter that was not echoed
    }
    TEchoOff(const TEchoOff&) = delete;
    TEchoOff& operator=(const TEchoOff&) = delete;

private:
    termios saved_{};
    bool active_;
};

} // namespace

bool ReadUnechoedLine(std::string& line)
{
    const TEchoOff echoOff;
    return static_cast<bool>(std::getline(std::cin, line));
}
