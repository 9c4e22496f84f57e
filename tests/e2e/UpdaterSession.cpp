#include "tests/e2e/UpdaterSession.h"

#include <QAction>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "app/Unit1.h"
#include "network/IdUDPClient.h"

int UpdaterSession::nextAddress_ = 0;

namespace {

// Each session's network board listens on a loopback address of its own, so
// that sessions never hear each other's datagrams.
std::string NextLoopbackAddress(int& counter)
{
    ++counter;
    return "127.0." + std::to_string(40 + getpid() % 200) + "." + std::to_string(1 + counter % 250);
}

} // namespace

std::string LinkName(Link link)
{
    return link == Link::Serial ? "Serial" : "Network";
}

UpdaterSession::UpdaterSession(Link chosen, std::vector<std::string> boardOptions) : link(chosen)
{
    std::string address;
    if (link == Link::Serial) {
        boardOptions.insert(boardOptions.begin(), "--pty");
    } else {
        address = NextLoopbackAddress(nextAddress_);
        boardOptions.insert(boardOptions.begin(), {"--udp", address});
    }
    board = std::make_unique<BoardSim>(boardOptions);
    if (link == Link::Serial) {
        if (::symlink(board->PtyPath().c_str(), windows.PathOf("COM1").c_str()) != 0)
            throw std::runtime_error("cannot link COM1 to the board");
        // COM1 at 115200 baud, 8 data bits, no parity, 1 stop bit.
        std::ofstream(windows.PathOf("ZEVEVI.CFG"), std::ios::binary) << std::string("\0\0\6\3\0\0", 6);
    }
    windows.Create();
    if (link == Link::Network) {
        Form1->IdUDPClient1->Host = address;
        Form1->Network2Click();
    }
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
    Form1->Timer1->setInterval(milliseconds);
}

void UpdaterSession::SyncWithBoard()
{
    Form1->Execute_Command(" GetBootError :");
    if (CommMode == ModeRS232)
        Form1->WaitAck("GetBootError");
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
