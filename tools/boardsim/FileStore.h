// Where the board keeps what it receives, so that tests can compare it byte
// for byte with what the updater sent. Paths are relative to the output
// folder: "burn0.bin", "burn1.bin", "flash/<name>", "data/<name>".
//
// A file being written stays open from its start until the board finishes it
// (another burn block, a close, an erase), so that a block costs one write and
// not an open, a write and a close. Every append still goes to the file at
// once (no buffering in the board), so a reader sees each block as soon as the
// board has taken it.
//
// Without an output folder the store only counts: nothing is written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>

namespace boardsim {

class FileStore {
public:
    // A stream of creates without closes must not run the board out of
    // descriptors: beyond this many, an open file is closed to make room (it
    // is opened again if it is written again).
    static constexpr std::size_t OpenLimit = 16;

    // Creates the folder (and its parents) when it does not exist. Throws
    // std::system_error when it cannot be created.
    explicit FileStore(std::optional<std::filesystem::path> folder);
    ~FileStore();
    FileStore(const FileStore&) = delete;
    FileStore& operator=(const FileStore&) = delete;

    // Starts the file afresh (empty) and keeps it open. Throws
    // std::system_error on failure.
    void Start(const std::string& relative);
    // Appends to a started file. Throws std::system_error on failure.
    void Append(const std::string& relative, std::span<const std::uint8_t> bytes);
    // The board is done with the file for now: it is closed (a later append
    // opens it again).
    void Finish(const std::string& relative);
    // Removes every kept file whose path begins with `prefix` ("flash/").
    void RemoveUnder(const std::string& prefix);

    std::size_t KeptCount() const { return kept_.size(); }
    std::size_t OpenCount() const { return open_.size(); }

private:
    std::filesystem::path PathOf(const std::string& relative) const;
    // The open descriptor of the file, opened for appending when it is not.
    int Opened(const std::string& relative, int extraFlags);

    std::optional<std::filesystem::path> folder_;
    std::set<std::string> kept_;
    std::map<std::string, int> open_;  // path and descriptor
};

}  // namespace boardsim
