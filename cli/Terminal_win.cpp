#include "cli/Terminal.h"

#include "cli/Terminal_p.h"

#include <windows.h>
#include <io.h>

#include <algorithm>
#include <climits>

namespace {

// The most one write hands the C library, which counts in an int.
constexpr std::size_t MostWrittenAtOnce = INT_MAX;

HANDLE HandleOf(int stream)
{
    return reinterpret_cast<HANDLE>(::_get_osfhandle(stream));
}

// Switches the console's processing of escape sequences on for the
// program's life: since Windows 10 a console moves the cursor and colours
// text on the same sequences as a terminal, once asked to. The mode belongs
// to the console, which the shell that started the program shares: it is
// put back as the program ends.
class TEscapesOn {
public:
    explicit TEscapesOn(int stream) : console_(HandleOf(stream))
    {
        if (!::GetConsoleMode(console_, &saved_))
            return;
        const bool already = (saved_ & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
        switched_ = !already && ::SetConsoleMode(console_, saved_ | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
        on_ = already || switched_;
    }
    ~TEscapesOn()
    {
        if (switched_)
            ::SetConsoleMode(console_, saved_);
    }
    TEscapesOn(const TEscapesOn&) = delete;
    TEscapesOn& operator=(const TEscapesOn&) = delete;

    bool On() const { return on_; }

private:
    HANDLE console_;
    DWORD saved_ = 0;
    bool switched_ = false;
    bool on_ = false;
};

// Whether the console at `stream` takes escape sequences, switched on at the
// first question.
bool TakesEscapes(int stream)
{
    static const TEscapesOn output(StandardOutput);
    static const TEscapesOn error(StandardError);
    return (stream == StandardError ? error : output).On();
}

} // namespace

// A console, not any character device: NUL is one too, and _isatty takes it
// for a terminal.
bool IsTerminal(int stream)
{
    DWORD mode = 0;
    return ::GetConsoleMode(HandleOf(stream), &mode) != 0;
}

// The console's window, not its buffer, which may hold thousands of rows.
TTerminalSize ToldTerminalSize(int stream)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!::GetConsoleScreenBufferInfo(HandleOf(stream), &info))
        return {};
    return {info.srWindow.Right - info.srWindow.Left + 1, info.srWindow.Bottom - info.srWindow.Top + 1};
}

bool TerminalMovesCursor(int stream)
{
    return IsTerminal(stream) && TakesEscapes(stream);
}

// A console that takes the cursor's sequences takes the colours' too.
bool TerminalShowsColour(int stream)
{
    return TerminalMovesCursor(stream);
}

// Through the C library, as printf writes: a line end on a stream in text
// mode becomes CR LF on both.
long WriteSome(int stream, const char* data, std::size_t size)
{
    return ::_write(stream, data, static_cast<unsigned int>(std::min(size, MostWrittenAtOnce)));
}
