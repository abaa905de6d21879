// A second, deliberately plain MD5, written from RFC 1321's description
// rather than from the library: the message is padded into a copy first,
// the sine table is computed at start-up from its definition
// (floor(|sin(i + 1)| * 2^32)), and each step picks its function and word
// index by the round's formula. It serves as the oracle where OpenSSL is
// not available (the cross builds); where it is, a test checks the two
// agree.
#include <array>
#include <cmath>
#include <stdexcept>

#include "reference.h"

#if defined(KELHASH_REFERENCE_HAVE_OPENSSL)
#include <openssl/evp.h>
#endif

namespace kref {
namespace {

std::uint32_t rotl(std::uint32_t x, unsigned s) { return (x << s) | (x >> (32 - s)); }

std::array<std::uint32_t, 64> sine_table() {
    std::array<std::uint32_t, 64> t{};
    for (std::size_t i = 0; i < 64; ++i)
        t[i] = static_cast<std::uint32_t>(std::floor(std::fabs(std::sin(static_cast<double>(i + 1))) *
                                                     4294967296.0));
    return t;
}

}  // namespace

std::string plain_md5(const std::uint8_t *data, std::size_t n) {
    static const std::array<std::uint32_t, 64> T = sine_table();
    static const unsigned S[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

    Bytes msg(data, data + n);
    msg.push_back(0x80);
    while (msg.size() % 64 != 56) msg.push_back(0);
    const std::uint64_t bits = static_cast<std::uint64_t>(n) * 8;
    for (unsigned i = 0; i < 8; ++i) msg.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));

    std::uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    for (std::size_t off = 0; off < msg.size(); off += 64) {
        std::uint32_t x[16];
        for (unsigned j = 0; j < 16; ++j) {
            const std::uint8_t *p = &msg[off + 4 * j];
            x[j] = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                   std::uint32_t{p[3]} << 24;
        }
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (unsigned i = 0; i < 64; ++i) {
            const unsigned round = i / 16;
            std::uint32_t f;
            unsigned k;
            switch (round) {
                case 0: f = (b & c) | (~b & d); k = i; break;
                case 1: f = (d & b) | (~d & c); k = (5 * i + 1) % 16; break;
                case 2: f = b ^ c ^ d; k = (3 * i + 5) % 16; break;
                default: f = c ^ (b | ~d); k = (7 * i) % 16; break;
            }
            const std::uint32_t next = b + rotl(a + f + x[k] + T[i], S[round][i % 4]);
            a = d;
            d = c;
            c = b;
            b = next;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
    }

    std::uint8_t digest[16];
    for (unsigned j = 0; j < 16; ++j) digest[j] = static_cast<std::uint8_t>(h[j / 4] >> (8 * (j % 4)));
    return hex_lower(digest, sizeof digest);
}

bool have_openssl() {
#if defined(KELHASH_REFERENCE_HAVE_OPENSSL)
    return true;
#else
    return false;
#endif
}

std::string openssl_md5(const std::uint8_t *data, std::size_t n) {
#if defined(KELHASH_REFERENCE_HAVE_OPENSSL)
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    static const std::uint8_t kNothing[1] = {0};
    if (EVP_Digest(data != nullptr ? data : kNothing, n, digest, &len, EVP_md5(), nullptr) != 1)
        throw std::runtime_error("EVP_Digest failed");
    return hex_lower(digest, len);
#else
    (void)data;
    (void)n;
    return "";
#endif
}

std::string oracle_md5(const std::uint8_t *data, std::size_t n) {
    return have_openssl() ? openssl_md5(data, n) : plain_md5(data, n);
}

std::string oracle_md5(const Bytes &bytes) { return oracle_md5(bytes.data(), bytes.size()); }

const char *oracle_md5_name() { return have_openssl() ? "OpenSSL's MD5" : "the plain RFC 1321 MD5"; }

}  // namespace kref
