// The board as a process, through the helper the end-to-end tests use: over a
// pseudo-terminal, over UDP on loopback, and (as root) answering a broadcast
// search inside network namespaces made for the test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "tests/support/BoardSim.h"
#include "tools/boardsim/Options.h"
#include "tools/boardsim/Protocol.h"

using namespace boardsim;

namespace {

constexpr int WaitSeconds = 30;  // a bound for what must come, never a measure of speed

Bytes Hex(const std::string& text)
{
    return ParseHexBytes(text).value();
}

std::string Text(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// Reads until `count` bytes came or the bound passed.
Bytes ReadBytes(int fd, std::size_t count)
{
    Bytes bytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(WaitSeconds);
    while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
        pollfd wait{fd, POLLIN, 0};
        if (::poll(&wait, 1, 100) <= 0) {
            continue;
        }
        std::uint8_t buffer[512];
        const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (got > 0) {
            bytes.insert(bytes.end(), buffer, buffer + got);
        }
    }
    return bytes;
}

class Line {
public:
    explicit Line(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC))
    {
        EXPECT_GE(fd_, 0) << path;
        termios settings{};
        ::tcgetattr(fd_, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(fd_, TCSANOW, &settings);
    }
    ~Line() { ::close(fd_); }

    void Write(const Bytes& bytes) { ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    Bytes Read(std::size_t count) { return ReadBytes(fd_, count); }

private:
    int fd_;
};

// A loopback address of this test process's own, so that boards of tests that
// run at the same time never share a port.
std::string OwnLoopbackAddress()
{
    constexpr unsigned Octets = 250;  // host numbers 1 to 250 in each of 250 nets
    const unsigned pid = static_cast<unsigned>(::getpid());
    return "127.77." + std::to_string(pid / Octets % Octets) + "." + std::to_string(pid % Octets + 1);
}

sockaddr_in Endpoint(const std::string& address, std::uint16_t port)
{
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr);
    return endpoint;
}

class Peer {
public:
    Peer() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        const sockaddr_in any = Endpoint("127.0.0.1", 0);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    }
    explicit Peer(int fd) : fd_(fd) {}
    ~Peer() { ::close(fd_); }

    void SendTo(const sockaddr_in& to, const Bytes& bytes)
    {
        ASSERT_EQ(::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  ssize_t(bytes.size()));
    }

    struct Datagram {
        Bytes bytes;
        std::string from;  // "address:port"
    };
    std::optional<Datagram> Receive()
    {
        pollfd wait{fd_, POLLIN, 0};
        if (::poll(&wait, 1, WaitSeconds * 1000) <= 0) {
            return std::nullopt;
        }
        Bytes buffer(65536);
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const ssize_t got = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &size);
        if (got < 0) {
            return std::nullopt;
        }
        buffer.resize(static_cast<std::size_t>(got));
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        return Datagram{buffer, std::string(text) + ":" + std::to_string(ntohs(from.sin_port))};
    }

private:
    int fd_;
};

const Bytes SetBurnBlock0 = Hex("A5 DE 03 00 13 C8 00");
const Bytes GetBootError = Hex("A5 16 02 00 13 01");
const Bytes BootErrorAnswer = Hex("A5 18 04 00 13 01 00 00");

// An image block frame as the updater builds it.
Bytes ImageBlock(const Bytes& data)
{
    const CommandInfo& info = InfoOf(Command::ImageBlock);
    Bytes body{info.group, info.operation};
    AppendWord(body, static_cast<std::uint16_t>(data.size()));
    body.insert(body.end(), data.begin(), data.end());
    return BuildFrame(body);
}

}  // namespace

class SerialBoard : public testing::TestWithParam<std::vector<std::string>> {};

