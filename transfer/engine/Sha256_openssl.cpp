#include "transfer/engine/Sha256.h"

#include <openssl/evp.h>

#include <array>
#include <new>
#include <stdexcept>

namespace {

constexpr char HexDigits[] = "0123456789abcdef";
constexpr unsigned NibbleBits = 4;
constexpr unsigned NibbleMask = 0x0F;

} // namespace

struct TSha256::Context {
    EVP_MD_CTX* digest;
};

TSha256::TSha256() : context_(std::make_unique<Context>(Context{EVP_MD_CTX_new()}))
{
    if (context_->digest == nullptr)
        throw std::bad_alloc();
    if (EVP_DigestInit_ex(context_->digest, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context_->digest);
        throw std::runtime_error("SHA-256 is not available");
    }
}

TSha256::~TSha256()
{
    EVP_MD_CTX_free(context_->digest);
}

void TSha256::Add(const unsigned char* bytes, std::size_t count)
{
    EVP_DigestUpdate(context_->digest, bytes, count);
}

std::string TSha256::Hex() const
{
    // The digest is taken from a copy, so that more can still be added.
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned length = 0;
    const bool made = copy != nullptr && EVP_MD_CTX_copy_ex(copy, context_->digest) == 1 &&
                      EVP_DigestFinal_ex(copy, digest.data(), &length) == 1;
    EVP_MD_CTX_free(copy);
    if (!made)
        throw std::runtime_error("SHA-256 could not be finished");
    std::string hex;
    for (unsigned k = 0; k < length; ++k) {
        hex += HexDigits[digest[k] >> NibbleBits];
        hex += HexDigits[digest[k] & NibbleMask];
    }
    return hex;
}
