// Runs another program to its end for a benchmark, bounded in time, and tells
// what the run cost.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CommandResult {
    int exitCode = 0;
    std::string output;        // standard output; standard error goes to ours
    double cpuSeconds = 0;     // user + system time of the run
    std::int64_t peakKiB = 0;  // its peak resident memory (ru_maxrss)
};

// Runs `program` with `arguments` and returns its exit code, output and
// cost. The run leads a process group of its own, so that one that outlasts
// `limitMs` is ended together with whatever it started. Throws
// std::runtime_error, naming `what`, when it cannot start, crashes or hangs.
CommandResult RunToEnd(const std::string& program, const std::vector<std::string>& arguments, int limitMs,
                       const std::string& what);
// The same with the program on a terminal of `columns` by `rows` (a
// pseudo-terminal for its standard output and standard error, TERM=xterm):
// `output` is everything it wrote to the terminal.
CommandResult RunOnTerminal(const std::string& program, const std::vector<std::string>& arguments, int limitMs,
                            const std::string& what, unsigned short columns, unsigned short rows);
