// The streaming MD5 engine: RFC 1321's own test suite, the padding
// boundaries, the context fields after finishing, piecewise feeding and
// unaligned input, with OpenSSL's MD5 (or, without it, the tests' own
// reference MD5) as the oracle for everything beyond the RFC.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "md5/md5.h"
#include "reference.h"
#include "support.h"

namespace {

using kt::Bytes;

std::string lower_hex(const std::uint8_t digest[16]) { return kref::hex_lower(digest, 16); }

std::string one_shot(const std::uint8_t *data, std::size_t n) {
    std::uint8_t digest[16];
    kel_md5(data, n, digest);
    return lower_hex(digest);
}

std::string one_shot(const Bytes &b) { return one_shot(b.data(), b.size()); }

// Feeds the message in pieces of the given sizes (the last piece takes what
// is left), through one context.
std::string streamed(const Bytes &b, const std::vector<std::size_t> &pieces) {
    kel_md5_ctx ctx;
    kel_md5_init(&ctx);
    std::size_t at = 0;
    for (const std::size_t want : pieces) {
        const std::size_t n = want < b.size() - at ? want : b.size() - at;
        kel_md5_update(&ctx, b.data() + at, n);
        at += n;
    }
    kel_md5_update(&ctx, b.data() + at, b.size() - at);
    std::uint8_t digest[16];
    kel_md5_final(&ctx, digest);
    return lower_hex(digest);
}

Bytes text(const char *s) { return Bytes(s, s + std::strlen(s)); }

// RFC 1321, appendix A.5.
TEST(Md5Engine, RfcTestSuiteOneShotAndStreamed) {
    const struct {
        const char *message;
        const char *digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890123456"
         "7890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        const Bytes m = text(c.message);
        EXPECT_EQ(one_shot(m), c.digest);
        EXPECT_EQ(streamed(m, {}), c.digest);                // one update
        EXPECT_EQ(streamed(m, std::vector<std::size_t>(m.size(), 1)), c.digest);  // byte by byte
        EXPECT_EQ(streamed(m, {0, 3, 0, 60, 0}), c.digest);  // across a block edge
        EXPECT_EQ(kref::plain_md5(m.data(), m.size()), c.digest);  // the tests' oracle
    }
}

// The tests' own reference MD5 stands in for OpenSSL in builds without it,
// so it must agree with OpenSSL wherever both exist: every length up to a
// few blocks, and longer random messages.
TEST(Md5Engine, ReferenceMd5AgreesWithOpenSsl) {
    KT_REQUIRE_OPENSSL();
    const Bytes data = kref::random_bytes(1 << 20, 77);
    for (std::size_t n = 0; n <= 300; ++n) {
        SCOPED_TRACE(n);
        ASSERT_EQ(kref::plain_md5(data.data(), n), kref::openssl_md5(data.data(), n));
    }
    for (const std::size_t n : {std::size_t{4095}, std::size_t{65537}, data.size()})
        EXPECT_EQ(kref::plain_md5(data.data(), n), kref::openssl_md5(data.data(), n)) << n;
}

TEST(Md5Engine, NoUpdateAtAllIsTheEmptyMessage) {
    kel_md5_ctx ctx;
    kel_md5_init(&ctx);
    std::uint8_t digest[16];
    kel_md5_final(&ctx, digest);
    EXPECT_EQ(lower_hex(digest), "d41d8cd98f00b204e9800998ecf8427e");
}

// A zero count must not touch the data: the pointer given is one past the
// end of a heap block, so any read is an overflow that ASan reports.
TEST(Md5Engine, ZeroCountReadsNothing) {
    auto block = std::make_unique<std::uint8_t[]>(1);
    const std::uint8_t *past_end = block.get() + 1;
    EXPECT_EQ(one_shot(past_end, 0), "d41d8cd98f00b204e9800998ecf8427e");

    kel_md5_ctx ctx;
    kel_md5_init(&ctx);
    kel_md5_update(&ctx, past_end, 0);
    EXPECT_EQ(ctx.total_len, 0u);
    EXPECT_EQ(ctx.block_len, 0u);
    std::uint8_t digest[16];
    kel_md5_final(&ctx, digest);
    EXPECT_EQ(lower_hex(digest), "d41d8cd98f00b204e9800998ecf8427e");
}

// Lengths around the places where the padding spills into a second block
// (56 bytes waiting) or just fits (55), and the same one block later.
TEST(Md5Engine, PaddingBoundariesAgreeWithOracle) {
    for (const std::size_t n : {0u, 1u, 54u, 55u, 56u, 57u, 63u, 64u, 65u, 118u, 119u, 120u,
                                121u, 127u, 128u, 129u, 183u, 184u}) {
        SCOPED_TRACE("length " + std::to_string(n));
        const Bytes m = kref::random_bytes(n, 100 + n);
        const std::string expected = kref::oracle_md5(m);
        EXPECT_EQ(one_shot(m), expected);
        EXPECT_EQ(streamed(m, {}), expected);
        EXPECT_EQ(streamed(m, std::vector<std::size_t>(n, 1)), expected);
    }
}

// After kel_md5_final, total_len counts the message and every padding byte
// fed through kel_md5_update (the 0x80 and the zeros up to position 56 of a
// block), but not the eight length bytes; block_len is back to 0. The
// padding is 1 to 64 bytes: 56 - (n mod 64) when that is positive, else 64
// more than that.
TEST(Md5Engine, ContextFieldsAfterFinal) {
    const struct {
        std::uint64_t message;
        std::uint64_t total_after;
    } cases[] = {
        {0, 56},    // 1 + 55
        {3, 56},    // 3 message bytes, 0x80 and 52 zeros: 53 padding bytes
        {55, 56},   // only the 0x80 fits before the length
        {56, 120},  // 64 padding bytes, an extra compression
        {63, 120},  {64, 120}, {119, 120}, {120, 184}, {128, 184},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.message));
        const Bytes m = kref::random_bytes(static_cast<std::size_t>(c.message), 7);
        kel_md5_ctx ctx;
        kel_md5_init(&ctx);
        kel_md5_update(&ctx, m.data(), m.size());
        EXPECT_EQ(ctx.total_len, c.message);
        EXPECT_EQ(ctx.block_len, c.message % 64);
        std::uint8_t digest[16];
        kel_md5_final(&ctx, digest);
        EXPECT_EQ(ctx.total_len, c.total_after);
        EXPECT_EQ(ctx.block_len, 0u);
        // The digest is A, B, C, D of the final state, each least
        // significant byte first: byte 0 is the low byte of A.
        for (int w = 0; w < 4; ++w)
            for (int i = 0; i < 4; ++i)
                EXPECT_EQ(digest[4 * w + i], static_cast<std::uint8_t>(ctx.state[w] >> (8 * i)))
                    << "word " << w << " byte " << i;
    }
}

