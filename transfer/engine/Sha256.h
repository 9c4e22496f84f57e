// SHA-256 of a stream of bytes, as the update history records it for every
// file sent. It runs over every byte of every image, so on Linux it uses the
// processor's SHA instructions where it has them (through libcrypto), about
// twenty times faster than a portable implementation; on Windows, Qt's.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class TSha256 {
public:
    TSha256();
    ~TSha256();
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;

    void Add(const unsigned char* bytes, std::size_t count);
    // The digest of everything added so far, in lower-case hexadecimal.
    std::string Hex() const;

    struct Context;

private:
    std::unique_ptr<Context> context_;
};
