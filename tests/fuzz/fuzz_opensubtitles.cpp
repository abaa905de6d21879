// The OpenSubtitles hash, differentially: for one file image the buffer
// function, the chunk function fed exactly-sized copies of the head and tail
// ranges, the chunk function fed over-long head and tail reads (extra bytes
// after the head range and before the tail range; the whole image as both),
// and the file function on the same bytes in a scratch file must all give
// the reference layer's sum. A virtual file of any size
// up to 2^63 - 1, given only by its head and tail, checks the chunk function
// against the reference.
//
// Input layout: one control byte, then mode-specific parameters, then the
// content (or pattern) of the image.
//   mode 0: the image is the rest of the input, verbatim;
//   mode 1: an image of a chosen size (up to 3 * 65536 + 16) made from the
//           rest of the input as a repeating pattern;
//   mode 2: like 1, with sizes next to 65536, 131072 and 8-byte boundaries;
//   mode 3: a virtual file of a chosen size, checked through the chunk
//           function only.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"

namespace {

constexpr std::uint64_t kRange = kref::kOpenSubtitlesRange;
using kref::opensubtitles_range;

// The chunk function with exact and with over-long head and tail buffers,
// built from the virtual file's bytes; all must give want.
void check_chunks(std::uint64_t size, const kf::Bytes &head_range, const kf::Bytes &tail_range,
                  std::size_t extra_after_head, std::size_t extra_before_tail,
                  std::uint8_t junk, const std::string &want) {
    const std::size_t m = head_range.size();
    {
        kf::HeapBlock head(head_range.data(), m);
        kf::HeapBlock tail(tail_range.data(), m);
        char out[17 + 8];
        std::memset(out, 0x5A, sizeof out);
        const std::int32_t st =
            kelhash_opensubtitles_chunks(head.data(), m, tail.data(), m,
                                         static_cast<std::int64_t>(size), out, 17);
        kf::check_same(kf::observe(st), {KELHASH_OK, "", want}, "chunks (exact)");
        FUZZ_CHECK_STR(out, want);
        for (std::size_t i = 17; i < sizeof out; ++i) FUZZ_CHECK(out[i] == 0x5A);
        // Without an output buffer the result is in g_result only.
        const std::int32_t st2 =
            kelhash_opensubtitles_chunks(head.data(), m, tail.data(), m,
                                         static_cast<std::int64_t>(size), nullptr, 0);
        kf::check_same(kf::observe(st2), {KELHASH_OK, "", want}, "chunks (no out_hex)");
    }
    {
        // Over-long reads: the head read goes on past the range, the tail
        // read starts before it. The extra bytes are junk and must not count.
        kf::HeapBlock head(m + extra_after_head);
        kf::HeapBlock tail(extra_before_tail + m);
        if (m) std::memcpy(head.data(), head_range.data(), m);
        std::memset(head.data() + m, junk, extra_after_head);
        std::memset(tail.data(), junk ^ 0xFF, extra_before_tail);
        if (m) std::memcpy(tail.data() + extra_before_tail, tail_range.data(), m);
        const std::int32_t st = kelhash_opensubtitles_chunks(
            head.data(), head.size(), tail.data(), tail.size(), static_cast<std::int64_t>(size),
            nullptr, 0);
        kf::check_same(kf::observe(st), {KELHASH_OK, "", want}, "chunks (over-long)");
    }
    if (m > 0) {
        // One byte short of the range on either side is rejected.
        kf::HeapBlock head(head_range.data(), m);
        kf::HeapBlock tail(tail_range.data(), m);
        const char *msg = "head and tail must each hold min(total_size, 65536) bytes";
        std::int32_t st = kelhash_opensubtitles_chunks(head.data(), m - 1, tail.data(), m,
                                                       static_cast<std::int64_t>(size), nullptr, 0);
        kf::check_same(kf::observe(st), {KELHASH_ERR_INVALID_ARG, msg, ""}, "short head");
        st = kelhash_opensubtitles_chunks(head.data(), m, tail.data() + 1, m - 1,
                                          static_cast<std::int64_t>(size), nullptr, 0);
        kf::check_same(kf::observe(st), {KELHASH_ERR_INVALID_ARG, msg, ""}, "short tail");
    }
}

void check_image(const kf::Bytes &image, std::size_t extra_after, std::size_t extra_before,
                 std::uint8_t junk) {
    const std::uint64_t size = image.size();
    const std::string want = kref::opensubtitles(image);

    // The buffer function over an exactly-sized copy (a null pointer for
    // the empty image).
    {
        kf::HeapBlock copy(image.data(), image.size());
        const std::int32_t st =
            kelhash_opensubtitles_buffer(size ? copy.data() : nullptr, size);
        kf::check_same(kf::observe(st), {KELHASH_OK, "", want}, "buffer");
    }

    const std::uint64_t m = opensubtitles_range(size);
    const kf::Bytes head(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(m));
    const kf::Bytes tail(image.end() - static_cast<std::ptrdiff_t>(m), image.end());
    check_chunks(size, head, tail, extra_after, extra_before, junk, want);
    {
        // A host that read the whole file passes it as both head and tail.
        kf::HeapBlock whole(image.data(), image.size());
        const std::int32_t st = kelhash_opensubtitles_chunks(
            whole.data(), size, whole.data(), size, static_cast<std::int64_t>(size), nullptr, 0);
        kf::check_same(kf::observe(st), {KELHASH_OK, "", want}, "chunks (whole image twice)");
    }

    const char *path = kf::write_scratch(image.data(), image.size());
    const std::int32_t st = kelhash_opensubtitles_file(path);
    kf::check_same(kf::observe(st), {KELHASH_OK, "", want}, "file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    kf::Reader in(data, size);
    const std::uint8_t ctrl = in.u8();
    const std::uint8_t extras = in.u8();
    const std::size_t extra_after = extras & 0x0F;
    const std::size_t extra_before = extras >> 4;
    const std::uint8_t junk = in.u8();

    switch (ctrl & 3) {
        case 0: {
            check_image(in.rest(), extra_after, extra_before, junk);
            break;
        }
        case 1: {
            const std::uint64_t s = in.u32() % (3 * kRange + 17);
            const kf::Bytes pattern = in.rest();
            check_image(kf::virtual_range(pattern, 0, static_cast<std::size_t>(s)), extra_after,
                        extra_before, junk);
            break;
        }
        case 2: {
            static const std::uint64_t kBases[] = {0, 8, 65536, 131072, 196608};
            const std::uint8_t pick = in.u8();
            const std::uint64_t base = kBases[pick % 5];
            const int delta = static_cast<int>(in.u8() % 33) - 16;
            const std::uint64_t s =
                base + static_cast<std::uint64_t>(delta) > 200000 ? base
                                                                 : base + static_cast<std::uint64_t>(delta);
            const kf::Bytes pattern = in.rest();
            check_image(kf::virtual_range(pattern, 0, static_cast<std::size_t>(s)), extra_after,
                        extra_before, junk);
            break;
        }
        default: {
            // A virtual file of any non-negative size: small ones, sizes next
            // to the range boundaries, and the whole 63-bit span (where the
            // size term wraps the sum).
            const std::uint64_t raw = in.u64();
            std::uint64_t s;
            switch (ctrl >> 6) {
                case 0: s = raw % (3 * kRange); break;
                case 1: s = 0x7FFFFFFFFFFFFFFFULL - (raw % 300000); break;
                default: s = raw & 0x7FFFFFFFFFFFFFFFULL; break;
            }
            const kf::Bytes pattern = in.rest();
            const std::uint64_t m = opensubtitles_range(s);
            const kf::Bytes head = kf::virtual_range(pattern, 0, static_cast<std::size_t>(m));
            const kf::Bytes tail = kf::virtual_range(pattern, s - m, static_cast<std::size_t>(m));
            const std::string want = kref::opensubtitles(s, head, tail);
            check_chunks(s, head, tail, extra_after, extra_before, junk, want);
            break;
        }
    }
    return 0;
}
