// A file read as bytes, opened for reading only, with the runtime's error
// texts: "File not found", "File access denied", "Invalid filename" and
// "I/O error %d" (EInOutError). Only regular files are opened: a folder, a
// device, a pipe or a socket raises "'<path>' is not a regular file", and
// opening never waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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
    std::size_t Read(unsigned char* buffer, std::size_t capacity);

private:
    std::string path_;
    int fd_ = -1;
    std::int64_t size_ = 0;
};

// Raises the runtime's input/output error for an errno value.
[[noreturn]] void RaiseInOutError(int error);
