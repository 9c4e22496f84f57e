// Where the board keeps what it receives, so that tests can compare it byte
// for byte with what the updater sent. Paths are relative to the output
// folder: "burn0.bin", "burn1.bin", "flash/<name>", "data/<name>". Every
// append goes to the file at once (no buffering in the board), so a reader
// sees each block as soon as the board has taken it.
//
// Without an output folder the store only counts: nothing is written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <span>
#include <string>

namespace boardsim {

class FileStore {
public:
    // Creates the folder (and its parents) when it does not exist. Throws
    // std::system_error when it cannot be created.
    explicit FileStore(std::optional<std::filesystem::path> folder);

    // Starts the file afresh (empty). Throws std::system_error on failure.
    void Start(const std::string& relative);
    // Appends to a started file. Throws std::system_error on failure.
    void Append(const std::string& relative, std::span<const std::uint8_t> bytes);
    // Removes every kept file whose path begins with `prefix` ("flash/").
    void RemoveUnder(const std::string& prefix);

    std::size_t KeptCount() const { return kept_.size(); }

private:
    std::filesystem::path PathOf(const std::string& relative) const;

    std::optional<std::filesystem::path> folder_;
    std::set<std::string> kept_;
};

}  // namespace boardsim
