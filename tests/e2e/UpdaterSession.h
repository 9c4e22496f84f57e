// The updater's real windows (offscreen) with a simulated board behind the
// chosen link: a serial board on a pseudo-terminal behind COM1 (with a saved
// serial record, so the settings window connects it at start), or a network
// board on a loopback address of its own.
#pragma once

#include <memory>
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
    // windows; the main window is in the mode of the link.
    UpdaterSession(Link link, std::vector<std::string> boardOptions = {});
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

    Link link;
    Windows windows;
    ModalDriver driver;
    std::unique_ptr<BoardSim> board;

private:
    static int nextAddress_;
};
