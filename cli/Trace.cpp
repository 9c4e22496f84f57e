#include "cli/Trace.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace {

std::string Hex(std::span<const Byte> bytes)
{
    constexpr const char* Digits = "0123456789ABCDEF";
    constexpr int NibbleBits = 4;
    constexpr Byte LowNibble = 0x0F;
    std::string text;
    text.reserve(bytes.size() * 3);
    for (Byte value : bytes) {
        if (!text.empty())
            text += ' ';
        text += Digits[value >> NibbleBits];
        text += Digits[value & LowNibble];
    }
    return text;
}

} // namespace

TTrace::TTrace(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "w"))
{
    if (!file_)
        throw std::runtime_error("--trace " + path + ": " + std::strerror(errno));
    clock_.start();
}

bool TTrace::Frame(const std::string& board, FrameDirection direction, std::span<const Byte> bytes, bool stray,
                   std::string& error)
{
    const std::string hex = Hex(bytes);
    const double seconds = std::chrono::duration<double>(std::chrono::milliseconds(clock_.elapsed())).count();
    std::lock_guard lock(mutex_);
    // Flushed at once: a line that cannot be written is known before the
    // frame goes out.
    const bool written = std::fprintf(file_.get(), "%.3f %s %s %s%s\n", seconds, board.c_str(),
                                      direction == FrameDirection::Sent ? "out" : "in", hex.c_str(),
                                      stray ? " stray" : "") > 0 &&
                         std::fflush(file_.get()) == 0;
    if (!written) {
        error = std::strerror(errno);
        std::clearerr(file_.get());
    }
    return written;
}
