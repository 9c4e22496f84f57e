// Firmware image transfers by the updater's real windows (offscreen) to the
// simulated board, measured.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "bench/Usage.h"
#include "tests/e2e/UpdaterSession.h"

// Writes an image of `size` bytes into the session's working folder and
// returns its path. The image is written piece by piece, so that making it
// does not raise the process's peak memory.
std::string WriteImage(const UpdaterSession& session, const std::string& name, std::uint64_t size);
// The same image, written at `path`. Throws std::runtime_error when it cannot
// be written.
void WriteImageAt(const std::string& path, std::uint64_t size);

// Throws std::runtime_error when the board did not keep the image at `path`,
// of `size` bytes, byte for byte as its firmware image.
void CheckBoardKeptImage(const BoardSim& board, const std::filesystem::path& folder, const std::string& path,
                         std::uint64_t size);

// Runs a confirmed Update of the firmware image at `path` and returns what
// it cost. Throws std::runtime_error when the updater reported an error or did
// not finish, or the board did not keep the whole image: a failed transfer
// gives no figure.
Usage TimedUpdate(UpdaterSession& session, const std::string& path, std::uint64_t size);
