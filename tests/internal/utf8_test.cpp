// The strict UTF-8 to UTF-16 decoder: the documented counting and
// converting cases, and an exhaustive comparison with an oracle built on
// the reference layer's "Table 3-7. Well-Formed UTF-8 Byte Sequences" (not
// on the decoder's own overlong / surrogate / range tests). Every text is placed so that its
// terminator is the last readable byte before a guard page (or the end of
// an exactly sized heap block), so reading past the terminator faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "reference.h"
#include "support.h"
#include "text/utf8.h"

namespace {

using Units = std::vector<std::uint16_t>;
using Seq = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// Memory whose last readable byte is followed by a page that faults on any
// access (POSIX), or by the end of a heap block (elsewhere, for ASan).
class GuardedEnd {
public:
    explicit GuardedEnd(std::size_t room) {
#if !defined(_WIN32)
        page_ = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        usable_ = (room + page_ - 1) / page_ * page_;
        void *base = ::mmap(nullptr, usable_ + page_, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) throw std::runtime_error("mmap failed");
        base_ = static_cast<char *>(base);
        if (::mprotect(base_ + usable_, page_, PROT_NONE) != 0)
            throw std::runtime_error("mprotect failed");
        end_ = base_ + usable_;
#else
        heap_ = std::make_unique<char[]>(room);
        end_ = heap_.get() + room;
#endif
    }
    ~GuardedEnd() {
#if !defined(_WIN32)
        ::munmap(base_, usable_ + page_);
#endif
    }
    GuardedEnd(const GuardedEnd &) = delete;
    GuardedEnd &operator=(const GuardedEnd &) = delete;

