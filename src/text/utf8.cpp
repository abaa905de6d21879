#include "text/utf8.h"

namespace {

inline bool is_continuation(std::uint32_t b) { return (b & 0xC0) == 0x80; }

}  // namespace

std::int32_t utf8_to_utf16(const char *text, std::uint16_t *units, std::uint64_t cap,
                           std::uint64_t *count) {
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    std::uint64_t n = 0;
    for (;;) {
        const std::uint32_t a = p[0];
        if (a == 0) {
            *count = n;
            return 0;
        }
        std::uint32_t cp;
        int k;
        if (a < 0x80) {
            cp = a;
            k = 1;
        } else if (a >= 0xC0 && a <= 0xDF) {
            // Each continuation byte is looked at only after the one before
            // it passed, so a terminator inside a sequence stops the scan.
            const std::uint32_t b1 = p[1];
            if (!is_continuation(b1)) return -1;
            cp = ((a & 0x1F) << 6) | (b1 & 0x3F);
            if (cp < 0x80) return -1;
            k = 2;
        } else if (a >= 0xE0 && a <= 0xEF) {
            const std::uint32_t b1 = p[1];
            if (!is_continuation(b1)) return -1;
            const std::uint32_t b2 = p[2];
            if (!is_continuation(b2)) return -1;
            cp = ((a & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F);
            if (cp < 0x800) return -1;
            if (cp >= 0xD800 && cp <= 0xDFFF) return -1;
            k = 3;
        } else if (a >= 0xF0 && a <= 0xF7) {
            const std::uint32_t b1 = p[1];
            if (!is_continuation(b1)) return -1;
            const std::uint32_t b2 = p[2];
            if (!is_continuation(b2)) return -1;
            const std::uint32_t b3 = p[3];
            if (!is_continuation(b3)) return -1;
            cp = ((a & 0x07) << 18) | ((b1 & 0x3F) << 12) | ((b2 & 0x3F) << 6) | (b3 & 0x3F);
            // One unsigned comparison rejects both the overlong forms (which
            // wrap far above) and everything beyond U+10FFFF.
            if (cp - 0x10000u > 0xFFFFFu) return -1;
            k = 4;
        } else {
            return -1;  // a stray continuation byte, or 0xF8 to 0xFF
        }

        if (units == nullptr) {
            n += cp <= 0xFFFF ? 1 : 2;
        } else if (cp <= 0xFFFF) {
            if (n >= cap) return -3;
            units[n++] = static_cast<std::uint16_t>(cp);
        } else {
            if (n + 1 >= cap) return -3;  // never split a surrogate pair
            const std::uint32_t v = cp - 0x10000u;
            units[n] = static_cast<std::uint16_t>(0xD800u + (v >> 10));
            units[n + 1] = static_cast<std::uint16_t>(0xDC00u + (v & 0x3FFu));
            n += 2;
        }
        p += k;
    }
}
