#include "runtime/system/md5.h"

#include <cstring>

namespace lmx::md5 {
namespace {

inline std::uint32_t rotate_left(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline std::uint32_t load_le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void store_le32(unsigned char* p, std::uint32_t x) {
    p[0] = static_cast<unsigned char>(x);
    p[1] = static_cast<unsigned char>(x >> 8);
    p[2] = static_cast<unsigned char>(x >> 16);
    p[3] = static_cast<unsigned char>(x >> 24);
}

// The auxiliary functions F, H and I (F in a form with one operation fewer,
// equal to the published one bit for bit). G is written into its step.
inline std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return z ^ (x & (y ^ z)); }
inline std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ y ^ z; }
inline std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return y ^ (x | ~z); }

#define MD5_STEP(f, a, b, c, d, word, constant, shift)               \
    a += f(b, c, d) + (word) + static_cast<std::uint32_t>(constant); \
    a = rotate_left(a, shift) + b

// G(b, c, d) = (b & d) | (c & ~d): the halves share no bit, so they are
// added one by one, and the half without b (the value computed last) is
// summed while b is still being computed.
#define MD5_STEP_G(a, b, c, d, word, constant, shift)               \
    a += (c & ~d) + (word) + static_cast<std::uint32_t>(constant); \
    a += b & d;                                                     \
    a = rotate_left(a, shift) + b

