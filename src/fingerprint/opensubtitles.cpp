#include "fingerprint/opensubtitles.h"

#include <cstdio>
#include <cstring>

#include "frame/frame.h"
#include "frame/stream.h"
#include "kelhash.h"

namespace {

// Composed from bytes so the sum does not depend on byte order or
// alignment; compilers turn it into one load.
inline std::uint64_t load_le64(const std::uint8_t *p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

inline std::uint64_t range_len(std::uint64_t size) {
    return size < kOpenSubtitlesRange ? size : kOpenSubtitlesRange;
}

}  // namespace

std::uint64_t read_le_u64_pad(const std::uint8_t *p, std::uint64_t n) {
    const std::uint64_t k = n < 8 ? n : 8;
    std::uint64_t v = 0;
    for (std::uint64_t i = 0; i < k; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
}

std::uint64_t sum_range(std::uint64_t sum, const std::uint8_t *p, std::uint64_t w) {
    std::uint64_t k = 0;
    for (; w - k >= 8; k += 8) sum += load_le64(p + k);
    if (k < w) sum += read_le_u64_pad(p + k, w - k);
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
    std::uint8_t buf[kOpenSubtitlesRange];
    std::uint64_t sum = 0;
    std::size_t got = 0;

    // The head range, read from the start where the sizing left the stream.
    // A read that ends early counts the missing bytes as zeros; a read that
    // fails is reported, not summed as zeros.
    if (s > 0) {
        if (stream_read(f, buf, static_cast<std::size_t>(m), &got) == ReadOutcome::failed) {
            std::fclose(f);
            return fail(Failure::read_error);
        }
        sum = sum_range(s, buf, got);
    }

    const std::uint64_t tail_pos = s >= kOpenSubtitlesRange ? s - kOpenSubtitlesRange : 0;
    if (!stream_seek(f, static_cast<std::int64_t>(tail_pos))) {
        std::fclose(f);
        return fail(Failure::seek_failed);
    }
    if (s > 0) {
        if (stream_read(f, buf, static_cast<std::size_t>(m), &got) == ReadOutcome::failed) {
            std::fclose(f);
            return fail(Failure::read_error);
        }
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