    // Copies the text and its terminator so that the terminator is the last
    // readable byte; returns the text's first byte.
    const char *place(const std::uint8_t *bytes, std::size_t n) {
        char *start = end_ - (n + 1);
        if (n > 0) std::memcpy(start, bytes, n);
        start[n] = '\0';
        return start;
    }
    const char *place(const Seq &s) { return place(s.data(), s.size()); }

private:
    char *end_ = nullptr;
#if !defined(_WIN32)
    char *base_ = nullptr;
    std::size_t page_ = 0;
    std::size_t usable_ = 0;
#else
    std::unique_ptr<char[]> heap_;
#endif
};

std::string hex(const Seq &s) {
    std::ostringstream o;
    o << std::hex << std::uppercase;
    for (const std::uint8_t b : s) o << (b < 16 ? "0" : "") << unsigned{b} << ' ';
    return s.empty() ? "(empty)" : o.str();
}

std::string hex(const Units &u) {
    std::ostringstream o;
    o << std::hex << std::uppercase;
    for (const std::uint16_t x : u) o << x << ' ';
    return u.empty() ? "(none)" : o.str();
}

constexpr std::uint64_t kUntouched = 0xC0FFEE0DDBA11ULL;

// One counting call.
struct Counted {
    std::int32_t result;
    std::uint64_t count;
};

Counted count_units(const char *text, std::uint64_t cap = 0) {
    std::uint64_t count = kUntouched;
    const std::int32_t r = utf8_to_utf16(text, nullptr, cap, &count);
    return {r, count};
}

// One converting call into an array of exactly cap units on the heap (so a
// write at cap or beyond is a heap overflow for ASan), then again into an
// array with spare slots, which must come back untouched. Slots start at 0,
// a unit the decoder never produces, so the units written are the leading
// nonzero slots.
struct Converted {
    std::int32_t result;
    std::uint64_t count;
    Units written;
};

Converted convert(const char *text, std::uint64_t cap) {
    const std::size_t n = static_cast<std::size_t>(cap);
    auto exact = std::make_unique<std::uint16_t[]>(n);
    std::uint64_t count_exact = kUntouched;
    const std::int32_t r_exact = utf8_to_utf16(text, exact.get(), cap, &count_exact);

    Units padded(n + 8, 0);
    Converted c{};
    c.count = kUntouched;
    c.result = utf8_to_utf16(text, padded.data(), cap, &c.count);
    EXPECT_EQ(c.result, r_exact);
    EXPECT_EQ(c.count, count_exact);
    for (std::size_t i = n; i < padded.size(); ++i)
        EXPECT_EQ(padded[i], 0) << "slot " << i << " at or beyond cap " << cap << " written";
    std::size_t w = 0;
    while (w < n && padded[w] != 0) ++w;
    c.written.assign(padded.begin(), padded.begin() + static_cast<std::ptrdiff_t>(w));
    for (std::size_t i = w; i < n; ++i)
        EXPECT_EQ(padded[i], 0) << "slot " << i << " written after a gap";
    EXPECT_TRUE(std::equal(c.written.begin(), c.written.end(), exact.get()))
        << "the two arrays differ";
    return c;
}

// ---------------------------------------------------------------------------
// The documented cases.

struct CountCase {
    Seq bytes;
    std::int32_t result;
    Units units;  // on success all of them; on failure those written before
};

TEST(Utf8Decoder, CountingAndConvertingTable) {
    const CountCase cases[] = {
        {{}, 0, {}},
        {{0x61, 0x62, 0x63}, 0, {0x0061, 0x0062, 0x0063}},
        {{0xC3, 0xA9}, 0, {0x00E9}},
        {{0xE2, 0x82, 0xAC}, 0, {0x20AC}},
        {{0xF0, 0x9F, 0x98, 0x80}, 0, {0xD83D, 0xDE00}},
        {{0xF4, 0x8F, 0xBF, 0xBF}, 0, {0xDBFF, 0xDFFF}},
        {{0xED, 0x9F, 0xBF}, 0, {0xD7FF}},
        {{0xEF, 0xBB, 0xBF}, 0, {0xFEFF}},  // the byte-order mark is a character
        {{0xEF, 0xBF, 0xBE, 0xEF, 0xBF, 0xBF}, 0, {0xFFFE, 0xFFFF}},  // noncharacters
        {{0xF0, 0x90, 0x80, 0x80}, 0, {0xD800, 0xDC00}},  // U+10000
        {{0xC2, 0x80, 0xDF, 0xBF}, 0, {0x0080, 0x07FF}},
        {{0xE0, 0xA0, 0x80}, 0, {0x0800}},
        {{0x01, 0x7F}, 0, {0x0001, 0x007F}},
        {{0xC0, 0xAF}, -1, {}},
        {{0xC0, 0x80}, -1, {}},
        {{0xC1, 0xBF}, -1, {}},
        {{0xE0, 0x80, 0xAF}, -1, {}},
        {{0xE0, 0x9F, 0xBF}, -1, {}},
        {{0xF0, 0x8F, 0xBF, 0xBF}, -1, {}},
        {{0xED, 0xA0, 0x80}, -1, {}},
        {{0xED, 0xBF, 0xBF}, -1, {}},
        {{0xF4, 0x90, 0x80, 0x80}, -1, {}},
        {{0xF5, 0x80, 0x80, 0x80}, -1, {}},
        {{0xF7, 0xBF, 0xBF, 0xBF}, -1, {}},
        {{0x80}, -1, {}},
        {{0xBF}, -1, {}},
        {{0x61, 0x80, 0x62}, -1, {0x0061}},
        {{0xE2, 0x82}, -1, {}},
        {{0xF0, 0x9F, 0x98}, -1, {}},
        {{0xC3}, -1, {}},
        {{0xF0}, -1, {}},
        {{0x61, 0xE2, 0x82, 0x61}, -1, {0x0061}},  // wrong last continuation
        {{0xFF}, -1, {}},
        {{0xF8, 0x88, 0x80, 0x80, 0x80}, -1, {}},
        {{0xFC, 0x84, 0x80, 0x80, 0x80, 0x80}, -1, {}},
        {{0xC3, 0xA9, 0xC3, 0x28}, -1, {0x00E9}},
    };
    GuardedEnd mem(64);
    for (const auto &c : cases) {
        SCOPED_TRACE(hex(c.bytes));
        const char *text = mem.place(c.bytes);

        const Counted counted = count_units(text);
        EXPECT_EQ(counted.result, c.result);
        EXPECT_EQ(counted.count, c.result == 0 ? c.units.size() : kUntouched);
        // The capacity means nothing while counting: never -3.
        EXPECT_EQ(count_units(text, 1).result, c.result);

        const Converted roomy = convert(text, 16);
        EXPECT_EQ(roomy.result, c.result);
        EXPECT_EQ(roomy.count, c.result == 0 ? c.units.size() : kUntouched);
        EXPECT_EQ(roomy.written, c.units) << hex(roomy.written);

        if (c.result == 0) {
            // The counted size is always enough room to convert.
            const Converted exact = convert(text, c.units.size());
            EXPECT_EQ(exact.result, 0);
            EXPECT_EQ(exact.count, c.units.size());
            EXPECT_EQ(exact.written, c.units) << hex(exact.written);
        }
    }
}

TEST(Utf8Decoder, ConvertingCapacityTable) {
    const struct {
        Seq bytes;
        std::uint64_t cap;
        std::int32_t result;
        Units written;
    } cases[] = {
        {{}, 0, 0, {}},
        {{0x61, 0x62, 0x63}, 0, -3, {}},
        {{0x61, 0x62, 0x63}, 1, -3, {0x0061}},
        {{0x61, 0x62, 0x63}, 2, -3, {0x0061, 0x0062}},
        {{0x61, 0x62, 0x63}, 3, 0, {0x0061, 0x0062, 0x0063}},  // exactly full is success
        {{0xF0, 0x9F, 0x98, 0x80}, 1, -3, {}},                 // half a pair is never written
        {{0xF0, 0x9F, 0x98, 0x80}, 2, 0, {0xD83D, 0xDE00}},
        {{0x61, 0xF0, 0x9F, 0x98, 0x80}, 2, -3, {0x0061}},
        {{0x61, 0xF0, 0x9F, 0x98, 0x80}, 3, 0, {0x0061, 0xD83D, 0xDE00}},
        {{0xF0, 0x9F, 0x98, 0x80, 0xF0, 0x9F, 0x98, 0x80}, 3, -3, {0xD83D, 0xDE00}},
        {{0x61, 0x80, 0x62}, 3, -1, {0x0061}},
        {{0x61, 0x62, 0xC0, 0xAF}, 2, -1, {0x0061, 0x0062}},  // malformed beats full
        {{0x61, 0x62, 0xE2, 0x82}, 2, -1, {0x0061, 0x0062}},  // so does a cut sequence
        {{0x61, 0x62, 0xE2, 0x82, 0xAC}, 2, -3, {0x0061, 0x0062}},
        {{0x61, 0xC0, 0xAF}, 0, -3, {}},  // the letter finds no room first
        {{0xC0, 0xAF}, 0, -1, {}},
    };
    GuardedEnd mem(64);
    for (const auto &c : cases) {
        SCOPED_TRACE(hex(c.bytes) + "cap " + std::to_string(c.cap));
        const Converted got = convert(mem.place(c.bytes), c.cap);
        EXPECT_EQ(got.result, c.result);
        EXPECT_EQ(got.count, c.result == 0 ? c.written.size() : kUntouched);
        EXPECT_EQ(got.written, c.written) << hex(got.written);
    }
}

// ---------------------------------------------------------------------------
// The oracle: the reference layer's decoder over Table 3-7, sequence by
// sequence.

// Fixed-size records, no heap: the oracle runs tens of millions of times.
constexpr std::size_t kMaxChars = 64;

struct OracleText {
    bool well_formed;
    std::size_t chars;  // all of them, or those before the malformed one
    std::uint32_t code_points[kMaxChars];
};

// The table's rows look at a byte only after the one before it matched,
// and never past the terminator, so the oracle itself never reads past it.
OracleText oracle_decode(const std::uint8_t *p) {
    OracleText t{};
    std::size_t left = std::strlen(reinterpret_cast<const char *>(p));
    for (;;) {
        if (left == 0) {
            t.well_formed = true;
            return t;
        }
        std::uint32_t cp = 0;
        const int k = kref::well_formed_sequence(p, left, &cp);
        if (k == 0) return t;
        if (t.chars == kMaxChars) throw std::length_error("text too long for the oracle");
        t.code_points[t.chars++] = cp;
        p += k;
        left -= static_cast<std::size_t>(k);
    }
}

// What the decoder must give for a text and a capacity: characters are
// emitted whole, in order; a malformed one ends the scan with -1 unless an
// earlier character already found no room (-3).
struct Expected {
    std::int32_t result;
    std::size_t n;
    std::uint16_t units[2 * kMaxChars];
    Units vec() const { return Units(units, units + n); }
};

Expected expected_convert(const OracleText &t, std::uint64_t cap) {
    Expected e{};
    for (std::size_t c = 0; c < t.chars; ++c) {
        std::uint16_t one[2];
        const auto k = static_cast<std::size_t>(kref::utf16_of(t.code_points[c], one));
        if (e.n + k > cap) {
            e.result = -3;
            return e;
        }
        for (std::size_t i = 0; i < k; ++i) e.units[e.n++] = one[i];
    }
    e.result = t.well_formed ? 0 : -1;
    return e;
}

// Counting has no capacity to run out of.
Expected expected_count(const OracleText &t) { return expected_convert(t, ~std::uint64_t{0}); }

// Compares the decoder with the oracle on one text: counting, converting
// with room to spare, and converting with one unit too few. Returns false
// (after reporting) on the first difference. Uses small stack arrays, as
// this runs tens of millions of times.
bool agrees_with_oracle(const char *text, std::size_t len) {
    const OracleText t = oracle_decode(reinterpret_cast<const std::uint8_t *>(text));
    const Expected want = expected_count(t);
    auto where = [&] { return hex(Seq(text, text + len)); };

    std::uint64_t count = kUntouched;
    const std::int32_t r = utf8_to_utf16(text, nullptr, 0, &count);
    const std::uint64_t want_count = want.result == 0 ? want.n : kUntouched;
    if (r != want.result || count != want_count) {
        ADD_FAILURE() << where() << ": counting gave " << r << " count " << count << ", expected "
                      << want.result << " count " << want_count;
        return false;
    }

    // Longer texts get every capacity in RandomMixedTexts; here the array
    // is at most kRoom units.
    constexpr std::uint64_t kRoom = 16;
    const std::uint64_t short_by_one = want.n == 0 ? 0 : want.n - 1;
    const std::uint64_t caps[2] = {kRoom, short_by_one < kRoom ? short_by_one : kRoom};
    for (const std::uint64_t cap : caps) {
        const Expected e = expected_convert(t, cap);
        std::uint16_t slots[kRoom + 1] = {};
        count = kUntouched;
        const std::int32_t rc = utf8_to_utf16(text, slots, cap, &count);
        const std::uint64_t ec = e.result == 0 ? e.n : kUntouched;
        bool same = rc == e.result && count == ec && slots[kRoom] == 0;
        for (std::size_t i = 0; same && i < kRoom; ++i)
            same = slots[i] == (i < e.n ? e.units[i] : 0);
        if (!same) {
            ADD_FAILURE() << where() << ": converting with cap " << cap << " gave " << rc
                          << " count " << count << " units "
                          << hex(Units(slots, slots + kRoom)) << ", expected " << e.result
                          << " count " << ec << " units " << hex(e.vec());
            return false;
        }
    }
    return true;
}

// The oracle agrees with the documented cases, so it can be trusted on the
// rest.
TEST(Utf8Oracle, MatchesTheDocumentedCases) {
    const struct {
        Seq bytes;
        bool ok;
    } cases[] = {
        {{0xC3, 0xA9}, true},        {{0xF4, 0x8F, 0xBF, 0xBF}, true},
        {{0xED, 0x9F, 0xBF}, true},  {{0xC0, 0xAF}, false},
        {{0xE0, 0x80, 0xAF}, false}, {{0xF0, 0x8F, 0xBF, 0xBF}, false},
        {{0xED, 0xA0, 0x80}, false}, {{0xF4, 0x90, 0x80, 0x80}, false},
        {{0xE2, 0x82}, false},       {{0xF8, 0x88, 0x80, 0x80, 0x80}, false},
    };
    for (const auto &c : cases) {
        Seq z = c.bytes;
        z.push_back(0);
        EXPECT_EQ(oracle_decode(z.data()).well_formed, c.ok) << hex(c.bytes);
    }
    const Seq smile = {0xF0, 0x9F, 0x98, 0x80, 0};
    EXPECT_EQ(expected_count(oracle_decode(smile.data())).vec(), (Units{0xD83D, 0xDE00}));
}

// Every sequence of one, two and three bytes from 0x01 to 0xFF each (a
// reduced run takes every 61st three-byte sequence: 61 and 255 share no
// factor, so every byte value still appears in every position).
TEST(Utf8Oracle, EveryShortSequence) {
    GuardedEnd mem(16);
    std::uint64_t checked = 0;
    std::uint8_t s[3];
    for (std::size_t len = 1; len <= 3; ++len) {
        std::size_t combos = 1;
        for (std::size_t i = 0; i < len; ++i) combos *= 255;
        const std::size_t step = len == 3 && kt::reduced() ? 61 : 1;
        for (std::size_t k = 0; k < combos; k += step) {
            std::size_t rest = k;
            for (std::size_t i = len; i-- > 0;) {
                s[i] = static_cast<std::uint8_t>(1 + rest % 255);
                rest /= 255;
            }
            ++checked;
            if (!agrees_with_oracle(mem.place(s, len), len)) return;
        }
    }
    RecordProperty("sequences", std::to_string(checked));
}

// Every lead and second byte of a four-byte sequence, with the third and
// fourth bytes drawn from the values on either side of every boundary that
// matters (ASCII, the continuation range, the lead ranges); a reduced run
// takes the edges of the continuation range and one byte on either side.
TEST(Utf8Oracle, EveryLeadAndSecondOfFourByteSequences) {
    const std::vector<std::uint8_t> tails =
        kt::reduced() ? std::vector<std::uint8_t>{0x7F, 0x80, 0xBF, 0xC0}
                      : std::vector<std::uint8_t>{0x01, 0x41, 0x7F, 0x80, 0x81, 0x8F, 0x90,
                                                  0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xE0, 0xF0, 0xFF};
    GuardedEnd mem(16);
    std::uint64_t checked = 0;
    std::uint8_t s[4];
    for (unsigned a = 1; a <= 0xFF; ++a)
        for (unsigned b = 1; b <= 0xFF; ++b)
            for (const std::uint8_t c : tails)
                for (const std::uint8_t d : tails) {
                    s[0] = static_cast<std::uint8_t>(a);
                    s[1] = static_cast<std::uint8_t>(b);
                    s[2] = c;
                    s[3] = d;
                    ++checked;
                    if (!agrees_with_oracle(mem.place(s, 4), 4)) return;
                }
    RecordProperty("sequences", std::to_string(checked));
}

// Longer texts that mix well-formed characters with stray, cut and
// out-of-range bytes, converted with every capacity from 0 up: this is
// where a wrong step over a character or a pair split at the end of the
// array would show.
TEST(Utf8Oracle, RandomMixedTexts) {
    std::mt19937_64 rng(12345);
    const std::uint8_t odd_bytes[] = {0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xE0, 0xED, 0xF0,
                                      0xF4, 0xF5, 0xF8, 0xFF, 0x9F, 0xA0, 0x8F, 0x90};
    GuardedEnd mem(512);
    for (int round = 0; round < 20000; ++round) {
        Seq text;
        const int pieces = 1 + static_cast<int>(rng() % 12);
        const bool clean = rng() % 3 == 0;
        for (int p = 0; p < pieces; ++p) {
            Seq enc = kref::encode_utf8(kref::random_code_point(rng));
            if (!clean) {
                switch (rng() % 8) {
                    case 0:  // possibly cut
                        enc.resize(1 + static_cast<std::size_t>(rng() % enc.size()));
                        break;
                    case 1: enc = {odd_bytes[rng() % sizeof odd_bytes]}; break;
                    case 2:
                        enc[static_cast<std::size_t>(rng() % enc.size())] =
                            odd_bytes[rng() % sizeof odd_bytes];
                        break;
                    default: break;
                }
            }
            text.insert(text.end(), enc.begin(), enc.end());
        }
        const char *placed = mem.place(text);
        if (!agrees_with_oracle(placed, text.size())) return;

        const OracleText t = oracle_decode(reinterpret_cast<const std::uint8_t *>(placed));
        const std::size_t total = expected_count(t).n;
        for (std::uint64_t cap = 0; cap <= total + 1; ++cap) {
            const Expected e = expected_convert(t, cap);
            const Converted got = convert(placed, cap);
            if (got.result != e.result || got.written != e.vec() ||
                got.count != (e.result == 0 ? e.n : kUntouched)) {
                ADD_FAILURE() << hex(text) << "cap " << cap << ": gave " << got.result << " "
                              << hex(got.written) << ", expected " << e.result << " "
                              << hex(e.vec());
                return;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Every code point, encoded by the reference layer (RFC 3629, 3), decodes
// back to itself.

bool is_surrogate(std::uint32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

TEST(Utf8Decoder, EveryCodePointRoundTrips) {
    GuardedEnd mem(16);
    for (std::uint32_t cp = 1; cp <= 0x10FFFF; ++cp) {
        if (is_surrogate(cp)) continue;
        const Seq enc = kref::encode_utf8(cp);
        const char *text = mem.place(enc);
        Units want;
        kref::append_utf16(cp, want);

        std::uint64_t count = kUntouched;
        std::uint16_t units[3] = {0, 0, 0};
        const std::int32_t rc = utf8_to_utf16(text, nullptr, 0, &count);
        const std::int32_t rv = utf8_to_utf16(text, units, 2, &count);
        const bool ok = rc == 0 && rv == 0 && count == want.size() && units[0] == want[0] &&
                        units[1] == (want.size() == 2 ? want[1] : 0) && units[2] == 0;
        // A pair needs both slots: with one, nothing is written.
        bool split_ok = true;
        if (want.size() == 2) {
            std::uint16_t one[2] = {0, 0};
            std::uint64_t c1 = kUntouched;
            split_ok = utf8_to_utf16(text, one, 1, &c1) == -3 && one[0] == 0 && one[1] == 0 &&
                       c1 == kUntouched;
        }
        if (!ok || !split_ok) {
            ADD_FAILURE() << "U+" << std::hex << std::uppercase << cp << " (" << hex(enc)
                          << "): results " << std::dec << rc << "/" << rv << " count " << count
                          << " units " << hex(Units(units, units + 2)) << " want " << hex(want);
            return;
        }
    }
}

// The same code points as one long text: one pass over some 4 MB.
TEST(Utf8Decoder, AllCodePointsInOneText) {
    Seq all;
    Units want;
    for (std::uint32_t cp = 1; cp <= 0x10FFFF; ++cp) {
        if (is_surrogate(cp)) continue;
        kref::append_utf8(cp, all);
        kref::append_utf16(cp, want);
    }
    // 0x7F one-byte, 0x780 two-byte, 0xF000 three-byte (0xF800 less the
    // 0x800 surrogates) and 0x100000 four-byte characters; the last ones
    // need two units each.
    ASSERT_EQ(want.size(), 0x7Fu + 0x780u + 0xF000u + 2u * 0x100000u);

    GuardedEnd mem(all.size() + 1);
    const char *text = mem.place(all);
    const Counted counted = count_units(text);
    ASSERT_EQ(counted.result, 0);
    ASSERT_EQ(counted.count, want.size());
    Units got(want.size() + 1, 0);
    std::uint64_t count = kUntouched;
    EXPECT_EQ(utf8_to_utf16(text, got.data(), want.size(), &count), 0);
    EXPECT_EQ(count, want.size());
    EXPECT_EQ(got.back(), 0);
    got.pop_back();
    EXPECT_TRUE(got == want);
}

}  // namespace