// Hashes `blocks` consecutive 64-byte blocks into the state.
void transform(std::uint32_t state[4], const unsigned char* data, size_t blocks) {
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; blocks > 0; --blocks, data += 64) {
        std::uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = load_le32(data + 4 * i);
        const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        MD5_STEP(F, a, b, c, d, x[0], 0xd76aa478, 7);
        MD5_STEP(F, d, a, b, c, x[1], 0xe8c7b756, 12);
        MD5_STEP(F, c, d, a, b, x[2], 0x242070db, 17);
        MD5_STEP(F, b, c, d, a, x[3], 0xc1bdceee, 22);
        MD5_STEP(F, a, b, c, d, x[4], 0xf57c0faf, 7);
        MD5_STEP(F, d, a, b, c, x[5], 0x4787c62a, 12);
        MD5_STEP(F, c, d, a, b, x[6], 0xa8304613, 17);
        MD5_STEP(F, b, c, d, a, x[7], 0xfd469501, 22);
        MD5_STEP(F, a, b, c, d, x[8], 0x698098d8, 7);
        MD5_STEP(F, d, a, b, c, x[9], 0x8b44f7af, 12);
        MD5_STEP(F, c, d, a, b, x[10], 0xffff5bb1, 17);
        MD5_STEP(F, b, c, d, a, x[11], 0x895cd7be, 22);
        MD5_STEP(F, a, b, c, d, x[12], 0x6b901122, 7);
        MD5_STEP(F, d, a, b, c, x[13], 0xfd987193, 12);
        MD5_STEP(F, c, d, a, b, x[14], 0xa679438e, 17);
        MD5_STEP(F, b, c, d, a, x[15], 0x49b40821, 22);

        MD5_STEP_G(a, b, c, d, x[1], 0xf61e2562, 5);
        MD5_STEP_G(d, a, b, c, x[6], 0xc040b340, 9);
        MD5_STEP_G(c, d, a, b, x[11], 0x265e5a51, 14);
        MD5_STEP_G(b, c, d, a, x[0], 0xe9b6c7aa, 20);
        MD5_STEP_G(a, b, c, d, x[5], 0xd62f105d, 5);
        MD5_STEP_G(d, a, b, c, x[10], 0x02441453, 9);
        MD5_STEP_G(c, d, a, b, x[15], 0xd8a1e681, 14);
        MD5_STEP_G(b, c, d, a, x[4], 0xe7d3fbc8, 20);
        MD5_STEP_G(a, b, c, d, x[9], 0x21e1cde6, 5);
        MD5_STEP_G(d, a, b, c, x[14], 0xc33707d6, 9);
        MD5_STEP_G(c, d, a, b, x[3], 0xf4d50d87, 14);
        MD5_STEP_G(b, c, d, a, x[8], 0x455a14ed, 20);
        MD5_STEP_G(a, b, c, d, x[13], 0xa9e3e905, 5);
        MD5_STEP_G(d, a, b, c, x[2], 0xfcefa3f8, 9);
        MD5_STEP_G(c, d, a, b, x[7], 0x676f02d9, 14);
        MD5_STEP_G(b, c, d, a, x[12], 0x8d2a4c8a, 20);

        MD5_STEP(H, a, b, c, d, x[5], 0xfffa3942, 4);
        MD5_STEP(H, d, a, b, c, x[8], 0x8771f681, 11);
        MD5_STEP(H, c, d, a, b, x[11], 0x6d9d6122, 16);
        MD5_STEP(H, b, c, d, a, x[14], 0xfde5380c, 23);
        MD5_STEP(H, a, b, c, d, x[1], 0xa4beea44, 4);
        MD5_STEP(H, d, a, b, c, x[4], 0x4bdecfa9, 11);
        MD5_STEP(H, c, d, a, b, x[7], 0xf6bb4b60, 16);
        MD5_STEP(H, b, c, d, a, x[10], 0xbebfbc70, 23);
        MD5_STEP(H, a, b, c, d, x[13], 0x289b7ec6, 4);
        MD5_STEP(H, d, a, b, c, x[0], 0xeaa127fa, 11);
        MD5_STEP(H, c, d, a, b, x[3], 0xd4ef3085, 16);
        MD5_STEP(H, b, c, d, a, x[6], 0x04881d05, 23);
        MD5_STEP(H, a, b, c, d, x[9], 0xd9d4d039, 4);
        MD5_STEP(H, d, a, b, c, x[12], 0xe6db99e5, 11);
        MD5_STEP(H, c, d, a, b, x[15], 0x1fa27cf8, 16);
        MD5_STEP(H, b, c, d, a, x[2], 0xc4ac5665, 23);

        MD5_STEP(I, a, b, c, d, x[0], 0xf4292244, 6);
        MD5_STEP(I, d, a, b, c, x[7], 0x432aff97, 10);
        MD5_STEP(I, c, d, a, b, x[14], 0xab9423a7, 15);
        MD5_STEP(I, b, c, d, a, x[5], 0xfc93a039, 21);
        MD5_STEP(I, a, b, c, d, x[12], 0x655b59c3, 6);
        MD5_STEP(I, d, a, b, c, x[3], 0x8f0ccc92, 10);
        MD5_STEP(I, c, d, a, b, x[10], 0xffeff47d, 15);
        MD5_STEP(I, b, c, d, a, x[1], 0x85845dd1, 21);
        MD5_STEP(I, a, b, c, d, x[8], 0x6fa87e4f, 6);
        MD5_STEP(I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
        MD5_STEP(I, c, d, a, b, x[6], 0xa3014314, 15);
        MD5_STEP(I, b, c, d, a, x[13], 0x4e0811a1, 21);
        MD5_STEP(I, a, b, c, d, x[4], 0xf7537e82, 6);
        MD5_STEP(I, d, a, b, c, x[11], 0xbd3af235, 10);
        MD5_STEP(I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
        MD5_STEP(I, b, c, d, a, x[9], 0xeb86d391, 21);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef MD5_STEP
#undef MD5_STEP_G

}  // namespace

void init(Context& c) {
    c.state[0] = 0x67452301;
    c.state[1] = 0xefcdab89;
    c.state[2] = 0x98badcfe;
    c.state[3] = 0x10325476;
    c.length = 0;
}

void update(Context& c, const void* data, size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t have = static_cast<size_t>(c.length % 64);
    c.length += length;
    if (have > 0) {
        const size_t take = length < 64 - have ? length : 64 - have;
        std::memcpy(c.pending + have, bytes, take);
        bytes += take;
        length -= take;
        have += take;
        if (have < 64) return;
        transform(c.state, c.pending, 1);
    }
    transform(c.state, bytes, length / 64);
    std::memcpy(c.pending, bytes + length / 64 * 64, length % 64);
}

void finish(Context& c, unsigned char digest[kDigestSize]) {
    const std::uint64_t bits = c.length * 8;
    unsigned char padding[64] = {0x80};
    const size_t have = static_cast<size_t>(c.length % 64);
    update(c, padding, have < 56 ? 56 - have : 120 - have);
    unsigned char length_block[8];
    store_le32(length_block, static_cast<std::uint32_t>(bits));
    store_le32(length_block + 4, static_cast<std::uint32_t>(bits >> 32));
    update(c, length_block, sizeof length_block);
    for (int i = 0; i < 4; ++i) store_le32(digest + 4 * i, c.state[i]);
}

void to_hex(const unsigned char digest[kDigestSize], char hex[kHexSize]) {
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < kDigestSize; ++i) {
        hex[2 * i] = kDigits[digest[i] >> 4];
        hex[2 * i + 1] = kDigits[digest[i] & 15];
    }
}

}  // namespace lmx::md5
