// The standard streams of orvenda-update and the terminal that may be behind
// them: whether there is one, its size, whether it takes the escape
// sequences of the live view, and the writes that reach it.
#pragma once

#include <cstddef>

// The standard streams, by the numbers every C library gives them.
inline constexpr int StandardInput = 0;
inline constexpr int StandardOutput = 1;
inline constexpr int StandardError = 2;

struct TTerminalSize {
    int columns = 0;
    int rows = 0;
};

// Whether `stream` is a terminal (a console on Windows).
bool IsTerminal(int stream);
// The size of the terminal at `stream`; its usual 80x24 where it tells none.
TTerminalSize TerminalSize(int stream);
// Whether the terminal at `stream` colours text on the escape sequences of
// the result's colours.
bool TerminalShowsColour(int stream);
// Whether `stream` is a terminal that moves its cursor on the escape
// sequences of the live view.
bool TerminalMovesCursor(int stream);
// Writes as much of `size` bytes at `data` to `stream` as it takes at once,
// waiting until it takes some: how many it took, or -1 when it takes none.
long WriteSome(int stream, const char* data, std::size_t size);
