#include "frame/frame.h"

#include <cstring>

#include "kelhash.h"

// Zero-filled static storage: both hold the empty string until the first
// call, and nothing runs at load time to make it so.
char g_result[256];
char g_error[256];

namespace {

struct FailureEntry {
    std::int32_t status;
    const char *text;
};

// Indexed by Failure; the order must follow the enum.
constexpr FailureEntry kFailures[] = {
    {KELHASH_ERR_INVALID_ARG, "null path"},
    {KELHASH_ERR_INVALID_ARG, "null data with nonzero len"},
    {KELHASH_ERR_INVALID_ARG, "null argument"},
    {KELHASH_ERR_INVALID_ARG, "total_size is negative"},
    {KELHASH_ERR_INVALID_ARG, "null out_hex with nonzero out_cap"},
    {KELHASH_ERR_INVALID_ARG, "head and tail must each hold min(total_size, 65536) bytes"},
    {KELHASH_ERR_INVALID_ARG, "null chunk"},
    {KELHASH_ERR_INVALID_ARG, "shooter block needs 4096 bytes at its offset"},
    {KELHASH_ERR_INVALID_ARG, "short shooter block has the wrong length"},
    {KELHASH_ERR_INVALID_ARG, "null shooter block with nonzero length"},
    {KELHASH_ERR_IO, "cannot open file"},
    {KELHASH_ERR_IO, "seek failed"},
    {KELHASH_ERR_IO, "ftell failed"},
    {KELHASH_ERR_IO, "read error"},
    {KELHASH_ERR_TOO_SMALL, "file too small for shooter hash and no fallback name"},
    {KELHASH_ERR_INVALID_UTF8, "invalid UTF-8"},
    {KELHASH_ERR_NO_MEMORY, "oom"},
    {KELHASH_ERR_BUFFER_TOO_SMALL, "output buffer too small"},
};

static_assert(sizeof kFailures / sizeof kFailures[0] ==
                  static_cast<std::size_t>(Failure::output_too_small) + 1,
              "one table entry per failure");

constexpr char kUpper[] = "0123456789ABCDEF";
constexpr char kLower[] = "0123456789abcdef";

}  // namespace

const char *failure_message(Failure f) { return kFailures[static_cast<std::size_t>(f)].text; }

std::int32_t failure_status(Failure f) { return kFailures[static_cast<std::size_t>(f)].status; }

std::int32_t fail(Failure f) {
    const FailureEntry &e = kFailures[static_cast<std::size_t>(f)];
    // Every message is far shorter than the buffer; copy it with its NUL.
    std::memcpy(g_error, e.text, std::strlen(e.text) + 1);
    return e.status;
}

void hex_upper(const std::uint8_t digest[16]) {
    for (int i = 0; i < 16; ++i) {
        g_result[2 * i] = kUpper[digest[i] >> 4];
        g_result[2 * i + 1] = kUpper[digest[i] & 0x0F];
    }
    g_result[32] = '\0';
}

char *hex_lower_bytes(char *dst, const std::uint8_t *bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        *dst++ = kLower[bytes[i] >> 4];
        *dst++ = kLower[bytes[i] & 0x0F];
    }
    return dst;
}

void hex_lower_u64(char *dst, std::uint64_t v) {
    for (int i = 15; i >= 0; --i) {
        dst[i] = kLower[v & 0x0F];
        v >>= 4;
    }
    dst[16] = '\0';
}

std::int32_t output_begin(char *out_hex, std::uint64_t out_cap, std::int64_t total_size) {
    g_error[0] = '\0';
    g_result[0] = '\0';
    // Whatever happens next, the caller's buffer holds at least "".
    if (out_hex != nullptr && out_cap != 0) out_hex[0] = '\0';
    if (total_size < 0) return fail(Failure::total_size_negative);
    if (out_hex == nullptr && out_cap != 0) return fail(Failure::null_out_hex);
    return KELHASH_OK;
}

std::int32_t output_finish(char *out_hex, std::uint64_t out_cap) {
    if (out_hex == nullptr) return KELHASH_OK;
    const std::size_t n = std::strlen(g_result) + 1;
    if (out_cap < n) return fail(Failure::output_too_small);
    std::memcpy(out_hex, g_result, n);
    return KELHASH_OK;
}

extern "C" {

KELHASH_API const char *kelhash_result(void) { return g_result; }

KELHASH_API const char *kelhash_last_error(void) { return g_error; }

}  // extern "C"
