#include "cli/Password_p.h"

#include <windows.h>

#include <cstdio>
#include <iostream>

namespace {

// Switches the console's echo off for its lifetime. A console alone has a
// mode to ask for: a pipe or a file echoes nothing anyway.
class TEchoOff {
public:
    TEchoOff() : console_(::GetStdHandle(STD_INPUT_HANDLE)), active_(::GetConsoleMode(console_, &saved_) != 0)
    {
        if (active_)
            ::SetConsoleMode(console_, saved_ & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    }
    ~TEchoOff()
    {
        if (!active_)
            return;
        ::SetConsoleMode(console_, saved_);
        std::fputc('\n', stderr);  // the Enter that was not echoed
    }
    TEchoOff(const TEchoOff&) = delete;
    TEchoOff& operator=(const TEchoOff&) = delete;

private:
    HANDLE console_;
    DWORD saved_ = 0;
    bool active_;
};

} // namespace

bool ReadUnechoedLine(std::string& line)
{
    const TEchoOff echoOff;
    return static_cast<bool>(std::getline(std::cin, line));
}