TEST(Md5Engine, InitRestartsAFinishedContext) {
    kel_md5_ctx ctx;
    kel_md5_init(&ctx);
    const Bytes first = text("message digest");
    kel_md5_update(&ctx, first.data(), first.size());
    std::uint8_t digest[16];
    kel_md5_final(&ctx, digest);
    EXPECT_EQ(lower_hex(digest), "f96b697d7cb7938d525a2f31aaf161d0");

    kel_md5_init(&ctx);
    EXPECT_EQ(ctx.total_len, 0u);
    EXPECT_EQ(ctx.block_len, 0u);
    const Bytes second = text("abc");
    kel_md5_update(&ctx, second.data(), second.size());
    kel_md5_final(&ctx, digest);
    EXPECT_EQ(lower_hex(digest), "900150983cd24fb0d6963f7d28e17f72");
}

// The length field holds the bit count modulo 2^64 (RFC 1321, 3.2): a byte
// count of 2^61 + 3 gives the same 64-bit bit count as 3 bytes. The
// padding depends on block_len alone, so with "abc" waiting in the block
// the digest must be that of "abc".
TEST(Md5Engine, BitLengthIsTakenModulo2To64) {
    kel_md5_ctx ctx;
    kel_md5_init(&ctx);
    const Bytes m = text("abc");
    kel_md5_update(&ctx, m.data(), m.size());
    ctx.total_len += std::uint64_t{1} << 61;
    std::uint8_t digest[16];
    kel_md5_final(&ctx, digest);
    EXPECT_EQ(lower_hex(digest), "900150983cd24fb0d6963f7d28e17f72");
}

