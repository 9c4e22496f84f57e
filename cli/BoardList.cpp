#include "cli/BoardList.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace {

constexpr char CommentMark = '#';
constexpr const char* Blanks = " \t\r";
constexpr const char* StandardInput = "-";

} // namespace

std::vector<std::string> BoardsOfList(const std::string& text)
{
    std::vector<std::string> boards;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        line = line.substr(0, line.find(CommentMark));
        const std::size_t first = line.find_first_not_of(Blanks);
        if (first == std::string::npos)
            continue;
        const std::string board = line.substr(first, line.find_last_not_of(Blanks) + 1 - first);
        if (std::find(boards.begin(), boards.end(), board) == boards.end())
            boards.push_back(board);
    }
    return boards;
}

std::optional<std::vector<std::string>> ReadBoardList(const std::string& from, std::string& error)
{
    std::ifstream file;
    if (from != StandardInput) {
        file.open(from, std::ios::binary);
        if (!file) {
            error = "--boards-from: cannot read " + from + ": " + std::strerror(errno);
            return std::nullopt;
        }
    }
    std::istream& input = from == StandardInput ? std::cin : file;
    const std::string text{std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
    if (input.bad()) {
        error = "--boards-from: cannot read " + (from == StandardInput ? std::string("standard input") : from);
        return std::nullopt;
    }
    return BoardsOfList(text);
}
