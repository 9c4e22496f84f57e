// On a terminal each board's line is redrawn in place on standard error, cut
// to the terminal's width, never taller than the terminal; the result ends
// the output with every board's result whole and the totals.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <fcntl.h>
#include <pty.h>
#include <thread>
#include <tuple>
#include <vector>
#include <unistd.h>

#include "tests/cli/CliRunner.h"
#include "tests/support/BoardSim.h"
#include "tests/support/TerminalRedraws.h"

namespace {

constexpr int PatienceMs = 10000;
// A fleet's run under a sanitizer on a busy machine.
constexpr int ProgramPatienceMs = 60000;
constexpr unsigned short DefaultColumns = 80;
constexpr unsigned short DefaultRows = 50;

// A pseudo-terminal whose other end becomes the program's standard input,
// output and error, as in a shell.
class Terminal {
public:
    explicit Terminal(unsigned short columns = DefaultColumns, unsigned short rows = DefaultRows)
    {
        winsize size{};
        size.ws_row = rows;
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

    void BecomeTerminalOf(QProcess& process)
    {
        const int slave = slave_;
        process.setChildProcessModifier([slave] {
            for (const int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
                ::dup2(slave, standard);
        });
    }
    // What the operator types.
    void Type(const std::string& text)
    {
        ASSERT_EQ(::write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
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
        QDeadlineTimer patience(ProgramPatienceMs);
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

// A terminal of `rows` by `columns` fed the program's output: printable bytes
// at the cursor (a full row wraps at the next one), carriage return, line
// feed (at the last row the top row goes into the scrollback), cursor up and
// down (ESC [ n A, ESC [ n B), clear to the row's end (ESC [ K), the row
// (ESC [ 2 K) and to the screen's end (ESC [ J; from the top-left corner the
// screen goes into the scrollback first, as tmux has it), and colours
// (ESC [ n m), which it only counts.
class Screen {
public:
    Screen(std::size_t columns, std::size_t rows) : columns_(columns), rows_(rows), screen_(rows) {}

    void Feed(const std::string& output)
    {
        for (std::size_t k = 0; k < output.size(); ++k) {
            const char c = output[k];
            if (c == '\r') {
                column_ = 0;
            } else if (c == '\n') {
                LineFeed();
            } else if (c == '\x1b' && output.compare(k, 2, "\x1b[") == 0) {
                const std::size_t end = output.find_first_of("ABJKm", k + 2);
                if (end == std::string::npos)
                    return;
                const std::string number = output.substr(k + 2, end - k - 2);
                const std::size_t count = number.empty() ? 1 : std::stoul(number);
                // A colour (ESC [ n m) takes no room on the screen.
                if (output[end] != 'm')
                    Control(output[end], count);
                else
                    colours_.push_back(count);
                k = end;
            } else {
                if (column_ == columns_) {  // the row is full: this byte starts the next
                    column_ = 0;
                    LineFeed();
                }
                screen_[row_].resize(std::max(screen_[row_].size(), column_ + 1), ' ');
                screen_[row_][column_++] = c;
            }
        }
    }
    // The rows that scrolled away, then those on the screen, without the
    // empty ones at the end.
    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines = scrollback_;
        lines.insert(lines.end(), screen_.begin(), screen_.end());
        while (!lines.empty() && lines.back().empty())
            lines.pop_back();
        return lines;
    }
    const std::vector<std::string>& Scrollback() const { return scrollback_; }
    // The colours set, in order (0: back to the terminal's own).
    const std::vector<std::size_t>& Colours() const { return colours_; }

private:
    void LineFeed()
    {
        if (row_ + 1 < rows_) {
            ++row_;
            return;
        }
        scrollback_.push_back(screen_.front());
        screen_.erase(screen_.begin());
        screen_.emplace_back();
    }
    void Control(char command, std::size_t count)
    {
        switch (command) {
        case 'A':
            row_ -= std::min(row_, count);
            break;
        case 'B':
            row_ = std::min(rows_ - 1, row_ + count);
            break;
        case 'J':
            if (row_ == 0 && column_ == 0)
                scrollback_.insert(scrollback_.end(), screen_.begin(), screen_.end());
            for (std::size_t row = row_ + 1; row < rows_; ++row)
                screen_[row].clear();
            [[fallthrough]];
        case 'K':
            screen_[row_].resize(count == 2 ? 0 : std::min(screen_[row_].size(), column_));
            break;
        }
    }

    std::size_t columns_;
    std::size_t rows_;
    std::vector<std::string> screen_;
    std::vector<std::string> scrollback_;
    std::size_t row_ = 0;
    std::size_t column_ = 0;
    std::vector<std::size_t> colours_;
};

std::vector<std::string> ScreenAfter(const std::string& output, std::size_t columns,
                                     std::size_t rows = DefaultRows)
{
    Screen screen(columns, rows);
    screen.Feed(output);
    return screen.Lines();
}

// Each result of the final list as one text: a row that starts a board's
// result and the indented rows that continue it.
std::map<std::string, std::string> ResultsIn(const std::vector<std::string>& lines,
                                             const std::vector<std::string>& boards)
{
    std::map<std::string, std::string> results;
    std::string* current = nullptr;
    for (const std::string& line : lines) {
        current = nullptr;
        for (const std::string& board : boards) {
            if (line.rfind(board + ": ", 0) == 0)
                current = &results[board];
        }
        if (current != nullptr)
            *current = line;
    }
    // Continuations: the rows after a board's last start.
    for (auto& [board, result] : results) {
        auto start = std::find(lines.rbegin(), lines.rend(), result);
        for (auto row = start.base(); row != lines.end() && row->rfind("  ", 0) == 0; ++row)
            result += " " + row->substr(2);
    }
    return results;
}

// The program as a shell at `columns` by `rows` would run it.
std::string RunOnTerminal(const CliFolder& folder, const QStringList& arguments, int expectedExit,
                          unsigned short columns = DefaultColumns, unsigned short rows = DefaultRows,
                          const std::string& typed = {})
{
    Terminal terminal(columns, rows);
    QProcess update;
    terminal.BecomeTerminalOf(update);
    folder.Start(update, arguments);
    terminal.Type(typed);
    terminal.CloseProgramEnd();
    const std::string shown = terminal.ReadAll();
    EXPECT_EQ(folder.Finish(update).exitCode, expectedExit) << shown;
    return shown;
}

// 128 boards at 80x24, 32 at a time, the first four silent: the view never
// lists more boards than fit and never leaves a copy of itself in the
// scrollback, whatever the warnings printed above it: each board starts one
// line only, its result, whole, the silent ones last and the totals line
// last. In the view their results are cut between words; it ends with the
// fleet's totals.
TEST(CliTerminal, AFleetAtEightyByTwentyFourLeavesOneLineABoard)
{
    constexpr int Boards = 128;
    constexpr int Silent = 4;
    constexpr unsigned short Columns = 80;
    constexpr unsigned short Rows = 24;
    CliFolder folder;
    folder.SetEnvironment("TERM", "xterm");
    folder.WriteFile("app.hex", 8 * 1024);
    std::vector<std::string> addresses;
    std::string answering;
    for (int k = 0; k < Boards; ++k) {
        addresses.push_back(LoopbackAddress(1 + k));
        if (k >= Silent)  // the first addresses have no board
            answering += (answering.empty() ? "" : ",") + addresses.back();
    }
    BoardSim boards({"--udp", answering, "--delay", "10"});
    QStringList arguments = {"firmware", "app.hex", "--watchdog", "300", "--jobs", "32"};
    for (const std::string& address : addresses)
        arguments << "--udp" << QString::fromStdString(address);
    QElapsedTimer clock;
    clock.start();
    const std::string shown = RunOnTerminal(folder, arguments, 1, Columns, Rows);
    const double seconds = static_cast<double>(clock.elapsed()) / 1000;
    // Ten redraws a second in all, and the few that follow the warnings.
    EXPECT_LE(static_cast<double>(RedrawsIn(shown)), 10 * seconds + 20) << "in " << seconds << " s";

    Screen screen(Columns, Rows);
    screen.Feed(shown);
    const std::vector<std::string> lines = screen.Lines();
    ASSERT_FALSE(lines.empty()) << shown;
    EXPECT_EQ(lines.back(), "124 updated, 4 stopped (exit 1)") << shown;
    // Each result's ending in its colour: green for updated, yellow for stopped.
    const std::vector<std::size_t>& colours = screen.Colours();
    EXPECT_EQ(std::count(colours.begin(), colours.end(), 32u), Boards - Silent) << shown;
    EXPECT_EQ(std::count(colours.begin(), colours.end(), 33u), Silent) << shown;
    std::map<std::string, int> started;
    for (const std::string& line : lines) {
        EXPECT_LT(line.size(), Columns) << line;
        EXPECT_EQ(line.find(" of 8192 bytes"), std::string::npos) << "a progress line stayed: " << line;
        const std::size_t name = line.find(": ");
        if (name != std::string::npos)
            ++started[line.substr(0, name)];
    }
    for (const std::string& address : addresses)
        EXPECT_EQ(started[address], 1) << address << " starts " << started[address] << " lines";

    const std::map<std::string, std::string> results = ResultsIn(lines, addresses);
    ASSERT_EQ(results.size(), addresses.size()) << shown;
    for (int k = Silent; k < Boards; ++k) {
        const std::string& result = results.at(addresses[k]);
        EXPECT_EQ(result.rfind(addresses[k] + ": updated, 8192 bytes in ", 0), 0u) << result;
        EXPECT_TRUE(result.ends_with(", 0 missing answers, 0 board-reported errors")) << result;
    }
    for (int k = 0; k < Silent; ++k)
        EXPECT_TRUE(results.at(addresses[k]).ends_with("check the address, the board's power and that nothing else "
                                                       "updates it")) << results.at(addresses[k]);
    // The silent boards' results are the last before the totals.
    const auto silentLast = std::find_if(lines.rbegin(), lines.rend(), [&](const std::string& line) {
        return line.rfind(addresses.back() + ": ", 0) == 0;
    });
    for (auto line = lines.rbegin(); line != silentLast; ++line)
        EXPECT_EQ(line->find(": updated,"), std::string::npos) << *line;

    // A silent board's result in the view, where it stays while the others
    // go on, is cut between two words.
    for (int k = 0; k < Silent; ++k) {
        const std::string& result = results.at(addresses[k]);
        const std::string cut = " ...\x1b[K";
        EXPECT_NE(shown.find(addresses[k] + ": stopped"), std::string::npos);
        for (std::size_t at = shown.find(addresses[k] + ": stopped"); at != std::string::npos;
             at = shown.find(addresses[k] + ": stopped", at + 1)) {
            const std::string row = shown.substr(at, shown.find(cut, at) - at);
            ASSERT_LT(row.size(), result.size()) << row;
            EXPECT_EQ(result.substr(0, row.size() + 1), row + " ") << row;
        }
    }
    // The view's totals counted the queued boards, which did not fit.
    EXPECT_NE(shown.find(" in progress, 96 queued"), std::string::npos);
}

// Two boards at 40 and at 80 columns: every redraw replaces the lines before
// it, and the screen ends with each board's whole result, wrapped to the
// width, and the totals.
TEST(CliTerminal, TheScreenEndsWithEveryWholeResultAtAnyWidth)
{
    CliFolder folder;
    folder.SetEnvironment("TERM", "xterm");
    folder.WriteFile("app.hex", 20 * 1024);
    const std::vector<std::string> addresses = {LoopbackAddress(21), LoopbackAddress(22)};
    BoardSim first({"--udp", addresses[0], "--delay", "2"});
    BoardSim second({"--udp", addresses[1], "--delay", "2"});
    for (const unsigned short columns : {40, 80}) {
        SCOPED_TRACE(columns);
        const std::string shown =
            RunOnTerminal(folder, {"firmware", "app.hex", "--udp", QString::fromStdString(addresses[0]), "--udp",
                                   QString::fromStdString(addresses[1])}, 0, columns);
        const std::vector<std::string> screen = ScreenAfter(shown, columns);
        ASSERT_FALSE(screen.empty()) << shown;
        EXPECT_EQ(screen.back(), "2 updated (exit 0)");
        const std::map<std::string, std::string> results = ResultsIn(screen, addresses);
        ASSERT_EQ(results.size(), addresses.size()) << shown;
        for (const std::string& address : addresses) {
            EXPECT_EQ(results.at(address).rfind(address + ": updated, 20480 bytes", 0), 0u) << results.at(address);
            EXPECT_TRUE(results.at(address).ends_with("0 board-reported errors")) << results.at(address);
        }
        for (const std::string& row : screen)
            EXPECT_LT(row.size(), columns) << row;
    }
}

// The line tells the board's phase, and a wait for an answer of over a
// second, without a time left; a board that answers after 300 ms keeps each phase on the screen
// for a few redraws, and one that answers after 2 s is waited for through
// many, however busy the machine: what is asserted is that the wait was told,
// not for how many seconds. (Its watchdog bounds the settle that follows
// its slow answer.)
TEST(CliTerminal, TheLineTellsThePhaseAndALongWait)
{
    CliFolder folder;
    folder.SetEnvironment("TERM", "xterm");
    folder.WriteFile("Flash.dat", 700);
    folder.WriteFile("app.hex", 100);
    BoardSim board({"--pty", "--delay", "300"});
    BoardSim slow({"--pty", "--delay", "2000"});
    std::string shown;
    for (const auto& [path, command, file] :
         {std::tuple{board.PtyPath(), "flash", "app.hex"}, std::tuple{board.PtyPath(), "data", "Flash.dat"},
          std::tuple{slow.PtyPath(), "firmware", "app.hex"}})
        shown += RunOnTerminal(folder, {command, file, "--serial", QString::fromStdString(path), "--watchdog", "2500"}, 0);
    for (const char* told : {"erasing", "burning, do not power off", "no answer for "})
        EXPECT_NE(shown.find(told), std::string::npos) << told << " in " << shown;
    // While nothing moves there is no time left to tell.
    for (std::size_t at = shown.find("no answer for "); at != std::string::npos;
         at = shown.find("no answer for ", at + 1)) {
        const std::string row = shown.substr(at, shown.find('\r', at) - at);
        EXPECT_EQ(row.find(" left"), std::string::npos) << row;
    }
}

// With NO_COLOR, as the user asked: no colour.
TEST(CliTerminal, BoardLineIsRedrawnInPlaceAndTheResultFollows)
{
    CliFolder folder;
    folder.SetEnvironment("TERM", "xterm");
    folder.SetEnvironment("NO_COLOR", "1");
    BoardSim board({"--pty", "--delay", "20"});
    folder.WriteFile("app.hex", 20 * 1024);
    const std::string shown =
        RunOnTerminal(folder, {"firmware", "app.hex", "--serial", QString::fromStdString(board.PtyPath())}, 0);
    const std::string line = board.PtyPath() + ": ";
    EXPECT_NE(shown.find(" of 20480 bytes"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\x1b[1A"), std::string::npos) << "no line was redrawn: " << shown;
    EXPECT_NE(shown.find(line + "updated, 20480 bytes in "), std::string::npos) << shown;
    EXPECT_EQ(shown.find("m" + line), std::string::npos) << shown;
    EXPECT_EQ(shown.find("\x1b[32m"), std::string::npos) << shown;
}

// TERM=dumb, or no terminal: no cursor movement, one line per board at its
// start and its end, and the result.
TEST(CliTerminal, ADumbTerminalGetsPlainLines)
{
    CliFolder folder;
    folder.SetEnvironment("TERM", "dumb");
    BoardSim board({"--pty"});
    folder.WriteFile("app.hex", 20 * 1024);
    const std::string shown =
        RunOnTerminal(folder, {"firmware", "app.hex", "--serial", QString::fromStdString(board.PtyPath())}, 0);
    EXPECT_EQ(shown.find("\x1b"), std::string::npos) << shown;
    const std::string line = board.PtyPath() + ": ";
    EXPECT_NE(shown.find(line + "started, app.hex (20480 bytes)\r\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find(line + "updated, 20480 bytes in "), std::string::npos) << shown;
    EXPECT_TRUE(shown.ends_with("1 updated (exit 0)\r\n")) << shown;
}

// A search-selected update lists the boards found and asks; only "y" updates
// them.
TEST(CliTerminal, ASearchedUpdateAsksBeforeFlashing)
{
    CliFolder folder;
    const std::string image = folder.WriteFile("app.hex", 3000);
    const std::string address = LoopbackAddress(32);
    BoardSim board({"--udp", address});
    const QStringList update = {"firmware", "app.hex", "--udp-search", "--range", QString::fromStdString(address)};
    for (const auto& [answer, exit] : {std::pair{"n\n", 2}, std::pair{"\n", 2}, std::pair{"y\n", 0}}) {
        SCOPED_TRACE(answer);
        const std::string shown = RunOnTerminal(folder, update, exit, DefaultColumns, DefaultRows, answer);
        EXPECT_NE(shown.find("The search found 1 board:\r\n  " + address + "\r\nUpdate this board? [y/N] "),
                  std::string::npos) << shown;
        EXPECT_EQ(board.Kept("burn0.bin").has_value(), exit == 0) << shown;
    }
    EXPECT_EQ(board.Kept("burn0.bin"), image);
}

} // namespace
