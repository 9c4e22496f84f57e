// A file read as bytes, opened for reading only, with the runtime's error
// texts: "File not found", "File access denied", "Invalid filename" and
// "I/O error %d" (EInOutError). Only regular files are opened: a folder, a
// device, a pipe or a socket raises "'<path>' is not a regular file", and
// opening never waits.
//
// A transfer reads its file once, through this one descriptor, and what it
// read is what the board got: the bytes are hashed as they are read, never
// beyond the size the file had when it was opened, and a file that changes
// meanwhile raises EFileChanged instead of sending the board something else.
#pragma once


#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "transfer/engine/Sha256.h"

// "The file 'NAME' changed while it was sent; the board's copy is incomplete."
class EFileChanged : public std::runtime_error {
public:
    explicit EFileChanged(const std::string& path);
};

class TFileOfBytes {
public:
    // Opens the file; raises EInOutError when it cannot be opened as a
    // regular file.
    explicit TFileOfBytes(const std::string& path);
    ~TFileOfBytes();
    TFileOfBytes(const TFileOfBytes&) = delete;
    TFileOfBytes& operator=(const TFileOfBytes&) = delete;

    // The size when the file was opened: what the transfer announces and sends.
    std::int64_t Size() const { return opened_.size; }
    const std::string& Path() const { return path_; }

    // Reads up to `capacity` bytes straight into `buffer`; returns how many
    // were read, fewer only at the end of the file, 0 once Size() bytes have
    // been read. The bytes are hashed later, from `buffer` itself: they must
    // stay as read until HashRead(), Sha256() or the next Read(). Raises
    // EFileChanged when the file ends before Size(), goes on behind it, or has
    // been written to since it was opened.
    std::size_t Read(unsigned char* buffer, std::size_t capacity);

    // Raises EFileChanged unless the file is still as it was opened: the same
    // size and time of change. Called once everything has been read, it
    // also catches a file that grew or was rewritten behind the last read.
    void CheckUnchanged() const;

    // Adds the bytes of the last read to the hash, unless they are in it
    // already. A transfer calls it while the board works on a block, so that
    // hashing costs the stream no time of its own; reading and Sha256() call
    // it too.
    void HashRead();
    // The SHA-256 of the bytes read so far, lower-case hex.
    std::string Sha256();

private:
    // How far apart reading looks whether the file has been written to: a
    // change shows within a few blocks, and the look costs the stream little.
    static constexpr std::int64_t CheckInterval = 8 * 1024;

    // Hands out up to `wanted` bytes of the read-ahead, reading the next
    // piece of the file when it is empty; 0 once Size() bytes have been
    // read and the file ends there.
    std::size_t ReadOnce(unsigned char* buffer, std::size_t wanted);
    // Reads the next piece of the file, at most what is left of Size(), into
    // the read-ahead; 0 at Size().
    std::size_t ReadAhead();
    void CheckEnd();

    // What the system tells of the open file that a write to it changes: its
    // size and its times of modification and of change, in the system's own
    // units.
    struct TStamp {
        std::int64_t size = 0;
        std::int64_t modified = 0;
        std::int64_t changed = 0;
        bool operator==(const TStamp&) const = default;
    };
    // A descriptor on Linux, a handle on Windows; -1 stands for none on both.
    using THandle = std::intptr_t;
    static constexpr THandle NoHandle = -1;

    // The system's part, one file per platform: opening the regular file at
    // path_ into handle_ (raising EInOutError as the constructor tells),
    // closing it, its stamp, the next bytes from where reading stands (0 at
    // its end) and whether a byte follows `offset`, read without moving
    // where reading stands.
    void Open();
    void Close() noexcept;
    TStamp Stamp() const;
    std::size_t ReadNext(unsigned char* buffer, std::size_t wanted);
    bool HasByteAt(std::int64_t offset) const;

    std::string path_;
    THandle handle_ = NoHandle;
    TStamp opened_;  // as the file was when opened
    std::int64_t consumed_ = 0;  // bytes read from the file so far
    std::int64_t nextCheck_ = 0; // where reading next looks for a change
    bool endChecked_ = false;
    TSha256 hash_;
    // Handed to the caller's buffer and not yet in the hash: the hash reads
    // them there, while the board works on the block.
    const unsigned char* unhashed_ = nullptr;
    std::size_t unhashedLength_ = 0;
    // The file is read a few blocks at a time, a system call for several
    // blocks rather than one for each: what has been read and not yet
    // handed out.
    static constexpr std::size_t ReadAheadSize = 16 * 1024;
    std::vector<unsigned char> ahead_;
    std::size_t aheadStart_ = 0;
    std::size_t aheadEnd_ = 0;
};

// Raises the runtime's input/output error for the system's error number:
// errno's on Linux, GetLastError()'s on Windows.
[[noreturn]] void RaiseInOutError(int error);