// The firmware stream of a 1500-byte image: SetBurnBlock(0), then each block
// and a boot-error query paced by its answer. Paced at a real line's speed
// too, which must change nothing but the time it takes.
TEST_P(SerialBoard, KeepsAStreamedImageAndAnswersEachQuery)
{
    BoardSim board(GetParam());
    ASSERT_FALSE(board.PtyPath().empty());
    Line line(board.PtyPath());
    Bytes image(1500);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 7);
    }
    line.Write(SetBurnBlock0);
    for (std::size_t at = 0; at < image.size(); at += ImageBlockLimit) {
        const std::size_t size = std::min(ImageBlockLimit, image.size() - at);
        line.Write(ImageBlock(Bytes(image.begin() + at, image.begin() + at + size)));
        line.Write(GetBootError);
        EXPECT_EQ(line.Read(BootErrorAnswer.size()), BootErrorAnswer);
    }
    EXPECT_EQ(board.Kept("burn0.bin"), Text(image)) << "complete before the board stops";
    EXPECT_NE(board.Transcript().find("rx 13 C9 ImageBlock count=476 length=484"), std::string::npos);
    EXPECT_EQ(board.Stop(), 0);
    const auto summary = board.Summary();
    EXPECT_EQ(summary.at("frames"), 5U);
    EXPECT_EQ(summary.at("bytes"), 7U + 1032U + 484U + 2 * 6U);
    EXPECT_EQ(summary.at("bad_frames"), 0U);
    EXPECT_EQ(summary.at("files_kept"), 1U);
    EXPECT_EQ(summary.at("command.GetBootError"), 2U);
}

INSTANTIATE_TEST_SUITE_P(Unpaced, SerialBoard, testing::Values(std::vector<std::string>{"--pty"}),
                         [](const auto&) { return std::string("Pty"); });
INSTANTIATE_TEST_SUITE_P(PacedAt115200, SerialBoard,
                         testing::Values(std::vector<std::string>{"--pty", "--baud", "115200"}),
                         [](const auto&) { return std::string("Pty"); });

