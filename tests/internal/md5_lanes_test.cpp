// The four-lane MD5 engine against the scalar engine (itself held against
// OpenSSL or the tests' reference MD5) and against the MD5 oracle directly:
// single compressions from arbitrary chaining values, whole messages of
// every length class around the padding, lanes that differ or agree, bit
// flips that must reach exactly one lane, unaligned input, and which
// implementation the build compiled.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "md5/md5.h"
#include "md5/md5_lanes.h"
#include "reference.h"
#include "support.h"

namespace {

using kt::Bytes;
using Digests = std::uint8_t[kMd5Lanes][16];

std::string hex(const std::uint8_t digest[16]) { return kref::hex_lower(digest, 16); }

std::string scalar_md5(const std::uint8_t *data, std::size_t n) {
    std::uint8_t digest[16];
    kel_md5(data, n, digest);
    return hex(digest);
}

// md5_x4 over four equally long messages, the digests as hex.
std::array<std::string, kMd5Lanes> lanes_md5(const std::array<Bytes, kMd5Lanes> &m) {
    const std::uint8_t *p[kMd5Lanes];
    for (int l = 0; l < kMd5Lanes; ++l) p[l] = m[static_cast<std::size_t>(l)].data();
    Digests d;
    md5_x4(p, m[0].size(), d);
    std::array<std::string, kMd5Lanes> out;
    for (int l = 0; l < kMd5Lanes; ++l) out[static_cast<std::size_t>(l)] = hex(d[l]);
    return out;
}

// Every lane's digest equals the scalar engine's over the same bytes.
void expect_lanes_match_scalar(const std::array<Bytes, kMd5Lanes> &m) {
    const auto got = lanes_md5(m);
    for (std::size_t l = 0; l < kMd5Lanes; ++l)
        EXPECT_EQ(got[l], scalar_md5(m[l].data(), m[l].size())) << "lane " << l;
}

// The path the build is expected to have compiled, from the target's own
// predefined macros: x86-64 always has SSE2, 32-bit x86 only when the
// compiler is told to use it, little-endian AArch64 always has NEON;
// everything else (s390x, big-endian AArch64, ...) runs the scalar engine.
const char *expected_path() {
#if defined(__x86_64__) || defined(_M_X64)
    return "sse2";
#elif defined(__i386__) || defined(_M_IX86)
#  if defined(__SSE2__) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
    return "sse2";
#  else
    return "scalar";
#  endif
#elif defined(__aarch64__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return "neon";
#else
    return "scalar";
#endif
}

TEST(Md5Lanes, CompiledPathIsTheTargetsOwn) {
    std::printf("md5 lanes path: %s\n", kMd5LanesPath);
    EXPECT_STREQ(kMd5LanesPath, expected_path());
}

// One compression per lane from random chaining values (not just RFC
// 1321's initial ones) equals md5_block on each lane alone. Blocks are
// random, all zero, all 0xFF, and mixed across the lanes.
TEST(Md5Lanes, BlockCompressionMatchesScalarFromAnyState) {
    std::mt19937_64 rng(2024);
    const Bytes zeros(64, 0x00), ones(64, 0xFF);
    for (int round = 0; round < 2000; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::uint32_t state[kMd5Lanes][4];
        std::uint32_t want[kMd5Lanes][4];
        Bytes blocks[kMd5Lanes];
        const std::uint8_t *p[kMd5Lanes];
        for (int l = 0; l < kMd5Lanes; ++l) {
            for (auto &w : state[l]) w = static_cast<std::uint32_t>(rng());
            switch ((round >> (2 * l)) % 4) {
                case 0: blocks[l] = zeros; break;
                case 1: blocks[l] = ones; break;
                default: blocks[l] = kref::random_bytes(64, rng()); break;
            }
            p[l] = blocks[l].data();
            std::memcpy(want[l], state[l], sizeof want[l]);
            md5_block(want[l], p[l]);
        }
        md5_block_x4(state, p);
        for (int l = 0; l < kMd5Lanes; ++l)
            for (int w = 0; w < 4; ++w)
                ASSERT_EQ(state[l][w], want[l][w]) << "lane " << l << " word " << w;
    }
}

// Whole messages of one length in all lanes, for lengths on both sides of
// every padding boundary and up to past the Shooter block, with contents
// of several kinds. Each lane is compared with the scalar engine and, for
// the random kind, with the oracle as well.
TEST(Md5Lanes, MessagesMatchScalarAndOracle) {
    const std::size_t lengths[] = {0,   1,   3,   55,  56,  57,  63,   64,   65,   119,
                                   120, 127, 128, 129, 183, 184, 1000, 4095, 4096, 4097,
                                   4151, 4152, 8192, 65536 + 17};
    enum Kind { random_each, identical, all_zero, all_ff, byte_per_lane };
    for (const std::size_t n : lengths) {
        for (const Kind kind : {random_each, identical, all_zero, all_ff, byte_per_lane}) {
            SCOPED_TRACE("length " + std::to_string(n) + " kind " + std::to_string(kind));
            std::array<Bytes, kMd5Lanes> m;
            for (std::size_t l = 0; l < kMd5Lanes; ++l) {
                switch (kind) {
                    case random_each: m[l] = kref::random_bytes(n, 1000 * n + l); break;
                    case identical: m[l] = kref::random_bytes(n, 77 + n); break;
                    case all_zero: m[l] = Bytes(n, 0x00); break;
                    case all_ff: m[l] = Bytes(n, 0xFF); break;
                    case byte_per_lane: m[l] = Bytes(n, static_cast<std::uint8_t>(0x11 * (l + 1))); break;
                }
            }
            expect_lanes_match_scalar(m);
            const auto got = lanes_md5(m);
            if (kind == random_each) {
                for (std::size_t l = 0; l < kMd5Lanes; ++l)
                    EXPECT_EQ(got[l], kref::oracle_md5(m[l])) << "lane " << l;
            }
            if (kind == identical) {
                for (std::size_t l = 1; l < kMd5Lanes; ++l) EXPECT_EQ(got[l], got[0]);
            }
        }
    }
}

// A single flipped bit in one lane changes that lane's digest, to what the
// scalar engine gives for the flipped bytes, and leaves the other lanes
// alone: the lanes neither swap nor leak into each other, and every byte
// position of a block reaches its own lane's message word. The flips cover
// every byte of the first and of the last 64-byte block of a 4096-byte
// message, with a bit that moves through all eight positions.
TEST(Md5Lanes, BitFlipReachesOnlyItsLane) {
    constexpr std::size_t kLen = 4096;
    const Bytes base = kref::random_bytes(kLen, 31337);
    const std::string base_digest = scalar_md5(base.data(), kLen);
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < 64; ++i) {
        positions.push_back(i);
        positions.push_back(kLen - 64 + i);
    }
    for (int lane = 0; lane < kMd5Lanes; ++lane) {
        for (const std::size_t pos : positions) {
            SCOPED_TRACE("lane " + std::to_string(lane) + " byte " + std::to_string(pos));
            std::array<Bytes, kMd5Lanes> m = {base, base, base, base};
            auto &flipped = m[static_cast<std::size_t>(lane)];
            flipped[pos] = static_cast<std::uint8_t>(flipped[pos] ^ (1u << ((pos + static_cast<std::size_t>(lane)) % 8)));
            const auto got = lanes_md5(m);
            for (std::size_t l = 0; l < kMd5Lanes; ++l) {
                if (static_cast<int>(l) == lane) {
                    ASSERT_NE(got[l], base_digest);
                    ASSERT_EQ(got[l], scalar_md5(flipped.data(), kLen));
                } else {
                    ASSERT_EQ(got[l], base_digest) << "lane " << l;
                }
            }
        }
    }
}

