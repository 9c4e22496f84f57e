// The same image sent through the window and through orvenda-update gives the
// simulated board the same frames, frame for frame, on both links.
#include <gtest/gtest.h>

#include "app/Unit1.h"
#include "network/IdUDPClient.h"
#include "tests/cli/CliRunner.h"
#include "tests/e2e/UpdaterSession.h"

namespace {

class CliWindowParity : public ::testing::TestWithParam<Link> {};

TEST_P(CliWindowParity, BoardSeesTheSameFramesFromBothFrontEnds)
{
    const std::size_t size = 3 * 1024 + 100;
    UpdaterSession window(GetParam());
    std::string image;
    window.UpdateFirmware(window.MakeImage("app.hex", size, &image));
    const std::vector<std::string> fromWindow = window.AwaitBoardFrames(ImageUpdateFrames(size).size());

    CliFolder folder;
    folder.WriteBytes("app.hex", image);
    std::string address;
    if (GetParam() == Link::Network)
        address = LoopbackAddress(30);
    BoardSim board(GetParam() == Link::Serial ? std::vector<std::string>{"--pty"}
                                              : std::vector<std::string>{"--udp", address});
    const QString target = QString::fromStdString(GetParam() == Link::Serial ? board.PtyPath() : address);
    const CliOutcome outcome = folder.Run(
        {"firmware", "app.hex", GetParam() == Link::Serial ? "--serial" : "--udp", target});
    ASSERT_EQ(outcome.exitCode, 0) << outcome.Printed();

    EXPECT_EQ(fromWindow, ImageUpdateFrames(size));
    EXPECT_EQ(ReceivedFrames(board), fromWindow);
    EXPECT_TRUE(SameBytes(board.Kept("burn0.bin"), image));
}

INSTANTIATE_TEST_SUITE_P(Links, CliWindowParity, ::testing::Values(Link::Serial, Link::Network),
                         [](const auto& info) { return LinkName(info.param); });

} // namespace
