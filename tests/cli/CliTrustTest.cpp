// What orvenda-update never calls updated: a board named twice or held by
// another updater, an image that changes while it is sent, flash names the
// board would not keep whole. A name that is not UTF-8 still reaches its file.
#include <gtest/gtest.h>

#include <QProcess>
#include <QThread>

#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "cli/UpdateBoards.h"
#include "cli/Reporter.h"
#include "protocol/AnswerDecoding.h"
#include "protocol/Encoder.h"
#include "tests/cli/CliRunner.h"
#include "tests/e2e/UpdaterSession.h"
#include "tests/support/BoardSim.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/UdpPeer.h"
#include "transfer/engine/Session.h"

namespace {

constexpr int PatienceMs = 10000;
// The user that owns nothing, as Debian numbers it.
constexpr uid_t NobodyUser = 65534;
constexpr gid_t NobodyGroup = 65534;

// Waits (bounded) until the program has printed `fragment` on its standard
// output, and returns what it printed so far.
std::string AwaitPrinted(QProcess& update, const std::string& fragment)
{
    std::string printed;
    while (printed.find(fragment) == std::string::npos) {
        if (!update.waitForReadyRead(PatienceMs)) {
            ADD_FAILURE() << "never printed " << fragment << ": " << printed;
            break;
        }
        printed += update.readAllStandardOutput().toStdString();
    }
    return printed;
}

// A board that answers every request, but each time behind a frame of
// another operation, is not "updated": its strays are counted and told.
TEST(CliStrays, ABoardSendingWhatWasNotAskedForIsNeverUpdated)
{
    CliFolder folder;
    folder.WriteFile("app.hex", 3000);
    const std::string address = LoopbackAddress(32);
    BoardSim board({"--udp", address, "--garble", "operation", "--second-answer", "0"});
    const CliOutcome outcome = folder.Run({"firmware", "app.hex", "--udp", QString::fromStdString(address), "--json"});
    EXPECT_EQ(outcome.exitCode, 1) << outcome.Printed();
    const QJsonObject done = outcome.DoneOf(address);
    EXPECT_EQ(done.value("outcome").toString(), "unconfirmed") << outcome.Printed();
    EXPECT_EQ(done.value("missingAnswers").toInt(), 0);
    EXPECT_EQ(done.value("strayAnswers").toInt(), 3);
}

// GetFlashInfo's answer, with result 0: one a datagram decodes, to a request
// an image update never makes.
std::string FlashInfoAnswer()
{
    constexpr Byte FlashInfoOperation = 0x78;
    const std::array<Byte, 4> payload{GroupBoot, FlashInfoOperation, 0x00, 0x00};
    std::array<Byte, FrameHeaderSize + payload.size()> frame{};
    std::copy(payload.begin(), payload.end(), frame.begin() + FrameHeaderSize);
    CloseFrame(frame, static_cast<int>(payload.size()));
    return {frame.begin(), frame.end()};
}

bool IsBootErrorQuery(const std::string& request)
{
    return request.size() > static_cast<std::size_t>(OffsetOperation) &&
           static_cast<Byte>(request[OffsetGroup]) == GroupBoot &&
           static_cast<Byte>(request[OffsetOperation]) == OperationBootError;
}

// A board on the network that answers every boot-error query with a whole,
// well-formed answer to another request: no wait ends on it, and each is
// counted as stray.
TEST(CliStrays, AnAnswerToAnotherRequestOverUdpEndsNoWait)
{
    constexpr std::size_t ImageSize = 3000;
    constexpr int Queries = ImageSize / ImageBlockSize + 1;
    CliFolder folder;
    folder.WriteFile("app.hex", ImageSize);
    const std::string address = LoopbackAddress(33);
    UdpPeer board(address, BoardRequestPort);
    const std::string wrongAnswer = FlashInfoAnswer();
    std::atomic<bool> done = false;
    std::atomic<int> answered = 0;
    std::thread answering([&] {
        constexpr int PollMs = 20;
        while (!done) {
            const std::optional<Datagram> request = board.Receive(PollMs);
            if (request && IsBootErrorQuery(request->bytes)) {
                board.SendTo(request->address, request->port, wrongAnswer);
                ++answered;
            }
        }
    });
    const CliOutcome outcome = folder.Run({"firmware", "app.hex", "--udp", QString::fromStdString(address),
                                           "--watchdog", "300", "--keep-going", "--json"});
    done = true;
    answering.join();
    EXPECT_EQ(outcome.exitCode, 1) << outcome.Printed();
    EXPECT_EQ(answered, Queries);
    const QJsonObject finished = outcome.DoneOf(address);
    EXPECT_EQ(finished.value("outcome").toString(), "unconfirmed") << outcome.Printed();
    EXPECT_EQ(finished.value("missingAnswers").toInt(), Queries);
    EXPECT_EQ(finished.value("strayAnswers").toInt(), Queries);
}

// Spellings of one board's address as the socket takes them: leading zeros
// and signs (the integer and hexadecimal forms are the identity's own tests).
std::vector<std::string> SpellingsOf(const std::string& address)
{
    const std::size_t last = address.rfind('.') + 1;
    const std::string middle = address.substr(address.find('.'));
    return {address, address.substr(0, last) + "0" + address.substr(last), "+" + address,
            address.substr(0, last) + "+" + address.substr(last), "0127" + middle};
}

TEST(CliOneBoardOneUpdater, ABoardNamedTwiceOrNoBoardAtAllIsRefusedBeforeAnythingIsSent)
{
    CliFolder folder;
    folder.WriteFile("app.hex", 3000);
    const std::string address = LoopbackAddress(30);
    BoardSim board({"--udp", address});
    const std::vector<std::string> spellings = SpellingsOf(address);
    for (std::size_t k = 1; k < spellings.size(); ++k) {
        const CliOutcome outcome =
            folder.Run({"firmware", "app.hex", "--udp", QString::fromStdString(spellings[0] + "," + spellings[k])});
        EXPECT_EQ(outcome.exitCode, 2) << outcome.Printed();
        EXPECT_NE(outcome.err.find("named twice"), std::string::npos) << spellings[k] << outcome.Printed();
    }
    // Every board behind a multicast or broadcast address would take the stream.
    for (const char* everyBoard : {"224.0.0.1", "239.255.255.250", "255.255.255.255", "127.255.255.255", "0.0.0.0"}) {
        const CliOutcome outcome =
            folder.Run({"firmware", "app.hex", "--udp", QString::fromStdString(address + "," + everyBoard)});
        EXPECT_EQ(outcome.exitCode, 2) << outcome.Printed();
        EXPECT_NE(outcome.err.find(std::string(everyBoard) + " is not a board's address"), std::string::npos)
            << outcome.Printed();
    }
    EXPECT_TRUE(ReceivedFrames(board).empty());
}

// The broadcast address of a network of the machine's own reaches every board
// on it, however many boards the run names.
TEST(CliOneBoardOneUpdater, TheBroadcastAddressOfTheMachinesOwnNetworkIsNoBoard)
{
    if (const std::string reason = NetNamespace::Unavailable(); !reason.empty())
        GTEST_SKIP() << reason;
    NetNamespace host;
    NetNamespace lan;
    host.Connect(lan, "10.77.0.1/24", "10.77.0.2/24");
    const NetNamespaceScope inside(host);
    TCliOptions options;
    options.link = CliLink::Udp;
    options.hosts = {"10.77.0.2", "10.77.0.255"};
    TUpdatePlan plan{options, options.hosts, {}, 0, {HistoryKind::Firmware, {}, false}, nullptr};
    std::string error;
    EXPECT_FALSE(IdentifyBoards(plan, error));
    EXPECT_NE(error.find("10.77.0.255 is not a board's address: it is a broadcast address"), std::string::npos)
        << error;
}

// A name and an address of one board are one board too.
TEST(CliOneBoardOneUpdater, ANameAndTheAddressItResolvesToAreOneBoard)
{
    if (const std::string reason = NetNamespace::Unavailable(); !reason.empty())
        GTEST_SKIP() << reason;
    NetNamespace space;
    space.NameHost("bench-board", "127.0.0.2");
    CliFolder folder;
    folder.WriteFile("app.hex", 100);
    QProcess update;
    folder.Start(update, {"firmware", "app.hex", "--udp", "bench-board,127.000.0.2"}, &space);
    const CliOutcome outcome = folder.Finish(update);
    EXPECT_EQ(outcome.exitCode, 2) << outcome.Printed();
    EXPECT_NE(outcome.err.find("the board at 127.0.0.2 is named twice"), std::string::npos) << outcome.Printed();
}

// A second updater on a board that is being updated is refused however it
// names the board, whatever its environment, whoever runs it; the first
// finishes with the board holding its image exactly.
TEST(CliOneBoardOneUpdater, ASecondUpdaterOnTheBoardIsRefused)
{
    CliFolder folder;
    // About five seconds of blocks: room for every second updater, also
    // under a sanitizer on a busy machine.
    const std::string image = folder.WriteFile("app.hex", 250 * 1024);
    folder.WriteFile("other.hex", 5000);
    const std::string address = LoopbackAddress(31);
    BoardSim board({"--udp", address, "--delay", "20"});
    QProcess first;
    folder.Start(first, {"firmware", "app.hex", "--udp", QString::fromStdString(address), "--json"});
    AwaitPrinted(first, "\"progress\"");

    const std::vector<std::string> spellings = SpellingsOf(address);
    CliFolder elsewhere;
    elsewhere.WriteFile("other.hex", 5000);
    elsewhere.SetEnvironment("XDG_RUNTIME_DIR", QString::fromStdString(elsewhere.PathOf("run")));
    elsewhere.SetEnvironment("HOME", QString::fromStdString(elsewhere.PathOf("home")));
    CliFolder bare;
    bare.WriteFile("other.hex", 5000);
    bare.RemoveEnvironment("XDG_RUNTIME_DIR");
    bare.RemoveEnvironment("HOME");
    std::vector<std::pair<const CliFolder*, std::string>> seconds = {
        {&folder, address}, {&folder, spellings[1]}, {&elsewhere, spellings[2]}, {&bare, spellings.back()}};
    CliFolder nobody;
    if (::getuid() == 0) {
        nobody.WriteFile("other.hex", 5000);
        nobody.RunAsUser(NobodyUser, NobodyGroup);
        seconds.emplace_back(&nobody, spellings[3]);
    }
    for (const auto& [from, spelling] : seconds) {
        ASSERT_EQ(first.state(), QProcess::Running) << "the first update ended before " << spelling << " was tried";
        const CliOutcome second = from->Run({"firmware", "other.hex", "--udp", QString::fromStdString(spelling)});
        EXPECT_EQ(second.exitCode, 3) << spelling << second.Printed();
        EXPECT_NE(second.err.find("Board " + address + " is being updated by another updater (process " +
                                  std::to_string(first.processId()) + " of user "),
                  std::string::npos)
            << second.Printed();
    }
    const CliOutcome outcome = folder.Finish(first);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
    EXPECT_TRUE(SameBytes(board.Kept("burn0.bin"), image));
}

// No other updater gets between two tries of a board: both tries are one
// board's update, which holds its lock from the first try until the last has
// ended, and each try is recorded.
TEST(CliOneBoardOneUpdater, TheLockIsHeldBetweenRetries)
{
    CliFolder folder;
    folder.WriteFile("app.hex", 3000);
    const std::string address = LoopbackAddress(33);
    BoardSim board({"--udp", address, "--no-answer"});
    TCliOptions options;
    options.link = CliLink::Udp;
    options.hosts = {address};
    options.files = {folder.PathOf("app.hex")};
    options.watchdogMs = 20;
    options.retries = 1;
    const QString historyPath = QString::fromStdString(folder.PathOf("history.jsonl"));
    THistoryWriter history(historyPath);
    TUpdatePlan plan{options, options.hosts, {}, 3000, {HistoryKind::Firmware, options.files, false}, &history};
    std::string error;
    ASSERT_TRUE(IdentifyBoards(plan, error)) << error;
    TReporter reporter(TReporter::Mode::Plain, plan.boards);
    const std::vector<TBoardResult> results = UpdateBoards(plan, reporter);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results.front().attempt, 2);
    EXPECT_EQ(ReadHistory(historyPath).lines.size(), 2);
    EXPECT_NO_THROW(TBoardLock("udp:" + address, address)) << "the lock outlived the update";
}