// md5_block alone, on the one padded block of a 55-byte message built by
// hand: the digest of the message is RFC 1321's initial state after this
// one compression. The block sits at every offset 0 to 7 of a buffer, so
// the word decoding must not depend on alignment.
TEST(Md5Engine, SingleBlockCompressionAtAnyAlignment) {
    const Bytes m = kref::random_bytes(55, 3);
    std::uint8_t padded[64];
    std::memcpy(padded, m.data(), 55);
    padded[55] = 0x80;
    const std::uint64_t bits = 55 * 8;
    for (int i = 0; i < 8; ++i) padded[56 + i] = static_cast<std::uint8_t>(bits >> (8 * i));

    const std::string expected = kref::oracle_md5(m);
    std::uint8_t storage[64 + 8];
    for (std::size_t offset = 0; offset < 8; ++offset) {
        SCOPED_TRACE("offset " + std::to_string(offset));
        std::memcpy(storage + offset, padded, 64);
        std::uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
        md5_block(state, storage + offset);
        std::uint8_t digest[16];
        for (int w = 0; w < 4; ++w)
            for (int i = 0; i < 4; ++i)
                digest[4 * w + i] = static_cast<std::uint8_t>(state[w] >> (8 * i));
        EXPECT_EQ(lower_hex(digest), expected);
    }
}

TEST(Md5Engine, UnalignedInputGivesTheSameDigest) {
    for (const std::size_t n : {1u, 63u, 64u, 65u, 200u, 4099u}) {
        const Bytes m = kref::random_bytes(n, 40 + n);
        const std::string expected = kref::oracle_md5(m);
        for (std::size_t offset = 1; offset < 8; ++offset) {
            SCOPED_TRACE("length " + std::to_string(n) + " offset " + std::to_string(offset));
            // An exactly sized heap block, so a read past the message's end
            // at any offset is caught by ASan.
            auto storage = std::make_unique<std::uint8_t[]>(n + offset);
            std::uint8_t *at = storage.get() + offset;
            std::memcpy(at, m.data(), n);
            EXPECT_EQ(one_shot(at, n), expected);

            // Two pieces, the second starting at yet another alignment.
            const std::size_t split = offset < n ? offset : n;
            kel_md5_ctx ctx;
            kel_md5_init(&ctx);
            kel_md5_update(&ctx, at, split);
            kel_md5_update(&ctx, at + split, n - split);
            std::uint8_t digest[16];
            kel_md5_final(&ctx, digest);
            EXPECT_EQ(lower_hex(digest), expected);
        }
    }
}

// Random messages fed in random pieces, zero-length pieces and pieces that
// straddle block edges included. Both the piecewise digest and the one-shot
// digest must equal the oracle's.
TEST(Md5Engine, RandomPiecesAgreeWithOneShotAndOracle) {
    std::mt19937_64 rng(2024);
    std::uniform_int_distribution<std::size_t> length(0, 4000);
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = round < 130 ? static_cast<std::size_t>(round) : length(rng);
        const Bytes m = kref::random_bytes(n, rng());
        std::vector<std::size_t> pieces;
        std::size_t planned = 0;
        while (planned < n) {
            std::size_t piece;
            switch (rng() % 5) {
                case 0: piece = 0; break;
                case 1: piece = 1; break;
                case 2: piece = 63 + static_cast<std::size_t>(rng() % 3); break;  // 63, 64, 65
                default: piece = static_cast<std::size_t>(rng() % 300); break;
            }
            pieces.push_back(piece);
            planned += piece;
        }
        SCOPED_TRACE("length " + std::to_string(n) + ", " + std::to_string(pieces.size()) +
                     " pieces");
        const std::string expected = kref::oracle_md5(m);
        EXPECT_EQ(one_shot(m), expected);
        EXPECT_EQ(streamed(m, pieces), expected);
    }
}

TEST(Md5Engine, MultiMebibyteMessages) {
    for (const std::size_t n : {std::size_t{1} << 20, (std::size_t{3} << 20) + 17}) {
        SCOPED_TRACE("length " + std::to_string(n));
        const Bytes m = kref::random_bytes(n, n);
        const std::string expected = kref::oracle_md5(m);
        EXPECT_EQ(one_shot(m), expected);
        EXPECT_EQ(streamed(m, {65536, 1, 65535, 100000, 0, 7}), expected);
    }
}

}  // namespace