TEST(SerialBoardProcess, MakesItsLinkAndRemovesItAtExit)
{
    const auto folder = std::filesystem::temp_directory_path() / ("boardsim-link-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto link = folder / "COM1";
    {
        BoardSim board({"--pty", "--link", link.string()});
        EXPECT_EQ(std::filesystem::read_symlink(link), board.PtyPath());
        Line line(link.string());
        line.Write(GetBootError);
        EXPECT_EQ(line.Read(BootErrorAnswer.size()), BootErrorAnswer);
        EXPECT_EQ(board.Stop(), 0);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    std::filesystem::remove_all(folder);
}

TEST(SerialBoardProcess, StrictModeEndsAtTheFirstBadFrame)
{
    BoardSim board({"--pty", "--strict"});
    Line line(board.PtyPath());
    line.Write(GetBootError);
    EXPECT_EQ(line.Read(BootErrorAnswer.size()), BootErrorAnswer);
    line.Write(Hex("A5 17 02 00 13 01"));
    EXPECT_EQ(board.WaitForExit(WaitSeconds), 3);
    EXPECT_EQ(board.Count("bad_frames"), 1U);
    EXPECT_NE(board.Transcript().find("rx bad checksum"), std::string::npos);
}

TEST(SerialBoardProcess, ShapesAnswersWithTheFaultsAsked)
{
    BoardSim board({"--pty", "--split", "2,3", "--split-pause", "1", "--noise", "00,55", "--alarm",
                    "--second-answer", "0", "--boot-error", "7"});
    Line line(board.PtyPath());
    line.Write(GetBootError);
    const Bytes answer = Hex("A5 1F 04 00 13 01 00 07");
    Bytes expected = BuildAlarm();
    expected.insert(expected.end(), {0x00, 0x55});
    expected.insert(expected.end(), answer.begin(), answer.end());
    expected.insert(expected.end(), answer.begin(), answer.end());
    EXPECT_EQ(line.Read(expected.size()), expected);
}

TEST(SerialBoardProcess, DropsEveryNthAnswer)
{
    BoardSim board({"--pty", "--drop-every", "2"});
    Line line(board.PtyPath());
    for (int i = 0; i < 3; ++i) {
        line.Write(GetBootError);
    }
    // Answers keep their order, so the third answer's arrival shows the
    // second was dropped, not late.
    const Bytes two = line.Read(2 * BootErrorAnswer.size());
    EXPECT_EQ(two.size(), 2 * BootErrorAnswer.size());
    EXPECT_EQ(board.Count("answers_dropped"), 1U);
    EXPECT_EQ(board.Count("answers"), 2U);
}

TEST(BoardProcess, RefusesABadCommandLineBeforeItIsReady)
{
    EXPECT_THROW(BoardSim({"--pty", "--frobnicate"}), std::runtime_error);
    EXPECT_THROW(BoardSim({"--udp", "256.0.0.1"}), std::runtime_error);
}

TEST(NetworkBoard, AnswersRequestsAndTheSearchOnLoopback)
{
    const std::string address = OwnLoopbackAddress();
    BoardSim board({"--udp", address});
    Peer peer;
    peer.SendTo(Endpoint(address, 3333), GetBootError);
    auto answer = peer.Receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes, BootErrorAnswer);
    EXPECT_EQ(answer->from, address + ":3333");

    peer.SendTo(Endpoint(address, 3333), SetBurnBlock0);  // not answered
    peer.SendTo(Endpoint(address, 3333), ImageBlock(Hex("61 62 63")));
    peer.SendTo(Endpoint(address, 3334), Hex("44 52 56 4B 00"));  // not the search: ignored
    peer.SendTo(Endpoint(address, 3334), Hex("44 52 56 4B"));
    auto reply = peer.Receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(Text(reply->bytes), "DRVK");
    EXPECT_EQ(reply->from, address + ":3334");
    EXPECT_EQ(board.Kept("burn0.bin"), "abc");
    EXPECT_EQ(board.Count("searches"), 1U);
}

std::string FileText(const std::filesystem::path& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The board buffers its transcript: asked, it writes every line it holds at
// once; unasked, once its links have been quiet for a moment.
TEST(NetworkBoard, WritesItsTranscriptOnRequestAndWhenQuiet)
{
    const std::string address = OwnLoopbackAddress();
    BoardSim board({"--udp", address});
    Peer peer;
    peer.SendTo(Endpoint(address, 3333), SetBurnBlock0);
    peer.SendTo(Endpoint(address, 3333), GetBootError);
    ASSERT_TRUE(peer.Receive());
    EXPECT_EQ(board.Transcript(), "rx 13 C8 SetBurnBlock block=0 length=7\n"
                                  "rx 13 01 GetBootError length=6\n"
                                  "tx 13 01 GetBootError result=0 boot_error=0 length=8\n");

    peer.SendTo(Endpoint(address, 3333), ImageBlock(Hex("61 62 63")));
    const std::string line = "rx 13 C9 ImageBlock count=3 length=11\n";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(WaitSeconds);
    while (FileText(board.TranscriptFile()).find(line) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(FileText(board.TranscriptFile()).find(line), std::string::npos)
        << "the quiet board did not write its transcript";
}

// Requests that get no answer are read one after the other, but a strict
// board still takes nothing after the first bad frame.
TEST(NetworkBoard, StrictModeTakesNothingAfterTheFirstBadFrame)
{
    const std::string address = OwnLoopbackAddress();
    BoardSim board({"--udp", address, "--strict"});
    Peer peer;
    peer.SendTo(Endpoint(address, 3333), Hex("A5 17 02 00 13 01"));
    peer.SendTo(Endpoint(address, 3333), SetBurnBlock0);
    peer.SendTo(Endpoint(address, 3333), ImageBlock(Hex("61 62 63")));
    EXPECT_EQ(board.WaitForExit(WaitSeconds), 3);
    EXPECT_EQ(board.Count("bad_frames"), 1U);
    EXPECT_EQ(board.Count("frames"), 0U);
}

TEST(NetworkBoard, MisbehavesAsAsked)
{
    const std::string address = OwnLoopbackAddress();
    {
        BoardSim board({"--udp", address, "--pad-datagram", "101", "--search-from", "4334", "--search-reply",
                        "44,52,56,4B,00"});
        Peer peer;
        peer.SendTo(Endpoint(address, 3333), GetBootError);
        auto answer = peer.Receive();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->bytes.size(), 101U);
        EXPECT_EQ(Bytes(answer->bytes.begin(), answer->bytes.begin() + 8), BootErrorAnswer);
        peer.SendTo(Endpoint(address, 3334), Hex("44 52 56 4B"));
        auto reply = peer.Receive();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->bytes, Hex("44 52 56 4B 00"));
        EXPECT_EQ(reply->from, address + ":4334");
    }
    BoardSim board({"--udp", address, "--empty-datagram", "--delay", "1"});
    Peer peer;
    peer.SendTo(Endpoint(address, 3333), GetBootError);
    auto answer = peer.Receive();
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->bytes.empty());
}

