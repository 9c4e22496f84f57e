#include "tests/e2e/UpdaterSession.h"

#include <QAction>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "protocol/Encoder.h"
#include "app/Unit1.h"
#include "network/IdUDPClient.h"

int UpdaterSession::nextAddress_ = 0;

namespace {

// Each session's network board listens on a loopback address of its own, so
// that sessions never hear each other's datagrams: 127.A.B.n, with A.B from
// the test process's id (test processes that run at once differ in it) and n
// counting the process's sessions.
constexpr int SessionSubnetsFirst = 64;
constexpr int SessionSubnets = 128;
constexpr int HostsPerSubnet = 250;
constexpr int AddressTries = 5;

std::string NextLoopbackAddress(int& counter)
{
    ++counter;
    const int pid = static_cast<int>(getpid());
    return "127." + std::to_string(SessionSubnetsFirst + (pid >> 8) % SessionSubnets) + "." +
           std::to_string(pid & 0xFF) + "." + std::to_string(1 + counter % HostsPerSubnet);
}

} // namespace

std::string LinkName(Link link)
{
    return link == Link::Serial ? "Serial" : "Network";
}

UpdaterSession::UpdaterSession(Link chosen, std::vector<std::string> boardOptions,
                               std::optional<std::string> settingsFile)
    : link(chosen)
{
    // An address that another program holds after all is passed over.
    for (int tries = 1;; ++tries) {
        if (link == Link::Network)
            address_ = NextLoopbackAddress(nextAddress_);
        try {
            StartBoard(boardOptions);
            break;
        } catch (const std::runtime_error&) {
            if (link != Link::Network || tries == AddressTries)
                throw;
        }
    }
    // COM1 at 115200 baud, 8 data bits, no parity, 1 stop bit.
    if (!settingsFile && link == Link::Serial)
        settingsFile = std::string("\0\0\6\3\0\0", 6);
    if (settingsFile)
        std::ofstream(windows.PathOf("ZEVEVI.CFG"), std::ios::binary) << *settingsFile;
    windows.Create();
    if (link == Link::Network) {
        Form1->IdUDPClient1->Host = address_;
        Form1->Network2Click();
    }
}

void UpdaterSession::StartBoard(std::vector<std::string> boardOptions)
{
    if (link == Link::Serial)
        boardOptions.insert(boardOptions.begin(), "--pty");
    else
        boardOptions.insert(boardOptions.begin(), {"--udp", address_});
    board = std::make_unique<BoardSim>(boardOptions);
    if (link == Link::Serial) {
        const std::string com1 = windows.PathOf("COM1");
        std::filesystem::remove(com1);
        if (::symlink(board->PtyPath().c_str(), com1.c_str()) != 0)
            throw std::runtime_error("cannot link COM1 to the board");
    }
}

std::vector<std::string> UpdaterSession::AwaitBoardFrames(std::size_t count)
{
    constexpr int PatienceMs = 5000;
    constexpr auto Poll = std::chrono::milliseconds(5);
    QDeadlineTimer patience(PatienceMs);
    std::vector<std::string> frames = BoardFrames();
    while (frames.size() < count && !patience.hasExpired()) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(Poll);
        frames = BoardFrames();
    }
    return frames;
}

std::vector<SeenBox> UpdaterSession::BoxesCaptioned(const QString& caption) const
{
    std::vector<SeenBox> boxes;
    for (const SeenBox& box : driver.Boxes())
        if (box.caption == caption)
            boxes.push_back(box);
    return boxes;
}

void UpdaterSession::ReplaceBoard(std::vector<std::string> boardOptions)
{
    board.reset();  // frees the network address for the new board
    StartBoard(std::move(boardOptions));
}

UpdaterSession::~UpdaterSession() = default;

std::string UpdaterSession::MakeImage(const std::string& name, std::size_t size, std::string* content)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);  // 0xA5 included, no period of 1024
    const std::string path = windows.PathOf(name);
    std::ofstream(path, std::ios::binary) << bytes;
    if (content != nullptr)
        *content = bytes;
    return path;
}

void UpdaterSession::UpdateFirmware(const std::string& path)
{
    driver.SetFileChoice({QString::fromStdString(path)});
    Form1->OpenFirmware1->trigger();
    Form1->Update1->trigger();
}

void UpdaterSession::ShortenWatchdog(int milliseconds)
{
    // A seam for tests only: the program always waits the full interval.
    Form1->WatchdogMs = milliseconds;
}

void UpdaterSession::SyncWithBoard()
{
    Form1->Session().Execute_Command(" GetBootError :");
    if (Form1->CommMode == ModeRS232)
        Form1->Session().WaitAck("GetBootError");
}

std::vector<std::string> UpdaterSession::BoardFrames()
{
    std::vector<std::string> frames;
    std::istringstream lines(board->Transcript());
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("rx ", 0) == 0)
            frames.push_back(line.substr(3));
    return frames;
}

std::vector<std::string> ImageUpdateFrames(std::size_t imageSize, int burnBlock)
{
    // An image block frame is its data behind the 8 bytes of start byte,
    // checksum, payload length, group, operation and data count.
    constexpr std::size_t ImageFrameOverhead = 8;
    std::vector<std::string> frames = {"13 C8 SetBurnBlock block=" + std::to_string(burnBlock) + " length=7"};
    const std::size_t blockSize = ImageBlockSize;
    for (std::size_t k = 0; k <= imageSize / blockSize; ++k) {
        const std::size_t count = std::min(blockSize, imageSize - k * blockSize);
        frames.push_back("13 C9 ImageBlock count=" + std::to_string(count) +
                         " length=" + std::to_string(count + ImageFrameOverhead));
        frames.push_back("13 01 GetBootError length=6");
    }
    return frames;
}

namespace {

::testing::AssertionResult CompareBytes(const std::optional<std::string>& kept, const std::string& expected,
                                        bool prefixWillDo)
{
    if (!kept)
        return ::testing::AssertionFailure() << "the board kept no such file";
    const bool sizeFits = prefixWillDo ? kept->size() <= expected.size() : kept->size() == expected.size();
    const auto at = std::mismatch(kept->begin(), kept->end(), expected.begin(), expected.end()).first;
    if (sizeFits && at == kept->end())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "kept " << kept->size() << " bytes, expected "
                                         << (prefixWillDo ? "a prefix of " : "") << expected.size()
                                         << "; first difference at offset " << (at - kept->begin());
}

} // namespace

::testing::AssertionResult SameBytes(const std::optional<std::string>& kept, const std::string& expected)
{
    return CompareBytes(kept, expected, false);
}

::testing::AssertionResult PrefixOf(const std::optional<std::string>& kept, const std::string& whole)
{
    return CompareBytes(kept, whole, true);
}
