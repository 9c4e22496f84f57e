#include "cli/Terminal.h"

#include "cli/Terminal_p.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// The terminal's type, as the environment tells it; "dumb" knows no control
// sequences, and without a type they are unknown too.
const char* TerminalType()
{
    return std::getenv("TERM");
}

bool IsDumb(const char* type)
{
    return std::strcmp(type, "dumb") == 0;
}

} // namespace

bool IsTerminal(int stream)
{
    return ::isatty(stream) == 1;
}

TTerminalSize ToldTerminalSize(int stream)
{
    winsize size{};
    if (::ioctl(stream, TIOCGWINSZ, &size) != 0)
        return {};
    return {size.ws_col, size.ws_row};
}

// Colours go by the terminal's type alone: the caller has asked whether the
// stream is a terminal.
bool TerminalShowsColour(int /*stream*/)
{
    const char* type = TerminalType();
    return type != nullptr && !IsDumb(type);
}

bool TerminalMovesCursor(int stream)
{
    const char* type = TerminalType();
    return IsTerminal(stream) && type != nullptr && *type != '\0' && !IsDumb(type);
}

long WriteSome(int stream, const char* data, std::size_t size)
{
    for (;;) {
        const ssize_t wrote = ::write(stream, data, size);
        if (wrote != -1 || errno != EINTR)
            return wrote;
    }
}
