// Four independent MD5 streams compressed side by side, one stream per
// 32-bit lane of a 128-bit vector: SSE2 on x86 (always there on x86-64),
// NEON on little-endian AArch64, and elsewhere the scalar engine once per
// stream. The implementation is chosen when the library is compiled; there
// is no detection at run time and nothing runs at load time. Every path
// gives exactly the digests of the scalar engine in md5.h, on any byte
// order. Internal, like the scalar engine: nothing here fails or is
// exported.
#pragma once

#include <cstdint>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#  define KELHASH_MD5_LANES_SSE2 1
#elif (defined(__aarch64__) && !defined(__AARCH64EB__)) || defined(_M_ARM64)
#  define KELHASH_MD5_LANES_NEON 1
#else
#  define KELHASH_MD5_LANES_SCALAR 1
#endif

// The number of streams run at once.
constexpr int kMd5Lanes = 4;

// The implementation this build compiled: "sse2", "neon" or "scalar".
constexpr const char *kMd5LanesPath =
#if defined(KELHASH_MD5_LANES_SSE2)
    "sse2";
#elif defined(KELHASH_MD5_LANES_NEON)
    "neon";
#else
    "scalar";
#endif

// Compresses one 64-byte block per stream: blocks[lane] into the chaining
// values state[lane][0..3] (A, B, C, D), as md5_block does for one stream.
void md5_block_x4(std::uint32_t state[kMd5Lanes][4], const std::uint8_t *const blocks[kMd5Lanes]);

// The MD5 digests of four messages of the same length: messages[lane] holds
// len bytes (any alignment) and digests[lane] receives its 16-byte digest.
// With a len of 0 no message byte is read.
void md5_x4(const std::uint8_t *const messages[kMd5Lanes], std::uint64_t len,
            std::uint8_t digests[kMd5Lanes][16]);