// The forged answer comes first, from the board's address but not its request
// port, and reports no boot error; the board's own answer follows from 3333.
// The serial line of the same board gets no forgery.
TEST(NetworkBoard, ForgesAnAnswerFromAnotherPortOfItsAddress)
{
    const std::string address = OwnLoopbackAddress();
    BoardSim board({"--pty", "--udp", address, "--forge-port", "--boot-error", "7"});
    const Bytes answer = Hex("A5 1F 04 00 13 01 00 07");
    Peer peer;
    peer.SendTo(Endpoint(address, 3333), GetBootError);
    const auto forged = peer.Receive();
    const auto real = peer.Receive();
    ASSERT_TRUE(forged && real);
    EXPECT_EQ(forged->bytes, BootErrorAnswer);
    EXPECT_EQ(forged->from.rfind(address + ":", 0), 0U) << forged->from;
    EXPECT_NE(forged->from, address + ":3333");
    EXPECT_EQ(real->bytes, answer);
    EXPECT_EQ(real->from, address + ":3333");

    Line line(board.PtyPath());
    line.Write(GetBootError);
    line.Write(GetBootError);
    Bytes twice = answer;
    twice.insert(twice.end(), answer.begin(), answer.end());
    EXPECT_EQ(line.Read(twice.size()), twice);
    EXPECT_NE(board.Transcript().find("boot_error=7 length=8 [forge-port]\n"), std::string::npos);
}

// A fault that replaces each answer, as one board sends it on each link.
struct ReplacedAnswer {
    std::string name;
    std::vector<std::string> arguments;
    Bytes request;
    std::string serial;      // each answer on the serial line
    std::string datagram;    // each answer's datagram
    std::string transcript;  // in the board's line for the answer
};

void PrintTo(const ReplacedAnswer& fault, std::ostream* out)
{
    *out << fault.name;
}

class AnswerFault : public testing::TestWithParam<ReplacedAnswer> {};

// Two requests on the serial line: the second answer's bytes right behind the
// first show that nothing else came between.
TEST_P(AnswerFault, SendsTheSameReplacementOnBothLinks)
{
    const ReplacedAnswer& fault = GetParam();
    const std::string address = OwnLoopbackAddress();
    std::vector<std::string> arguments{"--pty", "--udp", address};
    arguments.insert(arguments.end(), fault.arguments.begin(), fault.arguments.end());
    BoardSim board(arguments);
    Line line(board.PtyPath());
    line.Write(fault.request);
    line.Write(fault.request);
    Bytes twice = Hex(fault.serial);
    twice.insert(twice.end(), twice.begin(), twice.end());
    EXPECT_EQ(line.Read(twice.size()), twice);

    Peer peer;
    peer.SendTo(Endpoint(address, 3333), fault.request);
    auto answer = peer.Receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes, Hex(fault.datagram));
    EXPECT_NE(board.Transcript().find(fault.transcript), std::string::npos) << board.Transcript();
}

const Bytes CreateFlashFile = BuildFrame(Hex("13 7B 61 70 70 2E 62 69 6E 00 00 00 00 00 03 00 00 00 03"));
const std::string VersionAnswer = "A5 70 0A 00 0B 0A 42 4F 41 52 44 53 49 4D";  // text "BOARDSIM"

