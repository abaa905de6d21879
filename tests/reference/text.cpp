// UTF-8 from Unicode's table of well-formed byte sequences, UTF-8 and
// UTF-16 encoders from their RFCs, and the stable string hash over the
// UTF-16 units. The decoder here is driven by the table alone: it knows
// nothing of overlong forms, surrogates or the upper bound as such, which
// is what the library's decoder tests for.
#include <stdexcept>

#include "reference.h"

namespace kref {

// Table 3-7. Well-Formed UTF-8 Byte Sequences (The Unicode Standard,
// section 3.9), row by row: code points, then the range of each byte.
const std::array<Utf8Row, 9> kWellFormedUtf8 = {{
    {0x0000, 0x007F, 1, {0x00}, {0x7F}},
    {0x0080, 0x07FF, 2, {0xC2, 0x80}, {0xDF, 0xBF}},
    {0x0800, 0x0FFF, 3, {0xE0, 0xA0, 0x80}, {0xE0, 0xBF, 0xBF}},
    {0x1000, 0xCFFF, 3, {0xE1, 0x80, 0x80}, {0xEC, 0xBF, 0xBF}},
    {0xD000, 0xD7FF, 3, {0xED, 0x80, 0x80}, {0xED, 0x9F, 0xBF}},
    {0xE000, 0xFFFF, 3, {0xEE, 0x80, 0x80}, {0xEF, 0xBF, 0xBF}},
    {0x10000, 0x3FFFF, 4, {0xF0, 0x90, 0x80, 0x80}, {0xF0, 0xBF, 0xBF, 0xBF}},
    {0x40000, 0xFFFFF, 4, {0xF1, 0x80, 0x80, 0x80}, {0xF3, 0xBF, 0xBF, 0xBF}},
    {0x100000, 0x10FFFF, 4, {0xF4, 0x80, 0x80, 0x80}, {0xF4, 0x8F, 0xBF, 0xBF}},
}};

int well_formed_sequence(const std::uint8_t *p, std::size_t left, std::uint32_t *cp) {
    if (left == 0) return 0;
    const Utf8Row *row = nullptr;
    for (const Utf8Row &r : kWellFormedUtf8)
        if (p[0] >= r.lo[0] && p[0] <= r.hi[0]) row = &r;
    if (row == nullptr) return 0;
    const auto length = static_cast<std::size_t>(row->length);
    for (std::size_t i = 1; i < length; ++i)
        if (i >= left || p[i] < row->lo[i] || p[i] > row->hi[i]) return 0;
    // RFC 3629: the lead's payload bits, then six bits per following byte.
    std::uint32_t v = length == 1 ? p[0] : p[0] & (0x7Fu >> length);
    for (std::size_t i = 1; i < length; ++i) v = (v << 6) | (p[i] & 0x3Fu);
    if (v < row->first_code_point || v > row->last_code_point)
        throw std::logic_error("the table's row does not hold its own code point");
    *cp = v;
    return row->length;
}

Utf8Text decode_utf8(const std::uint8_t *s, std::size_t n) {
    Utf8Text t;
    std::size_t i = 0;
    while (i < n) {
        std::uint32_t cp = 0;
        const int k = well_formed_sequence(s + i, n - i, &cp);
        if (k == 0) return t;
        t.code_points.push_back(cp);
        i += static_cast<std::size_t>(k);
    }
    t.well_formed = true;
    return t;
}

// Never 0, which would end a NUL-terminated text.
std::uint32_t random_code_point(std::mt19937_64 &rng) {
    switch (rng() % 5) {
        case 0: return 1 + static_cast<std::uint32_t>(rng() % 0x7F);
        case 1: return 0x80 + static_cast<std::uint32_t>(rng() % (0x800 - 0x80));
        case 2: {
            std::uint32_t cp;
            do cp = 0x800 + static_cast<std::uint32_t>(rng() % (0x10000 - 0x800));
            while (cp >= 0xD800 && cp <= 0xDFFF);
            return cp;
        }
        case 3: return 0x10000 + static_cast<std::uint32_t>(rng() % 0x100000);
        default: {  // the edges of every range
            static const std::uint32_t edges[] = {0x01,   0x7F,    0x80,    0x7FF,   0x800,
                                                  0xD7FF, 0xE000,  0xFEFF,  0xFFFE,  0xFFFF,
                                                  0x10000, 0x1F600, 0xFFFFF, 0x100000, 0x10FFFF};
            return edges[rng() % (sizeof edges / sizeof edges[0])];
        }
    }
}

void append_utf8(std::uint32_t cp, Bytes &out) {
    auto put = [&out](std::uint32_t byte) { out.push_back(static_cast<std::uint8_t>(byte)); };
    if (cp < 0x80) {
        put(cp);
    } else if (cp < 0x800) {
        put(0xC0 | (cp >> 6));
        put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        put(0xE0 | (cp >> 12));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    } else {
        put(0xF0 | (cp >> 18));
        put(0x80 | ((cp >> 12) & 0x3F));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    }
}

Bytes encode_utf8(std::uint32_t cp) {
    Bytes out;
    append_utf8(cp, out);
    return out;
}

std::string encode_utf8(const std::vector<std::uint32_t> &cps) {
    Bytes bytes;
    for (const std::uint32_t cp : cps) append_utf8(cp, bytes);
    return std::string(bytes.begin(), bytes.end());
}

int utf16_of(std::uint32_t cp, std::uint16_t out[2]) {
    if (cp < 0x10000) {
        out[0] = static_cast<std::uint16_t>(cp);
        return 1;
    }
    const std::uint32_t u = cp - 0x10000;
    out[0] = static_cast<std::uint16_t>(0xD800 | (u >> 10));
    out[1] = static_cast<std::uint16_t>(0xDC00 | (u & 0x3FF));
    return 2;
}

void append_utf16(std::uint32_t cp, std::vector<std::uint16_t> &out) {
    std::uint16_t u[2];
    const int n = utf16_of(cp, u);
    out.insert(out.end(), u, u + n);
}

std::vector<std::uint16_t> utf16(const std::vector<std::uint32_t> &cps) {
    std::vector<std::uint16_t> units;
    for (const std::uint32_t cp : cps) append_utf16(cp, units);
    return units;
}

std::int64_t stable_hash_unfolded(const std::vector<std::uint16_t> &units) {
    std::uint32_t lanes[2] = {5381, 5381};
    for (std::size_t i = 0; i < units.size(); ++i) lanes[i % 2] = (lanes[i % 2] * 33u) ^ units[i];
    const std::uint32_t h = lanes[0] + lanes[1] * 1566083941u;
    return h < 0x80000000u ? std::int64_t{h} : std::int64_t{h} - (std::int64_t{1} << 32);
}

std::int32_t stable_hash(const std::vector<std::uint16_t> &units) {
    const std::int64_t h = stable_hash_unfolded(units);
    if (h == -(std::int64_t{1} << 31)) return 0;
    return static_cast<std::int32_t>(h < 0 ? -h : h);
}

std::int32_t stable_hash(const std::vector<std::uint32_t> &code_points) {
    return stable_hash(utf16(code_points));
}

}  // namespace kref
