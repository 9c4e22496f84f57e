// On a terminal each board's line is redrawn in place, cut to the terminal's
// width, and the summary ends the output with one line per board.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QProcess>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <thread>
#include <tuple>
#include <vector>
#include <unistd.h>

#include "tests/cli/CliRunner.h"
#include "tests/support/BoardSim.h"

namespace {

constexpr int PatienceMs = 10000;
constexpr unsigned short DefaultColumns = 80;
constexpr unsigned short Rows = 50;

// A pseudo-terminal whose other end becomes the program's standard output.
class Terminal {
public:
    explicit Terminal(unsigned short columns = DefaultColumns)
    {
        winsize size{};
        size.ws_row = Rows;
        size.ws_col = columns;
        if (::openpty(&master_, &slave_, nullptr, nullptr, &size) != 0)
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

// What a terminal of `columns` shows after `output`: printable bytes at the
// cursor (a full row wraps at the next one), carriage return, line feed,
// cursor up (ESC [ n A) and clear to the screen's end (ESC [ J). The rows,
// without the empty ones at the end.
std::vector<std::string> ScreenAfter(const std::string& output, std::size_t columns)
{
    std::vector<std::string> screen(1);
    std::size_t row = 0;
    std::size_t column = 0;
    for (std::size_t k = 0; k < output.size(); ++k) {
        const char c = output[k];
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            screen.resize(std::max(screen.size(), ++row + 1));
        } else if (c == '\x1b' && output.compare(k, 2, "\x1b[") == 0) {
            const std::size_t end = output.find_first_of("AJ", k + 2);
            if (end == std::string::npos)
                break;
            if (output[end] == 'A') {
                row -= std::min(row, static_cast<std::size_t>(std::stoul(output.substr(k + 2, end - k - 2))));
            } else {
                screen[row].resize(std::min(screen[row].size(), column));
                screen.resize(row + 1);
            }
            k = end;
        } else {
            if (column == columns) {  // the row is full: this byte starts the next
                column = 0;
                screen.resize(std::max(screen.size(), ++row + 1));
            }
            screen[row].resize(std::max(screen[row].size(), column + 1), ' ');
            screen[row][column++] = c;
        }
    }
    while (!screen.empty() && screen.back().empty())
        screen.pop_back();
    return screen;
}

// Two boards at 40 and at 80 columns: every redraw replaces the lines before
// it, and the screen ends with one line per board, its summary.
TEST(CliTerminal, TheScreenEndsWithOneLinePerBoardAtAnyWidth)
{
    CliFolder folder;
    folder.WriteFile("app.hex", 20 * 1024);
    const std::vector<std::string> addresses = {LoopbackAddress(21), LoopbackAddress(22)};
    BoardSim first({"--udp", addresses[0], "--delay", "2"});
    BoardSim second({"--udp", addresses[1], "--delay", "2"});
    for (const unsigned short columns : {40, 80}) {
        SCOPED_TRACE(columns);
        Terminal terminal(columns);
        QProcess update;
        terminal.BecomeOutputOf(update);
        folder.Start(update, {"firmware", "app.hex", "--udp", QString::fromStdString(addresses[0]), "--udp",
                              QString::fromStdString(addresses[1])});
        terminal.CloseProgramEnd();
        const std::string shown = terminal.ReadAll();
        EXPECT_EQ(folder.Finish(update).exitCode, 0);
        const std::vector<std::string> screen = ScreenAfter(shown, columns);
        ASSERT_EQ(screen.size(), addresses.size()) << shown;
        for (std::size_t k = 0; k < addresses.size(); ++k) {
            EXPECT_EQ(screen[k].rfind(addresses[k] + ": updated, 20480 bytes", 0), 0u) << screen[k];
            EXPECT_LT(screen[k].size(), columns) << screen[k];
        }
    }
}

// The line tells the board's phase, and a wait for an answer of over a
// second.
TEST(CliTerminal, TheLineTellsThePhaseAndALongWait)
{
    CliFolder folder;
    folder.WriteFile("Flash.dat", 700);
    folder.WriteFile("app.hex", 100);
    BoardSim board({"--pty"});
    BoardSim slow({"--pty", "--delay", "1500"});
    std::string shown;
    for (const auto& [path, command, file] :
         {std::tuple{board.PtyPath(), "flash", "app.hex"}, std::tuple{board.PtyPath(), "data", "Flash.dat"},
          std::tuple{slow.PtyPath(), "firmware", "app.hex"}}) {
        Terminal terminal;
        QProcess update;
        terminal.BecomeOutputOf(update);
        folder.Start(update, {command, file, "--serial", QString::fromStdString(path)});
        terminal.CloseProgramEnd();
        shown += terminal.ReadAll();
        EXPECT_EQ(folder.Finish(update).exitCode, 0);
    }
    for (const char* told : {"erasing", "burning, do not power off", "waiting for the board, 1 s"})
        EXPECT_NE(shown.find(told), std::string::npos) << told << " in " << shown;
}

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