INSTANTIATE_TEST_SUITE_P(
    Faults, AnswerFault,
    testing::Values(
        ReplacedAnswer{"None", {}, GetBootError, "A5 18 04 00 13 01 00 00", "A5 18 04 00 13 01 00 00",
                       "boot_error=0 length=8\n"},
        ReplacedAnswer{"GarbleLead", {"--garble", "lead"}, GetBootError, "A5 A5 18 04 00 13 01 00",
                       "A5 A5 18 04 00 13 01 00 00", "length=8 [garble=lead]\n"},
        ReplacedAnswer{"GarbleOperation", {"--garble", "operation"}, GetBootError, "A5 96 04 00 13 7F 00 00",
                       "A5 96 04 00 13 7F 00 00", "length=8 [garble=operation]\n"},
        ReplacedAnswer{"GarbleCut", {"--garble", "cut"}, GetBootError, "A5 18 04 00 13 01", "A5 18 04 00 13 01",
                       "length=8 [garble=cut]\n"},
        ReplacedAnswer{"WrongAnswer", {"--wrong-answer"}, GetBootError, VersionAnswer, VersionAnswer,
                       "length=8 [wrong-answer]\n"},
        ReplacedAnswer{"RefuseCreate", {"--refuse-create", "5"}, CreateFlashFile, "A5 96 03 00 13 7B 05",
                       "A5 96 03 00 13 7B 05", "CreateFlashFile result=5 length=7\n"}),
    [](const auto& info) { return info.param.name; });

// Two boards on one segment both hear one broadcast search and reply from
// their own address and port 3334. Needs root for the namespaces.
TEST(NetworkBoard, AnswersTheBroadcastSearchInANamespace)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "creating network namespaces needs root";
    }
    const std::string suffix = std::to_string(::getpid());
    const std::string host = "bsh" + suffix;
    const std::string boards = "bsb" + suffix;
    const auto run = [](const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); };
    struct Cleanup {
        std::function<void()> undo;
        ~Cleanup() { undo(); }
    } cleanup{[&] {
        run("ip netns del " + host);
        run("ip netns del " + boards);
    }};
    ASSERT_EQ(run("ip netns add " + host), 0);
    ASSERT_EQ(run("ip netns add " + boards), 0);
    ASSERT_EQ(run("ip -n " + host + " link add vh type veth peer name vb netns " + boards), 0);
    ASSERT_EQ(run("ip -n " + host + " addr add 10.77.0.1/24 dev vh && ip -n " + host + " link set vh up && ip -n " +
                  host + " link set lo up && ip -n " + host + " route add default dev vh"), 0);
    ASSERT_EQ(run("ip -n " + boards + " addr add 10.77.0.2/24 dev vb && ip -n " + boards +
                  " addr add 10.77.0.3/24 dev vb && ip -n " + boards + " link set vb up"), 0);

    const std::vector<std::string> launcher{"ip", "netns", "exec", boards};
    BoardSim first({"--udp", "10.77.0.2"}, launcher);
    BoardSim second({"--udp", "10.77.0.3"}, launcher);

    // A socket belongs to the namespace its creating thread is in.
    int fd = -1;
    std::thread([&] {
        const int own = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = ::open(("/run/netns/" + host).c_str(), O_RDONLY | O_CLOEXEC);
        if (target >= 0 && ::setns(target, CLONE_NEWNET) == 0) {
            fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ::setns(own, CLONE_NEWNET);
        }
        ::close(target);
        ::close(own);
    }).join();
    ASSERT_GE(fd, 0);
    const int on = 1;
    ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
    Peer searcher(fd);
    searcher.SendTo(Endpoint("255.255.255.255", 3334), Hex("44 52 56 4B"));
    std::set<std::string> repliers;
    for (int i = 0; i < 2; ++i) {
        auto reply = searcher.Receive();
        ASSERT_TRUE(reply);
        EXPECT_EQ(Text(reply->bytes), "DRVK");
        repliers.insert(reply->from);
    }
    EXPECT_EQ(repliers, (std::set<std::string>{"10.77.0.2:3334", "10.77.0.3:3334"}));
}
