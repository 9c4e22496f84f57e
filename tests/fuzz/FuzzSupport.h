// What the fuzz harnesses share: the check that stops a run on a broken
// invariant, and a reader that takes sizes, texts and pieces of bytes from the
// fuzzer's input. Each harness defines LLVMFuzzerTestOneInput.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

namespace fuzz {

inline constexpr int BitsPerByte = 8;

// Aborts, so that libFuzzer keeps the input that broke the invariant. Unlike
// assert() it stays in optimised builds.
[[noreturn]] inline void Fail(const char* condition, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}

// The bytes a fuzz input is made of, taken from the front. Reading past the
// end yields zeros and empty pieces, so that every input means something.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : rest_(data, size) {}

    bool Empty() const { return rest_.empty(); }

    std::uint8_t TakeByte()
    {
        if (rest_.empty())
            return 0;
        const std::uint8_t value = rest_.front();
        rest_ = rest_.subspan(1);
        return value;
    }

    // Little-endian, as the protocol's own numbers.
    std::uint16_t TakeWord()
    {
        const std::uint8_t low = TakeByte();
        return static_cast<std::uint16_t>(low | (TakeByte() << BitsPerByte));
    }

    // At most `count` bytes: fewer when the input ends first.
    std::span<const std::uint8_t> TakeBytes(std::size_t count)
    {
        const std::span<const std::uint8_t> piece = rest_.first(std::min(count, rest_.size()));
        rest_ = rest_.subspan(piece.size());
        return piece;
    }

    // The text up to `terminator` (which is consumed) or to the end.
    std::string TakeText(char terminator)
    {
        const auto end = std::find(rest_.begin(), rest_.end(), static_cast<std::uint8_t>(terminator));
        std::string text(rest_.begin(), end);
        rest_ = rest_.subspan(std::min(text.size() + 1, rest_.size()));
        return text;
    }

    std::span<const std::uint8_t> TakeRest() { return TakeBytes(rest_.size()); }

private:
    std::span<const std::uint8_t> rest_;
};

// Little-endian numbers inside a piece of bytes; 0 for bytes it does not have.
inline std::uint32_t NumberAt(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t size)
{
    std::uint32_t value = 0;
    for (std::size_t k = size; k-- > 0;)
        value = (value << BitsPerByte) | (offset + k < bytes.size() ? bytes[offset + k] : 0U);
    return value;
}

inline std::uint16_t WordAt(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(NumberAt(bytes, offset, sizeof(std::uint16_t)));
}

inline std::uint32_t LongAt(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return NumberAt(bytes, offset, sizeof(std::uint32_t));
}

} // namespace fuzz

#define FUZZ_CHECK(condition) ((condition) ? void(0) : ::fuzz::Fail(#condition, __FILE__, __LINE__))
