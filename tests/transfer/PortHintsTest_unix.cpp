// The hints an operator gets for a serial port that cannot be opened, from
// the errors the real driver raises on Linux where a test can provoke them
// (PortHintsTest.cpp has the codes it cannot: no permission as root, a modem
// manager, a pulled adapter).
#include "transfer/report/PortHints.h"

#include "serial/CPort.h"
#include "tests/serial/CPortTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

// The codes a test cannot provoke: no permission as root, a modem manager, a
// pulled adapter.
TEST(PortHints, EachDriverErrorGetsItsAdvice)
{
    EXPECT_TRUE(PortHint(ecOpen, EACCES).contains("dialout group"));
    EXPECT_TRUE(PortHint(ecOpen, EBUSY).contains("ModemManager"));
    EXPECT_TRUE(PortHint(ecOpen, EIO).contains("plugged in"));
    EXPECT_TRUE(PortHint(ecWrite, EIO).contains("unplugged"));
    EXPECT_TRUE(PortHint(ecRead, ENXIO).contains("unplugged"));
}

EComPort OpenError(const std::string& port)
{
    TComPort tried;
    tried.SetPort(port);
    std::optional<EComPort> error = CatchComError([&] { tried.Open(); });
    if (!error)
        throw std::runtime_error("opening " + port + " did not fail");
    return *error;
}

TEST(PortHints, APortAnotherUpdaterHoldsSaysSo)
{
    PseudoTerminal terminal;
    TComPort first;
    first.SetPort(terminal.Path());
    first.Open();
    // As root the terminal's exclusive mode is passed and the lock refuses
    // (11); otherwise the open itself is refused (16).
    const EComPort error = OpenError(terminal.Path());
    const QString hint = PortHint(error);
    EXPECT_TRUE(hint.startsWith("Another")) << hint.toStdString() << " for " << error.what();
    EXPECT_TRUE(hint.contains("updater")) << hint.toStdString();
}

TEST(PortHints, AMissingPortPointsToTheStableNames)
{
    const EComPort error = OpenError("/dev/serial/by-id/no-such-adapter");
    EXPECT_EQ(error.OsError, ENOENT);
    EXPECT_TRUE(PortHint(error).contains("/dev/serial/by-id/")) << PortHint(error).toStdString();
}

TEST(PortHints, AFileThatIsNoTerminalIsNamedAsSuch)
{
    const EComPort error = OpenError("/dev/null");
    EXPECT_TRUE(PortHint(error).startsWith("This is not a serial port")) << PortHint(error).toStdString();
}

} // namespace