TEST(CliChangedImage, AnImageCutShortWhileItIsSentFailsAndIsRecordedSo)
{
    CliFolder folder;
    constexpr std::size_t Size = 3 * 64 * 1024;
    folder.WriteFile("app.hex", Size);
    BoardSim board({"--pty", "--delay", "5"});
    QProcess update;
    folder.Start(update, {"firmware", "app.hex", "--serial", QString::fromStdString(board.PtyPath()), "--json"});
    AwaitPrinted(update, "\"progress\"");
    std::filesystem::resize_file(folder.PathOf("app.hex"), Size / 2);
    const CliOutcome outcome = folder.Finish(update);
    EXPECT_EQ(outcome.exitCode, 1) << outcome.Printed();
    EXPECT_EQ(outcome.DoneOf(board.PtyPath()).value("outcome").toString(), "failed") << outcome.Printed();
    // Told as an error of its own, besides the done object's message.
    const std::vector<QJsonObject> errors = outcome.Events("error");
    ASSERT_EQ(errors.size(), 1u) << outcome.Printed();
    EXPECT_NE(errors.front().value("message").toString().indexOf("changed while it was sent"), -1)
        << outcome.Printed();
    const CliOutcome history = folder.Run({"history", "--json"});
    EXPECT_NE(history.out.find("\"outcome\":\"failed\""), std::string::npos) << history.Printed();
    EXPECT_NE(history.out.find("\"sha256\":\"\""), std::string::npos) << history.Printed();
}

