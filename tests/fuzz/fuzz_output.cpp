// The output-buffer protocol of the two chunk functions, for arbitrary
// out_cap (0, 1, around 17, 131 and 132, and huge) and null or non-null
// out_hex, with valid and invalid hashing arguments.
//
// The caller's buffer is an exactly-sized heap block of out_cap bytes (up to
// 400; a larger declared capacity is backed by 400 bytes, more than any
// result needs) filled with a guard value. Properties, checked against a
// model of the protocol:
//  - status and message: a negative total_size first, then a null out_hex
//    with a nonzero out_cap, then the function's own checks, then "output
//    buffer too small" when out_cap is below the result's length plus 1;
//  - g_result: empty after status 3 (and after the Shooter fallback's
//    failures), the complete result after status 0 and 6, whatever earlier
//    calls left there;
//  - out_hex: on success exactly the result and its NUL and nothing beyond;
//    on failure only byte 0, set to NUL, when out_cap is not 0; with out_cap
//    0 nothing at all.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"

namespace {

constexpr std::uint8_t kGuard = 0xA5;
constexpr std::uint64_t kBacked = 400;

std::uint64_t pick_cap(kf::Reader &in) {
    static const std::uint64_t kCaps[] = {0,   1,   2,   9,   10,  11,  12,  16,  17,
                                          18,  32,  33,  130, 131, 132, 133, 255, 256};
    const std::uint8_t k = in.u8();
    const std::uint64_t raw = in.u64();
    if (k < 200) return kCaps[k % (sizeof kCaps / sizeof kCaps[0])];
    if (k < 240) return raw % 512;
    return raw | (static_cast<std::uint64_t>(k & 1) << 63);
}

// What the whole call must do, from the total size, the caller's buffer and
// the function's own outcome.
kf::Outcome model(std::int64_t total, bool out_null, std::uint64_t cap, const kf::Outcome &own) {
    if (total < 0) return {KELHASH_ERR_INVALID_ARG, "total_size is negative", ""};
    if (out_null && cap != 0) return {KELHASH_ERR_INVALID_ARG, "null out_hex with nonzero out_cap", ""};
    if (own.status != KELHASH_OK) return {own.status, own.error, ""};
    if (out_null) return own;
    if (cap < own.result.size() + 1)
        return {KELHASH_ERR_BUFFER_TOO_SMALL, "output buffer too small", own.result};
    return own;
}

void check_out(const kf::HeapBlock *out, std::uint64_t cap, const kf::Outcome &want) {
    if (out == nullptr) return;
    const std::uint8_t *p = out->data();
    std::size_t written = 0;
    if (cap != 0) {
        if (want.status == KELHASH_OK) {
            written = want.result.size() + 1;
            FUZZ_CHECK(std::memcmp(p, want.result.c_str(), written) == 0);
        } else {
            written = 1;
            FUZZ_CHECK(p[0] == 0);
        }
    }
    for (std::size_t i = written; i < out->size(); ++i) FUZZ_CHECK(p[i] == kGuard);
}

// Something in both buffers that the call has to replace.
void dirty_buffers(const std::uint8_t *data, std::size_t size) {
    FUZZ_CHECK(kelhash_md5_buffer(data, size) == KELHASH_OK);
    FUZZ_CHECK(kelhash_md5_buffer(nullptr, 1) == KELHASH_ERR_INVALID_ARG);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    kf::Reader in(data, size);
    const std::uint8_t ctrl = in.u8();
    const bool out_null = (ctrl & 2) != 0;
    const std::uint64_t cap = pick_cap(in);
    const std::uint8_t scenario = in.u8();
    const std::uint64_t raw = in.u64();
    const kf::Bytes pattern = in.take(64);
    const kf::Bytes name_raw = in.take(16);

    std::unique_ptr<kf::HeapBlock> out;
    if (!out_null) {
        out.reset(new kf::HeapBlock(static_cast<std::size_t>(cap < kBacked ? cap : kBacked)));
        std::memset(out->data(), kGuard, out->size());
    }
    char *out_hex = out ? reinterpret_cast<char *>(out->data()) : nullptr;

    std::int32_t st;
    kf::Outcome own;
    std::int64_t total;
    if ((ctrl & 1) == 0) {
        // OpenSubtitles: a virtual file, its head and tail as exact copies,
        // one of them possibly short or null.
        total = kf::pick_total(scenario, raw, 200, 65530, 131090);
        const std::uint64_t s = total < 0 ? 0 : static_cast<std::uint64_t>(total);
        const auto m = static_cast<std::size_t>(kref::opensubtitles_range(s));
        std::uint64_t head_len = m, tail_len = m;
        bool head_null = false, tail_null = false;
        switch ((scenario >> 2) & 7) {
            case 1: if (m) head_len = m - 1; break;
            case 2: if (m) tail_len = m - 1; break;
            case 3: head_null = true; break;
            case 4: tail_null = true; break;
            case 5: head_null = tail_null = true; head_len = tail_len = raw & 0xFF; break;
            default: break;
        }
        const kf::Bytes head_bytes = kf::virtual_range(pattern, 0, static_cast<std::size_t>(head_len));
        const kf::Bytes tail_bytes =
            kf::virtual_range(pattern, s - tail_len, static_cast<std::size_t>(tail_len));
        kf::HeapBlock head(head_bytes.data(), head_bytes.size());
        kf::HeapBlock tail(tail_bytes.data(), tail_bytes.size());

        if (std::min(head_len, tail_len) < m)
            own = {KELHASH_ERR_INVALID_ARG, "head and tail must each hold min(total_size, 65536) bytes", ""};
        else if (s != 0 && (head_null || tail_null))
            own = {KELHASH_ERR_INVALID_ARG, "null chunk", ""};
        else
            own = {KELHASH_OK, "", kref::opensubtitles(s, kf::virtual_range(pattern, 0, m),
                                                     kf::virtual_range(pattern, s - m, m))};

        dirty_buffers(data, size);
        st = kelhash_opensubtitles_chunks(head_null ? nullptr : head.data(), head_len,
                                          tail_null ? nullptr : tail.data(), tail_len, total,
                                          out_hex, cap);
    } else {
        // Shooter: a fallback (name null, from the input, or ASCII), a hash
        // of a virtual file with valid blocks, or block 0 missing.
        total = kf::pick_total(scenario, raw, kref::kShooterThreshold + 1, kref::kShooterThreshold + 1, 20000);
        const std::uint64_t s = total < 0 ? 0 : static_cast<std::uint64_t>(total);
        std::unique_ptr<kf::HeapBlock> name_store;
        const char *name = nullptr;
        switch ((scenario >> 2) & 3) {
            case 0: break;
            case 1: name_store = kf::make_text(name_raw); break;
            default: {
                kf::Bytes ascii = name_raw;
                for (auto &c : ascii) c = static_cast<std::uint8_t>('a' + c % 26);
                name_store = kf::make_text(ascii);
                break;
            }
        }
        if (name_store) name = reinterpret_cast<const char *>(name_store->data());
        const bool drop_block0 = ((scenario >> 4) & 3) == 3;

        const kref::ShooterOffsets off = kref::shooter_offsets(s);
        std::unique_ptr<kf::HeapBlock> blocks[4];
        const void *ptr[4] = {};
        std::uint64_t len[4] = {};
        if (s > kref::kShooterThreshold) {
            for (std::size_t i = 0; i < 4; ++i) {
                if (!kref::shooter_block_fits(s, off[i])) continue;  // short: length 0
                if (i == 0 && drop_block0) continue;
                const kf::Bytes b = kf::virtual_range(pattern, off[i], kref::kShooterBlock);
                blocks[i].reset(new kf::HeapBlock(b.data(), b.size()));
                ptr[i] = blocks[i]->data();
                len[i] = kref::kShooterBlock;
            }
        }
        if (s > kref::kShooterThreshold && drop_block0)
            own = {KELHASH_ERR_INVALID_ARG, "shooter block needs 4096 bytes at its offset", ""};
        else
            own = kref::shooter(s, kf::virtual_blocks(pattern), name);

        dirty_buffers(data, size);
        st = kelhash_shooter_chunks(ptr[0], len[0], ptr[1], len[1], ptr[2], len[2], ptr[3], len[3],
                                    total, name, out_hex, cap);
    }

    const kf::Outcome want = model(total, out_null, cap, own);
    kf::check_same(kf::observe(st), want, (ctrl & 1) ? "shooter chunks" : "opensubtitles chunks");
    check_out(out.get(), cap, want);
    return 0;
}
