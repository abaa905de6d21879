#include "md5/md5.h"

#include <cstring>

#include "md5/md5_constants.h"

namespace {


inline std::uint32_t rotl(std::uint32_t x, std::uint32_t s) { return (x << s) | (x >> (32 - s)); }

inline std::uint32_t load_le32(const std::uint8_t *p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Hands back v unchanged, but clang may no longer reassociate the sum that
// produced it with what follows: left alone, it folds a + K + word into the
// round function's result, which puts three additions on the serial chain
// instead of one. GCC keeps the order as written.
inline std::uint32_t early(std::uint32_t v) {
#if defined(__clang__)
    __asm__("" : "+r"(v));
#endif
    return v;
}

// Feeds bytes through the context's block, compressing each full block.
inline void absorb(kel_md5_ctx *ctx, const std::uint8_t *data, std::uint64_t len) {
    while (len > 0) {
        const std::uint64_t room = 64 - ctx->block_len;
        const std::uint64_t share = len < room ? len : room;
        std::memcpy(ctx->block + ctx->block_len, data, static_cast<std::size_t>(share));
        ctx->block_len += share;
        data += share;
        len -= share;
        if (ctx->block_len == 64) {
            md5_block(ctx->state, ctx->block);
            ctx->block_len = 0;
        }
    }
}

}  // namespace

void md5_block(std::uint32_t state[4], const std::uint8_t block[64]) {
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

    // One loop over the 64 steps. Fully unrolled by the compiler, every
    // index into R and K and every message offset becomes a constant. In
    // each step the part that does not wait for the previous step's b
    // (a + K + word, and whatever of the round function uses only c and d)
    // is summed first, so the serial chain through b stays as short as the
    // round allows.
#if defined(__clang__)
#pragma clang loop unroll(full)
#elif defined(__GNUC__)
#pragma GCC unroll 64
#endif
    for (int i = 0; i < 64; ++i) {
        // Each word is composed from its bytes where a step needs it: a
        // load from L1 off the critical path, independent of byte order.
        std::uint32_t t;
        if (i < 16) {
            t = early(a + kMd5Sine[i] + load_le32(block + 4 * i));
            t += d ^ (b & (c ^ d));
        } else if (i < 32) {
            // G = (b & d) | (c & ~d); the two terms share no bits, so the
            // OR is an addition and the c-d half joins the early sum.
            t = early(a + kMd5Sine[i] + load_le32(block + 4 * ((5 * i + 1) & 15)) + (c & ~d));
            t += b & d;
        } else if (i < 48) {
            t = early(a + kMd5Sine[i] + load_le32(block + 4 * ((3 * i + 5) & 15)));
            t += b ^ (c ^ d);
        } else {
            t = early(a + kMd5Sine[i] + load_le32(block + 4 * ((7 * i) & 15)));
            t += c ^ (b | ~d);
        }
        const std::uint32_t nb = b + rotl(t, kMd5Rotation[i]);
        a = d;
        d = c;
        c = b;
        b = nb;
    }

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void kel_md5_init(kel_md5_ctx *ctx) {
    std::memcpy(ctx->state, kMd5Initial, sizeof kMd5Initial);
    ctx->total_len = 0;
    ctx->block_len = 0;
}

void kel_md5_update(kel_md5_ctx *ctx, const std::uint8_t *data, std::uint64_t len) {
    ctx->total_len += len;
    absorb(ctx, data, len);
}

void kel_md5_final(kel_md5_ctx *ctx, std::uint8_t digest[16]) {
    const std::uint64_t bits = ctx->total_len * 8;
    const std::uint8_t one = 0x80;
    const std::uint8_t zero = 0x00;
    kel_md5_update(ctx, &one, 1);
    while (ctx->block_len != 56) kel_md5_update(ctx, &zero, 1);
    for (int i = 0; i < 8; ++i) ctx->block[56 + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    md5_block(ctx->state, ctx->block);
    ctx->block_len = 0;
    for (int w = 0; w < 4; ++w)
        for (int i = 0; i < 4; ++i)
            digest[4 * w + i] = static_cast<std::uint8_t>(ctx->state[w] >> (8 * i));
}

void kel_md5(const std::uint8_t *data, std::uint64_t len, std::uint8_t digest[16]) {
    kel_md5_ctx ctx;
    kel_md5_init(&ctx);
    ctx.total_len = len;
    absorb(&ctx, data, len);
    kel_md5_final(&ctx, digest);
}
