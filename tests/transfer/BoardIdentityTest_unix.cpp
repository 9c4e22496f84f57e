// Who a serial board is on Linux, whatever path leads to its device, and who
// holds a busy board's lock.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <filesystem>
#include <optional>
#include <pwd.h>
#include <string>
#include <unistd.h>

#include "tests/serial/CPortTestSupport.h"
#include "transfer/board/BoardIdentity.h"
#include "transfer/board/BoardLock.h"

namespace {

// COM1 in the working folder, the same link spelled as a path, the device
// itself and a link to it named as the system names adapters: one board.
TEST(BoardIdentity, EveryNameOfASerialDeviceIsOneBoard)
{
    PseudoTerminal line;
    QTemporaryDir folder;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(folder.path());
    std::filesystem::create_symlink(line.Path(), "COM1");
    std::filesystem::create_directories("by-id");
    std::filesystem::create_symlink("../COM1", "by-id/usb-Orvenda_Board-if00-port0");
    const std::string device = std::filesystem::canonical(line.Path());
    for (const std::string& port : {std::string("COM1"), std::string("./COM1"), line.Path(),
                                     folder.path().toStdString() + "/by-id/usb-Orvenda_Board-if00-port0"})
        EXPECT_EQ(SerialBoardIdentity(port).key, "serial:" + device) << port;
    QDir::setCurrent(previous);
    EXPECT_EQ(UsbBoardIdentity().key, "usb");
}

// A busy board is named with the process, and its user, whose socket holds
// the lock: this process's.
TEST(BoardLock, ABusyBoardNamesTheProcessAndTheUserThatHoldIt)
{
    const std::string key = "udp:127.0.0.77";
    const TBoardLock held(key, "127.0.0.077");
    try {
        const TBoardLock second(key, "127.0.0.077");
        ADD_FAILURE() << "a second lock of " << key << " was given";
    } catch (const EBoardBusy& busy) {
        EXPECT_EQ(std::string(busy.what()), "Board 127.0.0.077 is being updated by another updater (process " +
                                                std::to_string(::getpid()) + " of user " +
                                                ::getpwuid(::getuid())->pw_name + ").");
    }
}

} // namespace
