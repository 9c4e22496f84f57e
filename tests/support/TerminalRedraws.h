// Reading what a program wrote to a terminal.
#pragma once

#include <cstddef>
#include <string>

// The redraws of a view drawn in place: each after the first starts by moving
// the cursor up over the rows it replaces (ESC [ n A).
inline std::size_t RedrawsIn(const std::string& shown)
{
    std::size_t redraws = 0;
    for (std::size_t at = shown.find("\x1b["); at != std::string::npos; at = shown.find("\x1b[", at + 1)) {
        const std::size_t end = shown.find_first_not_of("0123456789", at + 2);
        redraws += end != std::string::npos && shown[end] == 'A';
    }
    return redraws;
}
