#include "tests/cli/CliRunner.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcessEnvironment>

#include <cstdlib>
#include <sstream>
#include <thread>
#include <grp.h>
#include <unistd.h>

#include "tests/support/BoardSim.h"
#include "tests/support/NetNamespace.h"

namespace {

constexpr int PatienceMs = 10000;
// Loopback addresses from 127.2.0.0 to 127.61.255.255, apart from the ranges
// the window tests (from 127.64.0.0 on) and the benchmarks (127.0.0.0/16) use.
constexpr int FirstLoopbackSubnet = 2;
constexpr int LoopbackSubnets = 60;

} // namespace

std::vector<QJsonObject> CliOutcome::Events(const QString& event) const
{
    std::vector<QJsonObject> events;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const QJsonObject object = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        if (object.value("event").toString() == event)
            events.push_back(object);
    }
    return events;
}

QJsonObject CliOutcome::DoneOf(const std::string& board) const
{
    for (const QJsonObject& done : Events("done"))
        if (done.value("board").toString().toStdString() == board)
            return done;
    return {};
}

std::string CliOutcome::Printed() const
{
    return "exit " + std::to_string(exitCode) + "\nstdout:\n" + out + "stderr:\n" + err;
}

CliFolder::CliFolder()
{
    if (!folder_.isValid())
        throw std::runtime_error("cannot make a working folder");
}

std::string CliFolder::PathOf(const std::string& name) const
{
    return QDir(folder_.path()).filePath(QString::fromStdString(name)).toStdString();
}

std::string CliFolder::WriteFile(const std::string& name, std::size_t size) const
{
    std::string bytes(size, '\0');
    std::uint32_t state = static_cast<std::uint32_t>(size) + 1;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;  // any varied content will do
        byte = static_cast<char>(state >> 24);
    }
    if (size > 1)
        bytes[1] = static_cast<char>(0xA5);  // the frames' start byte inside the data
    WriteBytes(name, bytes);
    return bytes;
}

void CliFolder::WriteBytes(const std::string& name, const std::string& bytes) const
{
    QFile file(QString::fromStdString(PathOf(name)));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes.data(), static_cast<qint64>(bytes.size())) !=
                                                static_cast<qint64>(bytes.size()))
        throw std::runtime_error("cannot write " + name);
}

void CliFolder::RunAsUser(uid_t user, gid_t group)
{
    const QString copy = QDir(folder_.path()).filePath("orvenda-update");
    if (!QFile::copy(QStringLiteral(ORVENDA_UPDATE_PATH), copy))
        throw std::runtime_error("cannot copy orvenda-update into the working folder");
    const auto readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                          QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QFile::setPermissions(folder_.path(), readable);
    QFile::setPermissions(copy, readable);
    user_ = {user, group};
}

QString CliFolder::Program() const
{
    return user_ ? QDir(folder_.path()).filePath("orvenda-update") : QStringLiteral(ORVENDA_UPDATE_PATH);
}

void CliFolder::Start(QProcess& process, const QStringList& arguments, const NetNamespace* space) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", QDir(folder_.path()).filePath("state"));
    environment.insert(extra_);
    for (const QString& name : removed_)
        environment.remove(name);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(folder_.path());
    if (user_) {
        const auto [user, group] = *user_;
        process.setChildProcessModifier([user, group] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(group) != 0 || ::setuid(user) != 0)
                ::_exit(EXIT_FAILURE);
        });
    }
    if (space != nullptr) {
        space->Start(process, Program(), arguments);
    } else {
        process.start(Program(), arguments);
    }
    if (!process.waitForStarted(PatienceMs))
        ADD_FAILURE() << "orvenda-update did not start: " << process.errorString().toStdString();
}

CliOutcome CliFolder::Finish(QProcess& process) const
{
    // A caller may have seen it end already.
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(PatienceMs)) {
        ADD_FAILURE() << "orvenda-update did not end within " << PatienceMs << " ms";
        process.kill();
        process.waitForFinished(PatienceMs);
    }
    CliOutcome outcome;
    outcome.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    outcome.out = process.readAllStandardOutput().toStdString();
    outcome.err = process.readAllStandardError().toStdString();
    return outcome;
}

CliOutcome CliFolder::Run(const QStringList& arguments, const QByteArray& input) const
{
    QProcess process;
    Start(process, arguments);
    process.write(input);
    process.closeWriteChannel();
    return Finish(process);
}

std::vector<std::string> ReceivedFrames(const BoardSim& board)
{
    std::vector<std::string> frames;
    std::istringstream lines(board.Transcript());
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("rx ", 0) == 0)
            frames.push_back(line.substr(3));
    return frames;
}

::testing::AssertionResult AwaitFrame(const BoardSim& board, const std::string& fragment)
{
    constexpr auto Poll = std::chrono::milliseconds(10);
    QDeadlineTimer patience(PatienceMs);
    for (;;) {
        for (const std::string& frame : ReceivedFrames(board))
            if (frame.find(fragment) != std::string::npos)
                return ::testing::AssertionSuccess();
        if (patience.hasExpired())
            return ::testing::AssertionFailure() << "the board received no " << fragment << " frame";
        std::this_thread::sleep_for(Poll);
    }
}

std::string LoopbackAddress(int n)
{
    // The test process's id picks the subnet, so that test processes that
    // run at once never share a board's address.
    const int pid = static_cast<int>(getpid());
    return "127." + std::to_string(FirstLoopbackSubnet + (pid >> 8) % LoopbackSubnets) + "." +
           std::to_string(pid & 0xFF) + "." + std::to_string(n);
}