TEST(CliFlashNames, NamesTheBoardWouldNotKeepWholeAreRefused)
{
    CliFolder folder;
    BoardSim board({"--pty"});
    folder.WriteFile("settings_part1.bin", 10);
    std::filesystem::create_directories(folder.PathOf("a"));
    std::filesystem::create_directories(folder.PathOf("b"));
    folder.WriteFile("a/same.bin", 10);
    folder.WriteFile("b/same.bin", 10);
    const QString port = QString::fromStdString(board.PtyPath());
    for (const QStringList& files : {QStringList{"settings_part1.bin"}, QStringList{"a/same.bin", "b/same.bin"}}) {
        const CliOutcome outcome = folder.Run(QStringList{"flash"} << files << "--serial" << port);
        EXPECT_EQ(outcome.exitCode, 2) << outcome.Printed();
        EXPECT_NE(outcome.err.find(files.back().toStdString()), std::string::npos) << outcome.Printed();
    }
    EXPECT_TRUE(ReceivedFrames(board).empty());
}

TEST(CliFileNames, ANameThatIsNotUtf8OpensItsFile)
{
    CliFolder folder;
    const std::string latin1Name = "bild\xE4.hex";
    const std::string image = folder.WriteFile(latin1Name, 2000);
    BoardSim board({"--pty"});
    // The argument goes to the program as the bytes of the name.
    const CliOutcome outcome = folder.Run({"firmware", QString::fromLocal8Bit(latin1Name.c_str()), "--serial",
                                           QString::fromStdString(board.PtyPath())});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
    EXPECT_TRUE(SameBytes(board.Kept("burn0.bin"), image));
}

} // namespace
