// MD5 message digest (RFC 1321), written here: incremental hashing of byte
// streams and the 32-character lowercase hexadecimal form of a digest.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lmx::md5 {

constexpr size_t kDigestSize = 16;
constexpr size_t kHexSize = 2 * kDigestSize;

struct Context {
    std::uint32_t state[4];
    std::uint64_t length;   // bytes hashed so far
    unsigned char pending[64];  // the start of an incomplete block
};

void init(Context& c);

// Hashes `length` more bytes. Whole blocks are hashed straight from `data`;
// only a remainder of less than 64 bytes is copied.
void update(Context& c, const void* data, size_t length);

// Pads, hashes the bit length and writes the digest; the context is spent.
void finish(Context& c, unsigned char digest[kDigestSize]);

// Writes the digest as lowercase hexadecimal (no terminator).
void to_hex(const unsigned char digest[kDigestSize], char hex[kHexSize]);

}  // namespace lmx::md5
