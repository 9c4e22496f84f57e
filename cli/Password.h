// The BIOS password for the command line.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// A password is one short line: no more than this is read from its file, so
// that a huge file cannot fill the memory.
inline constexpr std::size_t PasswordFileReadLimit = 4096;

// The first line of `file` (a regular file; a line longer than a few KiB is
// cut there), or, without a file, a line typed at the terminal without echo
// (a line of standard input when that is no terminal). Nothing, with the
// reason in `error`, when it cannot be read.
std::optional<std::string> ReadPassword(const std::optional<std::string>& file, std::string& error);
