#include "md5/md5_lanes.h"

#include <cstddef>
#include <cstring>
#include <utility>

#include "md5/md5.h"
#include "md5/md5_constants.h"

#if defined(KELHASH_MD5_LANES_SSE2)
#  include <emmintrin.h>
#elif defined(KELHASH_MD5_LANES_NEON)
#  include <arm_neon.h>
#endif

#if defined(__GNUC__)
#  define KELHASH_LANES_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#  define KELHASH_LANES_INLINE __forceinline
#else
#  define KELHASH_LANES_INLINE inline
#endif

namespace {

constexpr std::size_t kBlockBytes = 64;
constexpr std::size_t kLengthField = 8;  // the message length in bits, at the block's end
constexpr std::size_t kLengthAt = kBlockBytes - kLengthField;

#if !defined(KELHASH_MD5_LANES_SCALAR)

// The message word that step i adds, and its round (0 F, 1 G, 2 H, 3 I).
constexpr int word_of(int i) {
    return i < 16 ? i : i < 32 ? (5 * i + 1) & 15 : i < 48 ? (3 * i + 5) & 15 : (7 * i) & 15;
}

// Each instruction set supplies a vector of four 32-bit lanes and the few
// operations the steps need. Every round function adds its value to t,
// which already holds a + K + word: what does not depend on b goes in
// first, so that the chain from one step's b to the next stays short.
// early() hands its vector back unchanged, but the compiler can no longer
// reassociate the sum that made it with what follows: GCC and clang would
// otherwise add K to the round function's result, an addition more on the
// serial chain of every step.
#if defined(KELHASH_MD5_LANES_SSE2)

struct Ops {
    using V = __m128i;

    static KELHASH_LANES_INLINE V add(V x, V y) { return _mm_add_epi32(x, y); }
    static KELHASH_LANES_INLINE V early(V v) {
#if defined(__GNUC__)
        __asm__("" : "+x"(v));
#endif
        return v;
    }
    static KELHASH_LANES_INLINE V splat(std::uint32_t k) {
        return _mm_set1_epi32(static_cast<int>(k));
    }
    // SSE2 has no rotation: a pair of shifts joined by an OR.
    template <int S>
    static KELHASH_LANES_INLINE V rotl(V x) {
        return _mm_or_si128(_mm_slli_epi32(x, S), _mm_srli_epi32(x, 32 - S));
    }
    template <int Round>
    static KELHASH_LANES_INLINE V round_add(V t, V b, V c, V d) {
        if constexpr (Round == 0) {
            // F = d ^ (b & (c ^ d)).
            return add(t, _mm_xor_si128(d, _mm_and_si128(b, _mm_xor_si128(c, d))));
        } else if constexpr (Round == 1) {
            // G = (b & d) | (c & ~d): the two terms share no bit, so the OR
            // is an addition and c & ~d joins the early sum.
            return add(add(t, _mm_andnot_si128(d, c)), _mm_and_si128(b, d));
        } else if constexpr (Round == 2) {
            return add(t, _mm_xor_si128(b, _mm_xor_si128(c, d)));
        } else {
            // I = c ^ (b | ~d); SSE2 has no NOT, so ~d is d ^ all ones.
            const V not_d = _mm_xor_si128(d, _mm_set1_epi32(-1));
            return add(t, _mm_xor_si128(c, _mm_or_si128(b, not_d)));
        }
    }

    static KELHASH_LANES_INLINE V gather(const std::uint32_t (*state)[4], int w) {
        return _mm_set_epi32(static_cast<int>(state[3][w]), static_cast<int>(state[2][w]),
                             static_cast<int>(state[1][w]), static_cast<int>(state[0][w]));
    }
    static KELHASH_LANES_INLINE void scatter(V v, std::uint32_t (*state)[4], int w) {
        std::uint32_t lanes[4];
        _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), v);
        for (int l = 0; l < 4; ++l) state[l][w] = lanes[l];
    }

    // The sixteen message words of one block per lane, word j of every lane
    // in m[j]: four unaligned loads per lane (x86 is little-endian, as MD5's
    // words are), then a 4 x 4 transpose per group of four words.
    static KELHASH_LANES_INLINE void load_words(const std::uint8_t *const p[4], V m[16]) {
        for (int j = 0; j < 4; ++j) {
            const V r0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p[0] + 16 * j));
            const V r1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p[1] + 16 * j));
            const V r2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p[2] + 16 * j));
            const V r3 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p[3] + 16 * j));
            const V t0 = _mm_unpacklo_epi32(r0, r1);  // 0 of lanes 0 1, 1 of lanes 0 1
            const V t1 = _mm_unpackhi_epi32(r0, r1);  // 2 and 3 of lanes 0 1
            const V t2 = _mm_unpacklo_epi32(r2, r3);
            const V t3 = _mm_unpackhi_epi32(r2, r3);
            m[4 * j + 0] = _mm_unpacklo_epi64(t0, t2);
            m[4 * j + 1] = _mm_unpackhi_epi64(t0, t2);
            m[4 * j + 2] = _mm_unpacklo_epi64(t1, t3);
            m[4 * j + 3] = _mm_unpackhi_epi64(t1, t3);
        }
    }
};

