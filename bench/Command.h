// Runs another program to its end for a benchmark, bounded in time.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

struct CommandResult {
    int exitCode = 0;
    QByteArray output;  // standard output; standard error goes to ours
};

// Runs `program` with `arguments` and returns its exit code and output. The
// run leads a process group of its own, so that one that outlasts
// `limitMs` is ended together with whatever it started. Throws
// std::runtime_error, naming `what`, when it cannot start, crashes or hangs.
CommandResult RunToEnd(const QString& program, const QStringList& arguments, int limitMs, const std::string& what);
