// A file read as bytes, opened for reading only, with the runtime's error
// texts: "File not found", "File access denied", "Invalid filename" and
// "I/O error %d" (EInOutError). Only regular files are opened: a folder, a
// device, a pipe or a socket raises "'<path>' is not a regular file", and
// opening never waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TFileOfBytes {
public:
    // Opens the file; raises EInOutError when it cannot be opened as a
    // regular file.
    explicit TFileOfBytes(const std::string& path);
    ~TFileOfBytes();
    TFileOfBytes(const TFileOfBytes&) = delete;
    TFileOfBytes& operator=(const TFileOfBytes&) = delete;

    std::int64_t Size() const { return size_; }
    const std::string& Path() const { return path_; }

    // Reads up to `capacity` bytes; returns how many were read, 0 at the end.
    // The file is read ahead in large pieces, so that a stream of small
    // blocks costs the system one call per piece, not one per block.
    std::size_t Read(unsigned char* buffer, std::size_t capacity);

private:
    static constexpr std::size_t ReadAheadSize = 64 * 1024;

    // Refills the read-ahead; false at the end of the file.
    bool FillAhead();

    std::string path_;
    int fd_ = -1;
    std::int64_t size_ = 0;
    struct {
        std::vector<unsigned char> bytes; // allocated at the first read
        std::size_t start = 0;
        std::size_t end = 0;
    } ahead_;
};

// Raises the runtime's input/output error for an errno value.
[[noreturn]] void RaiseInOutError(int error);