#else  // NEON

struct Ops {
    using V = uint32x4_t;

    static KELHASH_LANES_INLINE V add(V x, V y) { return vaddq_u32(x, y); }
    static KELHASH_LANES_INLINE V early(V v) {
#if defined(__GNUC__)
        __asm__("" : "+w"(v));
#endif
        return v;
    }
    static KELHASH_LANES_INLINE V splat(std::uint32_t k) { return vdupq_n_u32(k); }
    // A shift left, then the bits shifted out inserted back at the bottom.
    template <int S>
    static KELHASH_LANES_INLINE V rotl(V x) {
        return vsriq_n_u32(vshlq_n_u32(x, S), x, 32 - S);
    }
    template <int Round>
    static KELHASH_LANES_INLINE V round_add(V t, V b, V c, V d) {
        if constexpr (Round == 0) {
            return add(t, vbslq_u32(b, c, d));  // F: c where b has a bit, else d
        } else if constexpr (Round == 1) {
            return add(t, vbslq_u32(d, b, c));  // G: b where d has a bit, else c
        } else if constexpr (Round == 2) {
            return add(t, veorq_u32(b, veorq_u32(c, d)));
        } else {
            return add(t, veorq_u32(c, vornq_u32(b, d)));  // I = c ^ (b | ~d)
        }
    }

    static KELHASH_LANES_INLINE V gather(const std::uint32_t (*state)[4], int w) {
        const std::uint32_t lanes[4] = {state[0][w], state[1][w], state[2][w], state[3][w]};
        return vld1q_u32(lanes);
    }
    static KELHASH_LANES_INLINE void scatter(V v, std::uint32_t (*state)[4], int w) {
        std::uint32_t lanes[4];
        vst1q_u32(lanes, v);
        for (int l = 0; l < 4; ++l) state[l][w] = lanes[l];
    }

    // Byte loads reinterpreted as words: on little-endian AArch64 these are
    // MD5's little-endian words, at any alignment. Then a 4 x 4 transpose.
    static KELHASH_LANES_INLINE V load(const std::uint8_t *p) {
        return vreinterpretq_u32_u8(vld1q_u8(p));
    }
    static KELHASH_LANES_INLINE V trn1_64(V x, V y) {
        return vreinterpretq_u32_u64(vtrn1q_u64(vreinterpretq_u64_u32(x), vreinterpretq_u64_u32(y)));
    }
    static KELHASH_LANES_INLINE V trn2_64(V x, V y) {
        return vreinterpretq_u32_u64(vtrn2q_u64(vreinterpretq_u64_u32(x), vreinterpretq_u64_u32(y)));
    }
    static KELHASH_LANES_INLINE void load_words(const std::uint8_t *const p[4], V m[16]) {
        for (int j = 0; j < 4; ++j) {
            const V r0 = load(p[0] + 16 * j), r1 = load(p[1] + 16 * j);
            const V r2 = load(p[2] + 16 * j), r3 = load(p[3] + 16 * j);
            const V t0 = vtrn1q_u32(r0, r1);  // 0 and 2 of lanes 0 1
            const V t1 = vtrn2q_u32(r0, r1);  // 1 and 3 of lanes 0 1
            const V t2 = vtrn1q_u32(r2, r3);
            const V t3 = vtrn2q_u32(r2, r3);
            m[4 * j + 0] = trn1_64(t0, t2);
            m[4 * j + 1] = trn1_64(t1, t3);
            m[4 * j + 2] = trn2_64(t0, t2);
            m[4 * j + 3] = trn2_64(t1, t3);
        }
    }
};

#endif

using V = Ops::V;

