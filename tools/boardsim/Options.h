// The board's command line. ParseOptions never exits or prints: it returns
// the options or the reason they were refused, and HelpText() is what --help
// prints.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tools/boardsim/Session.h"

namespace boardsim {

struct Options {
    bool help = false;
    bool pty = false;
    std::optional<std::filesystem::path> link;
    std::uint32_t baud = 0;                     // 0: read unpaced
    // Dotted IPv4, one board each; the first shares its board with the pty.
    std::vector<std::string> udpAddresses;
    std::optional<std::filesystem::path> out;
    std::optional<std::filesystem::path> transcript;
    std::optional<std::filesystem::path> summary;
    SessionSettings session;
};

struct OptionError {
    std::string message;
};

// `arguments` without the program name.
std::variant<Options, OptionError> ParseOptions(const std::vector<std::string>& arguments);

std::string HelpText();

// "A5 16 02" or "A5,16,02": one or two hexadecimal digits a byte. Nothing
// when any part is not such a byte.
std::optional<Bytes> ParseHexBytes(const std::string& text);

}  // namespace boardsim
