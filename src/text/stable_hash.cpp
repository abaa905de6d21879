// The exported stable string hash: two interleaved multiply-by-33-and-XOR
// lanes over the text's UTF-16 units, combined and folded to 0..2^31-1.
#include <cstdint>
#include <cstdlib>

#include "frame/frame.h"
#include "kelhash.h"
#include "text/stable_hash.h"
#include "text/utf8.h"

namespace {

constexpr std::uint32_t kSeed = 5381;
constexpr std::uint32_t kCombine = 1566083941u;

// Value of the hash for a text of no units: 5381 + 5381 * 1566083941 mod 2^32.
constexpr std::int32_t kEmptyHash = 371857150;
static_assert(static_cast<std::uint32_t>(kSeed + kSeed * kCombine) == 371857150u,
              "empty-text shortcut must equal the general formula");

std::int32_t fold(std::uint32_t h) {
    // Read as two's complement: non-negative values stay, negative ones
    // become their absolute value, and 0x80000000 (no positive twin) is 0.
    if (h == 0x80000000u) return 0;
    if (h & 0x80000000u) return static_cast<std::int32_t>(0u - h);
    return static_cast<std::int32_t>(h);
}

}  // namespace

std::int32_t stable_hash_utf8(const char *text, std::int32_t *out) {
    clear_error();
    if (text == nullptr || out == nullptr) return fail(Failure::null_argument);

    std::uint64_t n = 0;
    if (utf8_to_utf16(text, nullptr, 0, &n) != 0) return fail(Failure::invalid_utf8);
    if (n == 0) {
        *out = kEmptyHash;
        return KELHASH_OK;
    }
    if (n > SIZE_MAX / sizeof(std::uint16_t)) return fail(Failure::out_of_memory);
    auto *units = static_cast<std::uint16_t *>(
        std::malloc(static_cast<std::size_t>(n) * sizeof(std::uint16_t)));
    if (units == nullptr) return fail(Failure::out_of_memory);

    std::uint64_t converted = 0;
    if (utf8_to_utf16(text, units, n, &converted) != 0) {
        std::free(units);
        return fail(Failure::invalid_utf8);
    }

    std::uint32_t lane1 = kSeed;
    std::uint32_t lane2 = kSeed;
    std::uint64_t i = 0;
    for (; i + 1 < n; i += 2) {
        lane1 = (lane1 * 33u) ^ units[i];
        lane2 = (lane2 * 33u) ^ units[i + 1];
    }
    if (i < n) lane1 = (lane1 * 33u) ^ units[i];
    std::free(units);

    *out = fold(lane1 + lane2 * kCombine);
    return KELHASH_OK;
}

extern "C" {

KELHASH_API int32_t kelhash_stable_utf8(const char *text, int32_t *out) {
    return stable_hash_utf8(text, out);
}

}  // extern "C"
