// The updater's real windows (offscreen) with a simulated board behind the
// chosen link: a serial board on a pseudo-terminal behind COM1 (with a saved
// serial record, so the settings window connects it at start), or a network
// board on a loopback address of its own.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/BoardSim.h"
#include "tests/support/ModalDriver.h"
#include "tests/support/Windows.h"

enum class Link { Serial, Network };

std::string LinkName(Link link);

class UpdaterSession {
public:
    // Starts the board with `boardOptions` (beside its link options) and the
    // windows; the main window is in the mode of the link. `settingsFile` is
    // what ZEVEVI.CFG holds at start-up; without it a serial session saves
    // COM1 at 115200 8N1 (so the port is connected) and a network session
    // has no settings file.
    UpdaterSession(Link link, std::vector<std::string> boardOptions = {},
                   std::optional<std::string> settingsFile = std::nullopt);
    ~UpdaterSession();

    // Writes a file of `size` bytes with varied content into the working
    // folder and returns its path and content.
    std::string MakeImage(const std::string& name, std::size_t size, std::string* content = nullptr);

    // Chooses a firmware image through File, Open Firmware and runs Update, answering OK.
    void UpdateFirmware(const std::string& path);

    // Shortens every answer wait (the watchdog) for boards that stay silent.
    void ShortenWatchdog(int milliseconds);

    // Returns once the board has taken every frame sent so far: a boot-error
    // query, answered only after the frames before it, serves as the barrier.
    void SyncWithBoard();

    // The frames the board received, one transcript line each without its
    // direction: "13 C8 SetBurnBlock block=0 length=7".
    std::vector<std::string> BoardFrames();

    // The board's frames once it has taken at least `count` of them, or what
    // it has taken after a few seconds. A transfer whose waits were ended by
    // surplus answers may finish before the board has worked through its
    // last frames.
    std::vector<std::string> AwaitBoardFrames(std::size_t count);

    // The message boxes shown so far with this caption.
    std::vector<SeenBox> BoxesCaptioned(const QString& caption) const;

    // Ends the board and starts a fresh one with `boardOptions` on the same
    // link: behind a new pseudo-terminal that COM1 now points to, or on the
    // same network address. The windows are left as they are.
    void ReplaceBoard(std::vector<std::string> boardOptions = {});

    Link link;
    Windows windows;
    ModalDriver driver;
    std::unique_ptr<BoardSim> board;

private:
    void StartBoard(std::vector<std::string> boardOptions);

    std::string address_;  // the network board's address
    static int nextAddress_;
};

// The frames a board receives for one image update, in transcript form: the
// SetBurnBlock request, then for every block its ImageBlock frame and the
// GetBootError query.
std::vector<std::string> ImageUpdateFrames(std::size_t imageSize, int burnBlock = 0);

// Byte strings compared by size and first difference, without printing them
// (images are long): a kept file equal to an image, or a prefix of it.
::testing::AssertionResult SameBytes(const std::optional<std::string>& kept, const std::string& expected);
::testing::AssertionResult PrefixOf(const std::optional<std::string>& kept, const std::string& whole);
