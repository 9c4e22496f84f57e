// Where the board keeps what it receives, so that tests can compare it byte
// for byte with what the updater sent. Paths are relative to the output
// folder: "burn0.bin", "burn1.bin", "flash/<name>", "data/<name>".
//
// A file being written stays open from its start until the board finishes it
// (another burn block, a close, an erase), and its appends gather in a buffer
// that is written in large pieces: when it is full, when the file is
// finished, and whenever the board flushes (its links quiet for a moment, a
// flush request, its stop). A block thus costs no system call of its own.
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

#include "tools/boardsim/Protocol.h"

namespace boardsim {

class FileStore {
public:
    // A stream of creates without closes must not run the board out of
    // descriptors: beyond this many, an open file is finished to make room
    // (it is opened again if it is written again).
    static constexpr std::size_t OpenLimit = 16;
    // Appends gather up to this many bytes before they are written.
    static constexpr std::size_t BufferLimit = 64 * 1024;

    // Creates the folder (and its parents) when it does not exist. Throws
    // std::system_error when it cannot be created.
    explicit FileStore(std::optional<std::filesystem::path> folder);
    // Closes the open files; call Flush() before, to learn of a failed write.
    ~FileStore();
    FileStore(const FileStore&) = delete;
    FileStore& operator=(const FileStore&) = delete;

    // Starts the file afresh (empty) and keeps it open. Throws
    // std::system_error on failure.
    void Start(const std::string& relative);
    // Appends to a started file. Throws std::system_error on failure.
    void Append(const std::string& relative, std::span<const std::uint8_t> bytes);
    // The board is done with the file for now: its bytes are written and it
    // is closed (a later append opens it again). Throws std::system_error.
    void Finish(const std::string& relative);
    // Writes what every open file holds back. Throws std::system_error.
    void Flush();
    // Removes every kept file whose path begins with `prefix` ("flash/").
    void RemoveUnder(const std::string& prefix);

    // Appended bytes wait to be written.
    bool Pending() const;
    std::size_t KeptCount() const { return kept_.size(); }
    std::size_t OpenCount() const { return open_.size(); }

private:
    struct OpenFile {
        int fd;
        Bytes pending;  // appended, not yet written
    };

    std::filesystem::path PathOf(const std::string& relative) const;
    // The open file, opened for appending when it is not.
    OpenFile& Opened(const std::string& relative, int extraFlags);
    void WritePending(const std::string& relative, OpenFile& file);

    std::optional<std::filesystem::path> folder_;
    std::set<std::string> kept_;
    std::map<std::string, OpenFile> open_;
};

}  // namespace boardsim
