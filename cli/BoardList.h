// The boards --boards-from names: a file, or standard input, one board a line.
#pragma once

#include <optional>
#include <string>
#include <vector>

// The boards of `from` ("-": standard input), one a line: blanks around a
// name are dropped, and so are blank lines and everything from a "#" on.
// Each board once, in the order of the list. None, with the reason, when
// the list cannot be read.
std::optional<std::vector<std::string>> ReadBoardList(const std::string& from, std::string& error);

// The boards of a list's text, as ReadBoardList takes them.
std::vector<std::string> BoardsOfList(const std::string& text);
