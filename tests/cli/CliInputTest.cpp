// What orvenda-update refuses before anything is sent: bad command lines,
// files that cannot be read, a wrong BIOS password, a password file that is no
// regular file; and a serial port that cannot be opened.
#include <gtest/gtest.h>

#include <QJsonObject>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <filesystem>
#include <sys/stat.h>

#include "transfer/report/ErrorText.h"
#include "cli/Password.h"
#include "tests/cli/CliRunner.h"
#include "tests/support/BoardSim.h"

namespace {

struct RefusedCase {
    const char* name;
    QStringList arguments;  // PTY stands for the board's pseudo-terminal
    QByteArray input = {};  // standard input
};

class CliRefuses : public ::testing::Test {
protected:
    CliFolder folder;
    BoardSim board{{"--pty"}};

    void SetUp() override { folder.WriteFile("app.hex", 3000); }

    QStringList WithBoard(QStringList arguments) const
    {
        arguments.replaceInStrings("PTY", QString::fromStdString(board.PtyPath()));
        return arguments;
    }

    // Runs the program and checks it exits 2 having sent the board nothing;
    // with --json too, where standard output holds the error event.
    CliOutcome ExpectRefused(const QStringList& arguments, const QByteArray& input = {})
    {
        CliOutcome outcome = folder.Run(WithBoard(arguments), input);
        EXPECT_EQ(outcome.exitCode, 2) << outcome.Printed();
        EXPECT_NE(outcome.err.find("orvenda-update: "), std::string::npos) << outcome.Printed();
        const CliOutcome json = folder.Run(WithBoard(arguments) << "--json", input);
        EXPECT_EQ(json.exitCode, 2) << json.Printed();
        const std::vector<QJsonObject> errors = json.Events("error");
        EXPECT_EQ(errors.size(), 1u) << json.Printed();
        for (const QJsonObject& error : errors)
            EXPECT_EQ(error.value("exitStatus").toInt(), 2) << json.Printed();
        EXPECT_TRUE(ReceivedFrames(board).empty()) << outcome.Printed();
        return outcome;
    }
};

TEST_F(CliRefuses, BadCommandLinesExitTwoWithNothingSent)
{
    const std::vector<RefusedCase> cases = {
        {"no command", {"--serial", "PTY"}},
        {"unknown command", {"burn", "app.hex", "--serial", "PTY"}},
        {"unknown option", {"firmware", "app.hex", "--serial", "PTY", "--turbo"}},
        {"image missing", {"firmware", "--serial", "PTY"}},
        {"two images", {"firmware", "app.hex", "app.hex", "--serial", "PTY"}},
        {"eleven flash files",
         {"flash", "app.hex", "app.hex", "app.hex", "app.hex", "app.hex", "app.hex", "app.hex", "app.hex", "app.hex",
          "app.hex", "app.hex", "--serial", "PTY"}},
        {"two links", {"firmware", "app.hex", "--serial", "PTY", "--usb"}},
        {"bit rate not offered", {"firmware", "app.hex", "--serial", "PTY", "--baud", "12345"}},
        {"parity not offered", {"firmware", "app.hex", "--serial", "PTY", "--parity", "sideways"}},
        {"line option without serial", {"firmware", "app.hex", "--usb", "--baud", "9600"}},
        {"jobs zero", {"firmware", "app.hex", "--serial", "PTY", "--jobs", "0"}},
        {"watchdog not a number", {"firmware", "app.hex", "--serial", "PTY", "--watchdog", "soon"}},
        {"password file without bios", {"firmware", "app.hex", "--serial", "PTY", "--password-file", "x"}},
        {"search with a link", {"search", "--serial", "PTY"}},
        // Loopback ranges: a refusal that failed would still send nothing onto a network.
        {"malformed range", {"search", "--range", "127.0.0.0/33"}},
        {"range of more than 1024 addresses", {"search", "--range", "127.0.0.0/21"}},
        {"range without a search", {"firmware", "app.hex", "--serial", "PTY", "--range", "127.0.0.0/30"}},
        {"interface without a search", {"firmware", "app.hex", "--serial", "PTY", "--interface", "lo"}},
        {"no link and no settings file", {"firmware", "app.hex"}},
        {"jobs on a serial line", {"firmware", "app.hex", "--serial", "PTY", "--jobs", "2"}},
        {"jobs with usb", {"firmware", "app.hex", "--usb", "--jobs", "2"}},
        {"a link with history", {"history", "--serial", "PTY"}},
        {"retries with history", {"history", "--retries", "1"}},
        {"jobs with search", {"search", "--range", "127.0.0.1", "--jobs", "2"}},
        {"stop bits the line cannot take", {"firmware", "app.hex", "--serial", "PTY", "--stop-bits", "1.5"}},
        {"negative retries", {"firmware", "app.hex", "--serial", "PTY", "--retries", "-1"}},
        {"a wave of no board", {"firmware", "app.hex", "--udp", "127.0.0.1", "--waves", "1,0"}},
        {"a share above all boards", {"firmware", "app.hex", "--udp", "127.0.0.1", "--waves", "101%"}},
        {"a stop line that is no count", {"firmware", "app.hex", "--udp", "127.0.0.1", "--max-failed", "some"}},
        {"waves on a serial line", {"firmware", "app.hex", "--serial", "PTY", "--waves", "1"}},
        {"a board list and a search", {"firmware", "app.hex", "--udp-search", "--boards-from", "-"}},
        {"a board list that cannot be read", {"firmware", "app.hex", "--boards-from", "missing.txt"}},
        {"an outcome that is no ending", {"history", "--outcome", "updated,stoped"}},
        {"a run without history", {"firmware", "app.hex", "--serial", "PTY", "--run", "last"}},
        {"an address that is none", {"firmware", "app.hex", "--udp", "127.0.0.300"}},
        {"an address that is none in a list", {"status", "--boards-from", "-"}, "127.0.0.1\n10.0.0.256\n"},
    };
    for (const RefusedCase& refused : cases) {
        SCOPED_TRACE(refused.name);
        ExpectRefused(refused.arguments, refused.input);
    }
}

TEST_F(CliRefuses, FilesThatCannotBeReadExitTwoWithNothingSent)
{
    std::filesystem::create_directory(folder.PathOf("folder.hex"));
    folder.WriteFile("ok.bin", 100);
    folder.WriteFile("a;b.bin", 100);
    const std::vector<RefusedCase> cases = {
        {"missing image", {"firmware", "missing.hex", "--serial", "PTY"}},
        {"folder as image", {"firmware", "folder.hex", "--serial", "PTY"}},
        {"one missing flash file after a good one", {"flash", "ok.bin", "missing.bin", "--serial", "PTY"}},
        {"flash name the request cannot carry", {"flash", "ok.bin", "a;b.bin", "--serial", "PTY"}},
        {"missing data file", {"data", "missing.dat", "--serial", "PTY"}},
        {"missing password file", {"bios", "app.hex", "--serial", "PTY", "--password-file", "missing.pw"}},
    };
    for (const RefusedCase& refused : cases) {
        SCOPED_TRACE(refused.name);
        ExpectRefused(refused.arguments);
    }
}

TEST_F(CliRefuses, WrongBiosPasswordExitsTwoWithNothingSent)
{
    folder.WriteBytes("wrong.pw", "Marsh17\n");
    ExpectRefused({"bios", "app.hex", "--serial", "PTY", "--password-file", "wrong.pw"});
    ExpectRefused({"bios", "app.hex", "--serial", "PTY"}, "marsh17x\n");
    ExpectRefused({"bios", "app.hex", "--serial", "PTY"});  // no password at all
}

TEST_F(CliRefuses, PasswordFilesThatAreNoRegularFilesExitTwoAtOnce)
{
    // A pipe without a writer would hold the program forever, an endless
    // device would fill its memory: both are refused before a byte is read.
    const std::string pipe = folder.PathOf("pipe.pw");
    ASSERT_EQ(::mkfifo(pipe.c_str(), S_IRUSR | S_IWUSR), 0);
    for (const std::string& file : {pipe, std::string("/dev/zero")}) {
        SCOPED_TRACE(file);
        const CliOutcome outcome =
            ExpectRefused({"bios", "app.hex", "--serial", "PTY", "--password-file", QString::fromStdString(file)});
        EXPECT_NE(outcome.err.find("password file " + file), std::string::npos) << outcome.Printed();
    }
}

TEST(CliPasswordFile, IsReadUpToItsFirstLineEnd)
{
    CliFolder folder;
    folder.WriteBytes("crlf.pw", "marsh17\r\nsecond line\n");
    std::string error;
    EXPECT_EQ(ReadPassword(folder.PathOf("crlf.pw"), error), "marsh17") << error;
    // A long file without a line end is read no further than a password's room.
    folder.WriteBytes("long.pw", std::string(3 * PasswordFileReadLimit, 'x'));
    const std::optional<std::string> password = ReadPassword(folder.PathOf("long.pw"), error);
    ASSERT_TRUE(password) << error;
    EXPECT_EQ(password->size(), PasswordFileReadLimit);
}

TEST_F(CliRefuses, PasswordTypedOnStandardInputUnlocksTheBios)
{
    const CliOutcome outcome = folder.Run(WithBoard({"bios", "app.hex", "--serial", "PTY"}), "marsh17\n");
    EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
    EXPECT_TRUE(board.Kept("burn1.bin"));
}

// The help names the program, not its path; its options come in groups and
// every exit status is told; --help-all adds the examples.
TEST(CliHelp, HelpListsTheCommandsInGroupsWithEveryExitStatus)
{
    CliFolder folder;
    const CliOutcome outcome = folder.Run({"--help"});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
    EXPECT_EQ(outcome.out.rfind("Usage: orvenda-update COMMAND", 0), 0u) << outcome.out;
    for (const char* expected : {"firmware IMAGE", "status ", "\nLink:\n", "\nWhat to send:\n", "\nRun:\n",
                                 "\nOutput:\n", "--udp-search", "--keep-going", "--password-file", "--dry-run",
                                 "--yes", "\n  0 ", "\n  1 ", "\n  2 ", "\n  3 ", "129", "130", "143"})
        EXPECT_NE(outcome.out.find(expected), std::string::npos) << expected;
    EXPECT_EQ(outcome.out.find("Examples:"), std::string::npos) << outcome.out;
    const CliOutcome all = folder.Run({"--help-all"});
    EXPECT_EQ(all.out.rfind(outcome.out, 0), 0u) << all.out;
    EXPECT_NE(all.out.find("\nExamples:\n  orvenda-update firmware app.hex --serial"), std::string::npos)
        << all.out;
    for (const QString& line : QString::fromStdString(all.out).split('\n'))
        EXPECT_LE(line.size(), 79) << line.toStdString();
}

// --help-all and --version after a command print and end: nothing is sent.
TEST_F(CliRefuses, HelpAllAndVersionPrintTheirTextAndSendNothing)
{
    const CliOutcome helpAll = folder.Run(WithBoard({"firmware", "app.hex", "--serial", "PTY", "--help-all"}));
    EXPECT_EQ(helpAll.exitCode, 0) << helpAll.Printed();
    EXPECT_NE(helpAll.out.find("--retries"), std::string::npos) << helpAll.Printed();
    for (const char* asked : {"--version", "-V"}) {
        const CliOutcome version = folder.Run(WithBoard({"firmware", "app.hex", "--serial", "PTY", asked}));
        EXPECT_EQ(version.exitCode, 0) << version.Printed();
        EXPECT_EQ(version.out, "orvenda-update " ORVENDA_VERSION "\n");
    }
    EXPECT_TRUE(ReceivedFrames(board).empty());
}

// Every rate the driver can set is taken, not only the window's list.
TEST_F(CliRefuses, ABitRateBeyondTheWindowsListUpdates)
{
    const CliOutcome outcome = folder.Run(WithBoard({"firmware", "app.hex", "--serial", "PTY", "--baud", "921600"}));
    EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
    EXPECT_TRUE(board.Kept("burn0.bin"));
}

// The failure is told once, on one line, in this system's words (the device
// and the system's text for the error); with --json as an error event and
// the board's done event.
TEST(CliLinkFailure, PortThatCannotBeOpenedExitsThreeWithTheSystemsMessageOnce)
{
    CliFolder folder;
    folder.WriteFile("app.hex", 100);
    const CliOutcome outcome = folder.Run({"firmware", "app.hex", "--serial", "/nonexistent/ttyX"});
    EXPECT_EQ(outcome.exitCode, 3) << outcome.Printed();
    const std::string printed = outcome.out + outcome.err;
    const std::string told = "cannot open the serial port /nonexistent/ttyX: No such file or directory";
    const std::size_t first = printed.find(told);
    ASSERT_NE(first, std::string::npos) << outcome.Printed();
    EXPECT_EQ(printed.find(told, first + 1), std::string::npos) << outcome.Printed();
    EXPECT_EQ(printed.find("win error code"), std::string::npos) << outcome.Printed();
    EXPECT_EQ(outcome.out.find(" 0 bytes"), std::string::npos) << outcome.Printed();

    const CliOutcome json = folder.Run({"firmware", "app.hex", "--serial", "/nonexistent/ttyX", "--json"});
    EXPECT_EQ(json.exitCode, 3) << json.Printed();
    EXPECT_EQ(json.Events("error").size(), 1u) << json.Printed();
    EXPECT_EQ(json.DoneOf("/nonexistent/ttyX").value("outcome").toString(), "link failed") << json.Printed();
}

// USB has no transport: nothing is sent, so nothing is updated, and nothing
// is tried again however many retries are allowed.
TEST(CliUsb, SendsNothingExitsOneIsTriedOnceAndIsRecordedAsFailed)
{
    CliFolder folder;
    folder.WriteFile("app.hex", 100);
    const CliOutcome outcome = folder.Run({"firmware", "app.hex", "--usb"});
    EXPECT_EQ(outcome.exitCode, 1) << outcome.Printed();
    EXPECT_NE(outcome.err.find("the USB link has no transport; nothing was sent"), std::string::npos)
        << outcome.Printed();
    EXPECT_EQ(outcome.out.find("updated"), std::string::npos) << outcome.Printed();
    const CliOutcome history = folder.Run({"history", "--json"});
    EXPECT_NE(history.out.find("\"outcome\":\"failed\""), std::string::npos) << history.Printed();
    EXPECT_NE(history.out.find("\"reason\":\"the USB link has no transport; nothing was sent\""), std::string::npos)
        << history.Printed();

    const CliOutcome retried = folder.Run({"firmware", "app.hex", "--usb", "--retries", "2", "--json"});
    EXPECT_EQ(retried.exitCode, 1) << retried.Printed();
    EXPECT_EQ(retried.Events("done").size(), 1u) << retried.Printed();
}

// Another updater on the board is refused by the board's lock, before the
// port is touched; any other program that holds the port, by the port's own
// lock. Either way nothing is sent.
TEST(CliLinkFailure, ABoardOrPortHeldElsewhereExitsThree)
{
    CliFolder folder;
    folder.WriteFile("app.hex", 100);
    BoardSim board({"--pty", "--no-answer"});
    const QString pty = QString::fromStdString(board.PtyPath());
    QProcess first;
    // A silent board keeps the first update waiting with the port open.
    folder.Start(first, {"firmware", "app.hex", "--serial", pty, "--json", "--watchdog", "60000"});
    ASSERT_TRUE(first.waitForReadyRead(10000)) << "the first update did not start";
    const CliOutcome second = folder.Run({"firmware", "app.hex", "--serial", pty});
    EXPECT_EQ(second.exitCode, 3) << second.Printed();
    EXPECT_NE(second.err.find("Board " + pty.toStdString() + " is being updated by another updater (process " +
                              std::to_string(first.processId()) + " of user "),
              std::string::npos)
        << second.Printed();
    ::kill(static_cast<pid_t>(first.processId()), SIGINT);
    EXPECT_EQ(folder.Finish(first).exitCode, 130);
    const std::size_t framesOfTheFirst = ReceivedFrames(board).size();

    const int held = ::open(board.PtyPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    const CliOutcome third = folder.Run({"firmware", "app.hex", "--serial", pty});
    ::close(held);
    EXPECT_EQ(third.exitCode, 3) << third.Printed();
    EXPECT_NE(third.err.find("cannot open the serial port " + pty.toStdString() + ": "), std::string::npos)
        << third.Printed();
    EXPECT_EQ(ReceivedFrames(board).size(), framesOfTheFirst);
}

// The socket layer's texts in words, on one line, naming the host.
TEST(CliErrorText, SocketErrorsAreToldInWordsOnOneLine)
{
    EXPECT_EQ(OneLine("Socket Error # 10013\r\nPermission denied."), "Socket Error # 10013: Permission denied.");
    EXPECT_EQ(OneLine("Socket Error # 11001\r\n"), "Socket Error # 11001");
    EXPECT_EQ(SocketFailureText("board7", EIdSocketError(11001, "Socket Error # 11001\r\n")),
              "cannot resolve the name \"board7\": check the name, or give the board's address");
    EXPECT_EQ(SocketFailureText("10.9.9.9", EIdSocketError(10051, "Socket Error # 10051\r\nNetwork is unreachable.")),
              "no route to 10.9.9.9: check the cable and the address");
}

} // namespace
