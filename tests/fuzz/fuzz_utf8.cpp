// The strict UTF-8 decoder and the stable string hash on arbitrary bytes.
//
// The text is the input up to its first 0x00, copied into a heap block that
// ends with that terminator, so AddressSanitizer reports any read past it.
// Properties:
//  - counting mode accepts exactly what Unicode's table of well-formed byte
//    sequences accepts (the reference layer's decoder), and counts the
//    model's units; a failure leaves the count;
//  - converting with exactly the counted capacity succeeds with the same
//    count and writes exactly those units (the array is exactly sized);
//  - converting with a smaller capacity returns -3 when a character of the
//    well-formed prefix runs out of room and -1 when the malformed character
//    is reached first, writes the units of the characters that fitted and
//    nothing at or beyond the capacity;
//  - kelhash_stable_utf8 gives status 0 with the model's hash (0 to
//    2147483647, the same on a second call) for accepted text, status 4 with
//    "invalid UTF-8" and an untouched out for the rest, never touches
//    g_result, and rejects a null out.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "text/utf8.h"

namespace {

constexpr std::uint64_t kUntouched = 0xC0FFEE0DDBA11ULL;
constexpr std::uint16_t kGuard = 0xA5A5;

// What the decoder must produce for a text: the UTF-16 units of the
// well-formed characters before the end or the first malformed one, and
// for each of those characters the unit count after it.
struct Utf8Model {
    bool ok = false;
    std::vector<std::uint16_t> units;
    std::vector<std::size_t> ends;
};

Utf8Model model_of(const std::uint8_t *s, std::size_t n) {
    const kref::Utf8Text text = kref::decode_utf8(s, n);
    Utf8Model m;
    m.ok = text.well_formed;
    for (const std::uint32_t cp : text.code_points) {
        kref::append_utf16(cp, m.units);
        m.ends.push_back(m.units.size());
    }
    return m;
}

void check_convert(const char *text, const Utf8Model &model, std::size_t cap) {
    // cap + 8 slots, the last 8 (and everything from the first unit not
    // written) filled with a guard value.
    std::vector<std::uint16_t> arr(cap + 8, kGuard);
    std::uint64_t count = kUntouched;
    const std::int32_t r = utf8_to_utf16(text, arr.data(), cap, &count);

    // How many whole characters of the well-formed prefix fit into cap.
    std::size_t fitted = 0;
    bool ran_out = false;
    for (std::size_t end : model.ends) {
        if (end > cap) {
            ran_out = true;
            break;
        }
        fitted = end;
    }
    std::int32_t want;
    if (ran_out)
        want = -3;
    else
        want = model.ok ? 0 : -1;
    FUZZ_CHECK(r == want);
    if (r == 0)
        FUZZ_CHECK(count == model.units.size());
    else
        FUZZ_CHECK(count == kUntouched);
    for (std::size_t i = 0; i < fitted; ++i) FUZZ_CHECK(arr[i] == model.units[i]);
    for (std::size_t i = fitted; i < arr.size(); ++i) FUZZ_CHECK(arr[i] == kGuard);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::unique_ptr<kf::HeapBlock> block = kf::make_text(data, size);
    const std::size_t n = block->size() - 1;
    const char *text = reinterpret_cast<const char *>(block->data());

    const Utf8Model model = model_of(block->data(), n);

    // Counting mode; cap is ignored there, so any value gives the same.
    std::uint64_t count = kUntouched;
    const std::int32_t r = utf8_to_utf16(text, nullptr, 0, &count);
    FUZZ_CHECK(r == (model.ok ? 0 : -1));
    FUZZ_CHECK(count == (model.ok ? model.units.size() : kUntouched));
    std::uint64_t count2 = kUntouched;
    const std::uint64_t odd_cap = size > n + 1 ? data[n + 1] : 1;
    FUZZ_CHECK(utf8_to_utf16(text, nullptr, odd_cap, &count2) == r);
    FUZZ_CHECK(count2 == count);

    // Converting with exactly the counted capacity, into an exactly sized
    // array (a count of 0 gets a block with no accessible unit).
    if (model.ok) {
        kf::HeapBlock units(static_cast<std::size_t>(count) * sizeof(std::uint16_t));
        std::uint64_t converted = kUntouched;
        auto *u = reinterpret_cast<std::uint16_t *>(units.data());
        FUZZ_CHECK(utf8_to_utf16(text, u, count, &converted) == 0);
        FUZZ_CHECK(converted == count);
        for (std::size_t i = 0; i < model.units.size(); ++i) {
            std::uint16_t v;
            std::memcpy(&v, units.data() + 2 * i, sizeof v);
            FUZZ_CHECK(v == model.units[i]);
            FUZZ_CHECK(v != 0);
        }
    }

    // Converting with every smaller capacity for short texts, with a few
    // chosen ones otherwise, and with a capacity above the need.
    const std::size_t full = model.units.size();
    if (full <= 64) {
        for (std::size_t cap = 0; cap <= full + 1; ++cap) check_convert(text, model, cap);
    } else {
        check_convert(text, model, 0);
        check_convert(text, model, 1);
        check_convert(text, model, full / 2);
        check_convert(text, model, full - 1);
        check_convert(text, model, full);
        check_convert(text, model, full + 1);
    }

    // The exported hash.
    const std::string before = kelhash_result();
    std::int32_t out = -12345;
    const std::int32_t st = kelhash_stable_utf8(text, &out);
    if (model.ok) {
        FUZZ_CHECK(st == KELHASH_OK);
        FUZZ_CHECK_STR(kelhash_last_error(), "");
        FUZZ_CHECK(out >= 0);
        FUZZ_CHECK(out == kref::stable_hash(model.units));
        std::int32_t again = -1;
        FUZZ_CHECK(kelhash_stable_utf8(text, &again) == KELHASH_OK);
        FUZZ_CHECK(again == out);
    } else {
        FUZZ_CHECK(st == KELHASH_ERR_INVALID_UTF8);
        FUZZ_CHECK_STR(kelhash_last_error(), "invalid UTF-8");
        FUZZ_CHECK(out == -12345);
    }
    FUZZ_CHECK(kelhash_stable_utf8(text, nullptr) == KELHASH_ERR_INVALID_ARG);
    FUZZ_CHECK_STR(kelhash_last_error(), "null argument");
    FUZZ_CHECK_STR(kelhash_result(), before);

    // Leave a different result behind now and then, so the next input's
    // "g_result unchanged" check sees more than one value.
    if (n > 0 && (data[0] & 0x0F) == 0) kelhash_md5_buffer(data, size);
    return 0;
}
