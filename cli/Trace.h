// --trace FILE: every frame of every board, both ways, one line each: the
// seconds since the update started, the board, "out" or "in", the frame's
// bytes in hex, and "stray" for a frame from the board that no wait took.
// Safe to call from several threads at once.
#pragma once

#include <QElapsedTimer>

#include <cstdio>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "transfer/engine/Session.h"

class TTrace {
public:
    // Creates the file afresh; throws std::runtime_error naming the file and
    // the cause when it cannot.
    explicit TTrace(const std::string& path);

    // Writes the frame's line through to the file; false, with the cause in
    // `error`, when it could not be written (a full disk): the trace lacks it.
    bool Frame(const std::string& board, FrameDirection direction, std::span<const Byte> bytes, bool stray,
               std::string& error);
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    struct TClose {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, TClose> file_;
    QElapsedTimer clock_;
    std::mutex mutex_;
};