// One step of RFC 1321 in every lane, then the working values move along
// (the moves cost nothing once the 64 steps are inlined).
template <int I>
KELHASH_LANES_INLINE void step(V &a, V &b, V &c, V &d, const V m[16]) {
    const V t = Ops::round_add<I / 16>(
        Ops::early(Ops::add(Ops::add(a, Ops::splat(kMd5Sine[I])), m[word_of(I)])), b, c, d);
    const V nb = Ops::add(b, Ops::rotl<static_cast<int>(kMd5Rotation[I])>(t));
    a = d;
    d = c;
    c = b;
    b = nb;
}

template <int... I>
KELHASH_LANES_INLINE void compress(V s[4], const V m[16], std::integer_sequence<int, I...>) {
    V a = s[0], b = s[1], c = s[2], d = s[3];
    (step<I>(a, b, c, d, m), ...);
    s[0] = Ops::add(s[0], a);
    s[1] = Ops::add(s[1], b);
    s[2] = Ops::add(s[2], c);
    s[3] = Ops::add(s[3], d);
}

// Compresses count consecutive blocks of every lane, from p[lane] on. The
// chaining values stay in vectors, one word of all four lanes in each,
// from the first block to the last.
void run_blocks(std::uint32_t state[4][4], const std::uint8_t *const p[4], std::uint64_t count) {
    V s[4];
    for (int w = 0; w < 4; ++w) s[w] = Ops::gather(state, w);
    const std::uint8_t *at[4] = {p[0], p[1], p[2], p[3]};
    for (std::uint64_t k = 0; k < count; ++k) {
        V m[16];
        Ops::load_words(at, m);
        compress(s, m, std::make_integer_sequence<int, 64>{});
        for (auto &q : at) q += kBlockBytes;
    }
    for (int w = 0; w < 4; ++w) Ops::scatter(s[w], state, w);
}

#else  // KELHASH_MD5_LANES_SCALAR

// No vector unit to use: one stream after the other through the scalar
// compression, which composes words from bytes on any byte order.
void run_blocks(std::uint32_t state[4][4], const std::uint8_t *const p[4], std::uint64_t count) {
    for (int l = 0; l < kMd5Lanes; ++l) {
        const std::uint8_t *at = p[l];
        for (std::uint64_t k = 0; k < count; ++k, at += kBlockBytes) md5_block(state[l], at);
    }
}

#endif

}  // namespace

void md5_block_x4(std::uint32_t state[kMd5Lanes][4], const std::uint8_t *const blocks[kMd5Lanes]) {
    run_blocks(state, blocks, 1);
}

void md5_x4(const std::uint8_t *const messages[kMd5Lanes], std::uint64_t len,
            std::uint8_t digests[kMd5Lanes][16]) {
    std::uint32_t state[kMd5Lanes][4];
    for (auto &s : state) std::memcpy(s, kMd5Initial, sizeof kMd5Initial);

    // The whole blocks straight from the callers' bytes.
    const std::uint64_t whole = len / kBlockBytes;
    if (whole > 0) run_blocks(state, messages, whole);

    // The padding is the same in every lane, since the lengths are: the
    // bytes after the last whole block, 0x80, zeros up to the length field
    // and the length in bits, least significant byte first. One block, or
    // two when fewer than 9 bytes are left for 0x80 and the length.
    const auto rest = static_cast<std::size_t>(len % kBlockBytes);
    const std::size_t tail_len = rest < kLengthAt ? kBlockBytes : 2 * kBlockBytes;
    const std::uint64_t bits = len * 8;
    std::uint8_t tail[kMd5Lanes][2 * kBlockBytes];
    const std::uint8_t *tails[kMd5Lanes];
    for (int l = 0; l < kMd5Lanes; ++l) {
        std::uint8_t *t = tail[l];
        std::memset(t, 0, tail_len);
        if (rest > 0)
            std::memcpy(t, messages[l] + static_cast<std::size_t>(whole * kBlockBytes), rest);
        t[rest] = 0x80;
        for (std::size_t i = 0; i < kLengthField; ++i)
            t[tail_len - kLengthField + i] = static_cast<std::uint8_t>(bits >> (8 * i));
        tails[l] = t;
    }
    run_blocks(state, tails, tail_len / kBlockBytes);

    for (int l = 0; l < kMd5Lanes; ++l)
        for (int w = 0; w < 4; ++w)
            for (int i = 0; i < 4; ++i)
                digests[l][4 * w + i] = static_cast<std::uint8_t>(state[l][w] >> (8 * i));
}