// Random messages at every byte offset 0 to 15 of their buffers, each lane
// at a different one: the loads must not depend on alignment.
TEST(Md5Lanes, UnalignedMessages) {
    constexpr std::size_t kLen = 4096 + 23;
    std::vector<Bytes> storage;
    for (int l = 0; l < kMd5Lanes; ++l) storage.push_back(kref::random_bytes(kLen + 16, 500 + static_cast<std::uint64_t>(l)));
    for (std::size_t shift = 0; shift < 16; ++shift) {
        SCOPED_TRACE("shift " + std::to_string(shift));
        const std::uint8_t *p[kMd5Lanes];
        for (std::size_t l = 0; l < kMd5Lanes; ++l) p[l] = storage[l].data() + (shift + 5 * l) % 16;
        Digests d;
        md5_x4(p, kLen, d);
        for (int l = 0; l < kMd5Lanes; ++l)
            EXPECT_EQ(hex(d[l]), scalar_md5(p[l], kLen)) << "lane " << l;
    }
}

// A length of 0 reads no message byte: each pointer is one past the end of
// a heap block, so any read is an overflow that AddressSanitizer reports.
TEST(Md5Lanes, ZeroLengthReadsNothing) {
    std::unique_ptr<std::uint8_t[]> blocks[kMd5Lanes];
    const std::uint8_t *p[kMd5Lanes];
    for (int l = 0; l < kMd5Lanes; ++l) {
        blocks[l] = std::make_unique<std::uint8_t[]>(1);
        p[l] = blocks[l].get() + 1;
    }
    Digests d;
    md5_x4(p, 0, d);
    for (int l = 0; l < kMd5Lanes; ++l) EXPECT_EQ(hex(d[l]), "d41d8cd98f00b204e9800998ecf8427e");
}

// Random lengths and contents, many of them, against the scalar engine.
TEST(Md5Lanes, RandomMessagesMatchScalar) {
    std::mt19937_64 rng(99);
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = static_cast<std::size_t>(rng() % 5000);
        SCOPED_TRACE("length " + std::to_string(n));
        std::array<Bytes, kMd5Lanes> m;
        for (auto &b : m) b = kref::random_bytes(n, rng());
        expect_lanes_match_scalar(m);
    }
}

}  // namespace
