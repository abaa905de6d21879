/* One UTF-8 sequence, strictly (RFC 3629; Unicode's table of well-formed
 * byte sequences). Shared by the library's decoder and by the kelhash
 * command, which writes ill-formed file names in JSON as U+FFFD: both must
 * agree on what is well-formed, so there is one copy. Plain C99 as well as
 * C++; static inline, so it adds no symbol to anything that includes it. */
#ifndef KELHASH_UTF8_SEQUENCE_H
#define KELHASH_UTF8_SEQUENCE_H

#include <stddef.h>
#include <stdint.h>

/* Looks at the sequence that starts at p (p[0] is not NUL). Returns 1 when
 * it is well-formed, with its code point in *cp and its length (1 to 4) in
 * *len; else 0, with *len the length of its maximal ill-formed part: the
 * longest start of a well-formed sequence (at least 1 byte), which is what a
 * decoder that replaces bad input with U+FFFD replaces at once. A byte is
 * looked at only after the one before it passed, so a NUL inside a sequence
 * ends it there and nothing after the terminator is read. */
static inline int utf8_sequence(const unsigned char *p, uint32_t *cp, size_t *len) {
    const uint32_t a = p[0];
    size_t need;
    size_t i;
    uint32_t value;
    /* Second-byte bounds of the leads whose second byte is narrower than
     * the continuation range 0x80-0xBF. */
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (a < 0x80) {
        *cp = a;
        *len = 1;
        return 1;
    }
    if (a >= 0xC2 && a <= 0xDF) {
        need = 1;
        value = a & 0x1F;
    } else if (a >= 0xE0 && a <= 0xEF) {
        need = 2;
        value = a & 0x0F;
        if (a == 0xE0) lo = 0xA0;      /* no overlong forms */
        if (a == 0xED) hi = 0x9F;      /* no surrogates */
    } else if (a >= 0xF0 && a <= 0xF4) {
        need = 3;
        value = a & 0x07;
        if (a == 0xF0) lo = 0x90;      /* no overlong forms */
        if (a == 0xF4) hi = 0x8F;      /* nothing above U+10FFFF */
    } else {
        /* A stray continuation byte, an overlong lead (0xC0, 0xC1) or a
         * byte that never occurs (0xF5 to 0xFF). */
        *len = 1;
        return 0;
    }
    for (i = 1; i <= need; ++i) {
        if (p[i] < lo || p[i] > hi) {
            *len = i;
            return 0;
        }
        value = (value << 6) | (uint32_t)(p[i] & 0x3F);
        lo = 0x80;
        hi = 0xBF;
    }
    *cp = value;
    *len = need + 1;
    return 1;
}

#endif /* KELHASH_UTF8_SEQUENCE_H */
