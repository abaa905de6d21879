#include "text/utf8.h"

#include <cstddef>

#include "text/utf8_sequence.h"

std::int32_t utf8_to_utf16(const char *text, std::uint16_t *units, std::uint64_t cap,
                           std::uint64_t *count) {
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    std::uint64_t n = 0;
    for (;;) {
        if (p[0] == 0) {
            *count = n;
            return 0;
        }
        std::uint32_t cp = 0;
        std::size_t k = 0;
        if (!utf8_sequence(p, &cp, &k)) return -1;

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
