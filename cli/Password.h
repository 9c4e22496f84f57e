// The BIOS password for the command line.
#pragma once

#include <optional>
#include <string>

// The first line of `file`, or, without a file, a line typed at the terminal
// without echo (a line of standard input when that is no terminal). Nothing,
// with the reason in `error`, when it cannot be read.
std::optional<std::string> ReadPassword(const std::optional<std::string>& file, std::string& error);
