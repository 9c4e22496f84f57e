#include "transfer/engine/FileOfBytes.h"

#include <algorithm>

EFileChanged::EFileChanged(const std::string& path)
    : std::runtime_error("The file '" + path + "' changed while it was sent; the board's copy is incomplete.")
{
}

TFileOfBytes::TFileOfBytes(const std::string& path) : path_(path)
{
    Open();
}

TFileOfBytes::~TFileOfBytes()
{
    Close();
}

std::size_t TFileOfBytes::Read(unsigned char* buffer, std::size_t capacity)
{
    HashRead();
    std::size_t total = 0;
    while (total < capacity) {
        const std::size_t n = ReadOnce(buffer + total, capacity - total);
        if (n == 0)
            break;
        total += n;
    }
    unhashed_ = buffer;
    unhashedLength_ = total;
    return total;
}

void TFileOfBytes::HashRead()
{
    if (unhashedLength_ == 0)
        return;
    hash_.Add(unhashed_, unhashedLength_);
    unhashedLength_ = 0;
}

std::size_t TFileOfBytes::ReadOnce(unsigned char* buffer, std::size_t wanted)
{
    if (aheadStart_ == aheadEnd_) {
        aheadStart_ = 0;
        aheadEnd_ = ReadAhead();
    }
    const std::size_t taken = std::min(wanted, aheadEnd_ - aheadStart_);
    std::copy_n(ahead_.begin() + static_cast<std::ptrdiff_t>(aheadStart_), taken, buffer);
    aheadStart_ += taken;
    return taken;
}

std::size_t TFileOfBytes::ReadAhead()
{
    const std::int64_t left = opened_.size - consumed_;
    if (left == 0) {
        CheckEnd();
        return 0;
    }
    if (consumed_ >= nextCheck_) {
        CheckUnchanged();
        nextCheck_ = consumed_ + CheckInterval;
    }
    ahead_.resize(ReadAheadSize);
    const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(left, ReadAheadSize));
    const std::size_t n = ReadNext(ahead_.data(), wanted);
    // The file ends before the size announced to the board.
    if (n == 0)
        throw EFileChanged(path_);
    consumed_ += static_cast<std::int64_t>(n);
    return n;
}

void TFileOfBytes::CheckEnd()
{
    if (endChecked_)
        return;
    // A file that still has bytes where it ended when it was opened has grown
    // (or, like the kernel's own files, never told its size): the board
    // would not get all of it.
    if (HasByteAt(opened_.size))
        throw EFileChanged(path_);
    endChecked_ = true;
}

void TFileOfBytes::CheckUnchanged() const
{
    if (Stamp() != opened_)
        throw EFileChanged(path_);
}

std::string TFileOfBytes::Sha256()
{
    HashRead();
    return hash_.Hex();
}
