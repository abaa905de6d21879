#include "fingerprint/opensubtitles.h"

#include <cstdio>
#include <cstring>

#include "frame/frame.h"
#include "frame/stream.h"
#include "kelhash.h"

// How a whole word is loaded: straight from memory where the host stores
// words little-endian, swapped where it stores them big-endian, and composed
// from its bytes where the byte order is unknown. Windows runs only on
// little-endian machines.
#if defined(__BYTE_ORDER__) && defined(__ORDER_BIG_ENDIAN__) && \
    __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define KELHASH_WORD_LOAD_SWAPPED 1
#elif (defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__) && \
       __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) ||                  \
    defined(_WIN32)
#define KELHASH_WORD_LOAD_NATIVE 1
#endif

namespace {

constexpr std::uint64_t kWordBytes = 8;
constexpr unsigned kBitsPerByte = 8;
// Running sums of the word loop: enough for two 16-byte vector adds per
// step on x86-64.
constexpr std::uint64_t kPartialSums = 4;
// The head range and the tail range, summed in that order.
constexpr std::size_t kRangeCount = 2;

#if defined(KELHASH_WORD_LOAD_SWAPPED)
inline std::uint64_t byte_swap64(std::uint64_t v) {
#if defined(__GNUC__)
    return __builtin_bswap64(v);
#else
    v = ((v & 0x00ff00ff00ff00ffULL) << 8) | ((v >> 8) & 0x00ff00ff00ff00ffULL);
    v = ((v & 0x0000ffff0000ffffULL) << 16) | ((v >> 16) & 0x0000ffff0000ffffULL);
    return (v << 32) | (v >> 32);
#endif
}
#endif

// A whole little-endian word at p, whatever p's alignment. The memcpy
// compiles to one plain load (and a swap, or a byte-reversing load, on a
// big-endian host). Composing every word from its bytes would be right on
// every host too, but GCC vectorises that loop into byte shuffles that run
// at a fifth of the speed of plain loads.
inline std::uint64_t load_le64(const std::uint8_t *p) {
#if defined(KELHASH_WORD_LOAD_NATIVE) || defined(KELHASH_WORD_LOAD_SWAPPED)
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
#if defined(KELHASH_WORD_LOAD_SWAPPED)
    v = byte_swap64(v);
#endif
    return v;
#else
    return read_le_u64_pad(p, kWordBytes);
#endif
}

inline std::uint64_t range_len(std::uint64_t size) {
    return size < kOpenSubtitlesRange ? size : kOpenSubtitlesRange;
}

}  // namespace

std::uint64_t read_le_u64_pad(const std::uint8_t *p, std::uint64_t n) {
    const std::uint64_t k = n < kWordBytes ? n : kWordBytes;
    std::uint64_t v = 0;
    for (std::uint64_t i = 0; i < k; ++i)
        v |= static_cast<std::uint64_t>(p[i]) << (kBitsPerByte * i);
    return v;
}

// The one summing routine of the buffer, file and chunk functions. The
// whole words go into kPartialSums running sums in turn, so that the adds of
// neighbouring words do not wait for each other (a single sum chains every
// add to the one before); modulo 2^64 the order of the additions does not
// change the result.
std::uint64_t sum_range(std::uint64_t sum, const std::uint8_t *p, std::uint64_t w) {
    const std::uint64_t whole = w / kWordBytes;
    std::uint64_t partial[kPartialSums] = {};
    std::uint64_t i = 0;
    for (; whole - i >= kPartialSums; i += kPartialSums)
        for (std::uint64_t j = 0; j < kPartialSums; ++j)
            partial[j] += load_le64(p + (i + j) * kWordBytes);
    for (; i < whole; ++i) partial[0] += load_le64(p + i * kWordBytes);
    for (const std::uint64_t part : partial) sum += part;
    // A short last word: the range is a whole file of less than 65536
    // bytes, or a read that ended early.
    if (const std::uint64_t rest = w % kWordBytes; rest != 0)
        sum += read_le_u64_pad(p + whole * kWordBytes, rest);
    return sum;
}

extern "C" {

KELHASH_API int32_t kelhash_opensubtitles_buffer(const void *data, uint64_t len) {
    if (data == nullptr && len != 0) return fail(Failure::null_data);
    clear_error();
    std::uint64_t sum = len;
    if (len != 0) {
        const auto *bytes = static_cast<const std::uint8_t *>(data);
        const std::uint64_t m = range_len(len);
        sum = sum_range(sum, bytes, m);
        sum = sum_range(sum, bytes + (len - m), m);
    }
    hex_lower_u64(g_result, sum);
    return KELHASH_OK;
}

KELHASH_API int32_t kelhash_opensubtitles_file(const char *path) {
    clear_error();
    std::FILE *f = nullptr;
    std::int64_t size = 0;
    if (const std::int32_t st = stream_open_sized(path, &f, &size); st != KELHASH_OK) return st;

    const auto s = static_cast<std::uint64_t>(size);
    const std::uint64_t m = range_len(s);
    // The head, and the tail, which also starts at 0 when the file fits in
    // one range.
    const std::uint64_t starts[kRangeCount] = {0, s - m};
    // Both ranges of a cold file are then fetched at the same time instead
    // of the tail only once the head has arrived. The head is advised too,
    // although its read comes next: measured on a cold file, the read alone
    // fetches it markedly later than advice given just before it. A file
    // within one range has one range to fetch.
    stream_will_need(f, starts, starts[1] != starts[0] ? kRangeCount : 1, m);

    std::uint8_t buf[kOpenSubtitlesRange];
    std::uint64_t sum = s;
    for (std::size_t i = 0; i < kRangeCount; ++i) {
        // The sizing left the stream at the start, where the head begins.
        // The tail is sought even for an empty file.
        if (i > 0 && !stream_seek(f, static_cast<std::int64_t>(starts[i])))
            return close_and_fail(f, Failure::seek_failed);
        if (m == 0) continue;
        // A read that ends early counts the missing bytes as zeros; a read
        // that fails is reported, not summed as zeros.
        std::size_t got = 0;
        if (stream_read(f, buf, static_cast<std::size_t>(m), &got) == ReadOutcome::failed)
            return close_and_fail(f, Failure::read_error);
        sum = sum_range(sum, buf, got);
    }
    std::fclose(f);
    hex_lower_u64(g_result, sum);
    clear_error();
    return KELHASH_OK;
}

KELHASH_API int32_t kelhash_opensubtitles_chunks(const void *head, uint64_t head_len,
                                                 const void *tail, uint64_t tail_len,
                                                 int64_t total_size, char *out_hex,
                                                 uint64_t out_cap) {
    if (const std::int32_t st = output_begin(out_hex, out_cap, total_size); st != KELHASH_OK)
        return st;
    const auto s = static_cast<std::uint64_t>(total_size);
    const std::uint64_t m = range_len(s);
    if ((head_len < tail_len ? head_len : tail_len) < m) return fail(Failure::chunk_too_short);
    if (s != 0 && (head == nullptr || tail == nullptr)) return fail(Failure::null_chunk);

    std::uint64_t sum = s;
    if (s != 0) {
        sum = sum_range(sum, static_cast<const std::uint8_t *>(head), m);
        sum = sum_range(sum, static_cast<const std::uint8_t *>(tail) + (tail_len - m), m);
    }
    hex_lower_u64(g_result, sum);
    return output_finish(out_hex, out_cap);
}

}  // extern "C"
