// Runs orvenda-update as a child process in a working folder of its own (its
// ZEVEVI.CFG, its COM1 link, its update history), and reads what it printed.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

class BoardSim;
class NetNamespace;

struct CliOutcome {
    int exitCode = -1;
    std::string out;
    std::string err;

    // The JSON objects of standard output whose "event" is `event`.
    std::vector<QJsonObject> Events(const QString& event) const;
    // The done object of one board; an empty object when there is none.
    QJsonObject DoneOf(const std::string& board) const;
    // Everything printed, for failure messages.
    std::string Printed() const;
};

class CliFolder {
public:
    CliFolder();

    std::string PathOf(const std::string& name) const;
    // Writes a file of `size` varied bytes (0xA5 among them) and returns its
    // content.
    std::string WriteFile(const std::string& name, std::size_t size) const;
    void WriteBytes(const std::string& name, const std::string& bytes) const;
    // Sets a variable of the program's environment, for every later start.
    void SetEnvironment(const QString& name, const QString& value) { extra_.insert(name, value); }
    // Leaves a variable out of the program's environment, for every later start.
    void RemoveEnvironment(const QString& name) { removed_ << name; }
    // Runs every later start as another user (root only): the program is
    // copied into the working folder, which that user may then read.
    void RunAsUser(uid_t user, gid_t group);

    // Runs the program to its end with `input` on its standard input. Fails
    // the test when it does not end within the runner's patience.
    CliOutcome Run(const QStringList& arguments, const QByteArray& input = {}) const;
    // Starts the program (inside `space` when given) and returns at once.
    void Start(QProcess& process, const QStringList& arguments, const NetNamespace* space = nullptr) const;
    // Waits for a started program's end, bounded; fails the test when it does not end.
    CliOutcome Finish(QProcess& process) const;

private:
    QString Program() const;

    QTemporaryDir folder_;
    QProcessEnvironment extra_;
    QStringList removed_;
    std::optional<std::pair<uid_t, gid_t>> user_;
};

// The frames a board received, one transcript line each without its direction.
std::vector<std::string> ReceivedFrames(const BoardSim& board);

// Waits (bounded) until the board has received a frame whose transcript line
// holds `fragment`: frames that get no answer may still be on their way when
// the program has ended.
::testing::AssertionResult AwaitFrame(const BoardSim& board, const std::string& fragment);

// A loopback address of this test process's own: 127.a.b.n.
std::string LoopbackAddress(int n);
