#include "cli/Terminal.h"

#include "cli/Terminal_p.h"

namespace {

// The size of a terminal that does not tell its own.
constexpr int FallbackColumns = 80;
constexpr int FallbackRows = 24;

} // namespace

TTerminalSize TerminalSize(int stream)
{
    TTerminalSize size = ToldTerminalSize(stream);
    if (size.columns <= 0)
        size.columns = FallbackColumns;
    if (size.rows <= 0)
        size.rows = FallbackRows;
    return size;
}
