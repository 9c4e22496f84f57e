// On a terminal each board's line is redrawn in place, and the summary ends
// the output.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QProcess>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <thread>
#include <unistd.h>

#include "tests/cli/CliRunner.h"
#include "tests/support/BoardSim.h"

namespace {

constexpr int PatienceMs = 10000;

// A pseudo-terminal whose other end becomes the program's standard output.
class Terminal {
public:
    Terminal()
    {
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        ::fcntl(master_, F_SETFL, O_NONBLOCK);
    }
    ~Terminal()
    {
        ::close(master_);
        if (slave_ >= 0)
            ::close(slave_);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    void BecomeOutputOf(QProcess& process)
    {
        const int slave = slave_;
        process.setChildProcessModifier([slave] { ::dup2(slave, STDOUT_FILENO); });
    }
    // Our copy of the program's end, closed once the program has it.
    void CloseProgramEnd()
    {
        ::close(slave_);
        slave_ = -1;
    }
    // What the program wrote, until it closed its end (bounded).
    std::string ReadAll()
    {
        std::string text;
        char buffer[4096];
        QDeadlineTimer patience(PatienceMs);
        while (!patience.hasExpired()) {
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n > 0) {
                text.append(buffer, static_cast<std::size_t>(n));
            } else if (n < 0 && errno == EAGAIN) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            } else {
                return text;  // EIO: the program's end is closed
            }
        }
        ADD_FAILURE() << "the program kept its terminal open: " << text;
        return text;
    }

private:
    int master_ = -1;
    int slave_ = -1;
};

TEST(CliTerminal, BoardLineIsRedrawnInPlaceAndTheSummaryFollows)
{
    CliFolder folder;
    BoardSim board({"--pty"});
    folder.WriteFile("app.hex", 20 * 1024);
    Terminal terminal;
    QProcess update;
    terminal.BecomeOutputOf(update);
    folder.Start(update, {"firmware", "app.hex", "--serial", QString::fromStdString(board.PtyPath())});
    terminal.CloseProgramEnd();
    const std::string shown = terminal.ReadAll();
    EXPECT_EQ(folder.Finish(update).exitCode, 0);

    const std::string line = board.PtyPath() + ": ";
    EXPECT_NE(shown.find(line + "app.hex"), std::string::npos) << shown;
    EXPECT_NE(shown.find(" of 20480 bytes"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\x1b[1A"), std::string::npos) << "no line was redrawn: " << shown;
    EXPECT_NE(shown.find(line + "updated, 20480 bytes in "), std::string::npos) << shown;
}

} // namespace
