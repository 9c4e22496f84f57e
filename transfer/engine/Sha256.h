// SHA-256 of a stream of bytes, as the update history records it for every
// file sent. It runs over every byte of every image, so it uses the
// processor's SHA instructions where it has them (through libcrypto), about
// twenty times faster than a portable implementation.
#pragma once

#include <cstddef>
#include <string>

struct evp_md_ctx_st;

class TSha256 {
public:
    TSha256();
    ~TSha256();
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;

    void Add(const unsigned char* bytes, std::size_t count);
    // The digest of everything added so far, in lower-case hexadecimal.
    std::string Hex() const;

private:
    evp_md_ctx_st* context_;
};
