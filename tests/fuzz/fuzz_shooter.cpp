// The Shooter hash, differentially and against a model.
//
// Image modes: the buffer function, the file function on the same bytes in
// a scratch file, and the chunk function fed the four blocks read at their
// offsets (exactly-sized heap copies; a short block passed in each of the
// ways a host may pass it) must all equal the model: the MD5 digests of the
// blocks at 4096, (S / 3) * 2, S / 3 and S - 8192 (4096 zero bytes for a
// block that does not fit), or for S <= 8192 the decimal stable hash of the
// fallback name with the model's UTF-8 acceptance and hash.
//
// Validation mode: any total_size and, per block, a null or non-null
// pointer with an arbitrary length; status and message must follow the
// validation rules (modelled below), and a success must equal the buffer
// function on the same virtual file (or, for sizes too large to hold, the
// model). A full block is backed by exactly 4096 bytes and a short block
// passed with a length of 4096 or more by a single byte, whatever length is
// declared, so AddressSanitizer reports any read beyond what the library may
// look at.
//
// Input layout: control byte, name control byte, name bytes, mode
// parameters, then the content (or pattern) of the image.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"

namespace {

using kref::kShooterBlock;
using kref::kShooterThreshold;

// The bytes from an offset to the end of the file (0 past it), however many.
std::uint64_t bytes_left(std::uint64_t s, std::uint64_t off) { return off < s ? s - off : 0; }

// One block argument: pointer, declared length and the storage behind it.
struct BlockArg {
    std::unique_ptr<kf::HeapBlock> store;
    const void *ptr = nullptr;
    std::uint64_t len = 0;
};

BlockArg make_block(const kf::Bytes &pattern, std::uint64_t off, std::uint64_t backed,
                    std::uint64_t declared, bool null_ptr) {
    BlockArg b;
    b.len = declared;
    if (!null_ptr) {
        b.store.reset(new kf::HeapBlock(static_cast<std::size_t>(backed)));
        for (std::uint64_t j = 0; j < backed; ++j)
            b.store->data()[j] = kf::virtual_byte(pattern, off + j);
        b.ptr = b.store->data();
    }
    return b;
}

std::int32_t call_chunks(const BlockArg b[4], std::int64_t total, const char *name, char *out,
                         std::uint64_t cap) {
    return kelhash_shooter_chunks(b[0].ptr, b[0].len, b[1].ptr, b[1].len, b[2].ptr, b[2].len,
                                  b[3].ptr, b[3].len, total, name, out, cap);
}

// The chunk function over blocks read from the image at their offsets.
void check_chunks_from_image(const kf::Bytes &image, const char *name, std::uint8_t how,
                             const kf::Outcome &want) {
    const std::uint64_t s = image.size();
    BlockArg b[4];
    if (s <= kShooterThreshold) {
        // The blocks are not looked at: pass null pointers with lengths
        // that would be wrong for a large file.
        for (int i = 0; i < 4; ++i) b[i].len = (how >> i) & 1 ? 4095 : 0;
    } else {
        const kref::ShooterOffsets off = kref::shooter_offsets(s);
        for (std::size_t i = 0; i < 4; ++i) {
            const std::uint64_t left = bytes_left(s, off[i]);
            BlockArg &a = b[i];
            if (kref::shooter_block_fits(s, off[i])) {
                // A read of 4096 bytes, or a longer one up to the end.
                const std::uint64_t len = (how >> i) & 1 ? left : kShooterBlock;
                a.store.reset(new kf::HeapBlock(image.data() + off[i], static_cast<std::size_t>(len)));
                a.ptr = a.store->data();
                a.len = len;
                continue;
            }
            // A short block: length 0 (null or not), the bytes that exist,
            // or a 4096-byte read with the rest zero-filled.
            switch ((how >> 4) & 3) {
                case 0: break;
                case 1:
                    a.store.reset(new kf::HeapBlock(image.data() + off[i], 1));
                    a.ptr = a.store->data();
                    break;
                case 2: {
                    // What a host reads there: the bytes up to the end.
                    const std::uint64_t got = kref::shooter_host_read(s, off[i]);
                    a.store.reset(new kf::HeapBlock(image.data() + off[i], static_cast<std::size_t>(got)));
                    a.ptr = a.store->data();
                    a.len = got;
                    break;
                }
                default:
                    a.store.reset(new kf::HeapBlock(kShooterBlock));
                    std::memset(a.store->data(), 0, kShooterBlock);
                    std::memcpy(a.store->data(), image.data() + off[i], static_cast<std::size_t>(left));
                    a.ptr = a.store->data();
                    a.len = kShooterBlock;
                    break;
            }
        }
    }
    char out[132 + 4];
    std::memset(out, 0x5A, sizeof out);
    const bool use_out = (how & 0x40) != 0;
    const std::int32_t st = call_chunks(b, static_cast<std::int64_t>(s), name,
                                        use_out ? out : nullptr, use_out ? 132 : 0);
    kf::check_same(kf::observe(st), want, "chunks");
    if (use_out) {
        if (st == KELHASH_OK) {
            FUZZ_CHECK_STR(out, want.result);
            for (std::size_t i = want.result.size() + 1; i < sizeof out; ++i)
                FUZZ_CHECK(out[i] == 0x5A);
        } else {
            FUZZ_CHECK(out[0] == 0);
            for (std::size_t i = 1; i < sizeof out; ++i) FUZZ_CHECK(out[i] == 0x5A);
        }
    }
}

void check_image(const kf::Bytes &image, const char *name, std::uint8_t how) {
    const kf::Outcome want = kref::shooter(image, name);

    {
        kf::HeapBlock copy(image.data(), image.size());
        const std::int32_t st =
            kelhash_shooter_buffer(image.empty() ? nullptr : copy.data(), image.size(), name);
        kf::check_same(kf::observe(st), want, "buffer");
    }
    {
        const char *path = kf::write_scratch(image.data(), image.size());
        const std::int32_t st = kelhash_shooter_file(path, name);
        kf::check_same(kf::observe(st), want, "file");
    }
    check_chunks_from_image(image, name, how, want);
}

// The validation rules for the four blocks of a total size above 8192.
kf::Outcome model_blocks(std::uint64_t s, const BlockArg b[4]) {
    const kref::ShooterOffsets off = kref::shooter_offsets(s);
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint64_t left = kref::shooter_host_read(s, off[i]);
        const bool null_ptr = b[i].ptr == nullptr;
        if (kref::shooter_block_fits(s, off[i])) {
            if (null_ptr || b[i].len < kShooterBlock)
                return {KELHASH_ERR_INVALID_ARG, "shooter block needs 4096 bytes at its offset", ""};
            continue;
        }
        if (b[i].len == 0) continue;
        const bool accepted_len = b[i].len == left || b[i].len >= kShooterBlock;
        if (!accepted_len)
            return {KELHASH_ERR_INVALID_ARG, "short shooter block has the wrong length", ""};
        if (null_ptr)
            return {KELHASH_ERR_INVALID_ARG, "null shooter block with nonzero length", ""};
    }
    return {KELHASH_OK, "", ""};
}

void check_validation(const char *name, kf::Reader &in) {
    const std::uint8_t kind = in.u8();
    const std::uint64_t raw = in.u64();
    const std::int64_t total = kf::pick_total(kind, raw, kShooterThreshold + 1, kShooterThreshold + 1, 70000);
    const bool null_out = (kind & 4) != 0;

    std::uint8_t picks[4];
    std::uint64_t randoms[4];
    for (int i = 0; i < 4; ++i) {
        picks[i] = in.u8();
        randoms[i] = in.u64();
    }
    const kf::Bytes pattern = in.rest();

    const std::uint64_t s = total < 0 ? 0 : static_cast<std::uint64_t>(total);
    const kref::ShooterOffsets off = kref::shooter_offsets(s);
    BlockArg b[4];
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint64_t left = total > static_cast<std::int64_t>(kShooterThreshold) ? bytes_left(s, off[i]) : 0;
        const std::uint64_t candidates[] = {0,    left, left - 1, left + 1,   4095,
                                            4096, 4097, 5000,     randoms[i], ~0ULL};
        const std::uint64_t len = candidates[(picks[i] >> 1) % 10];
        const bool null_ptr = (picks[i] & 1) != 0;
        // What the block may be read for: 4096 bytes of a full block, none
        // of a short one. Back exactly that (a short block that exists at
        // all gets its real length when that is small, else one byte).
        std::uint64_t backed;
        if (left >= kShooterBlock)
            backed = len < kShooterBlock ? len : kShooterBlock;
        else
            backed = len <= left ? len : 1;
        b[i] = make_block(pattern, off[i], backed, len, null_ptr);
    }

    kf::Outcome want;
    if (total < 0) {
        want = {KELHASH_ERR_INVALID_ARG, "total_size is negative", ""};
    } else if (s <= kShooterThreshold) {
        want = kref::shooter_fallback(name);
    } else {
        want = model_blocks(s, b);
        if (want.status == KELHASH_OK) want.result = kref::shooter_hash(s, kf::virtual_blocks(pattern));
    }

    char out[132];
    const std::int32_t st = call_chunks(b, total, name, null_out ? nullptr : out, null_out ? 0 : sizeof out);
    kf::check_same(kf::observe(st), want, "chunks (validation)");
    if (!null_out) FUZZ_CHECK_STR(out, st == KELHASH_OK ? want.result : "");

    // A success on a size small enough to hold equals the buffer function.
    if (st == KELHASH_OK && s <= 100000) {
        const kf::Bytes image = kf::virtual_range(pattern, 0, static_cast<std::size_t>(s));
        const std::int32_t bst = kelhash_shooter_buffer(image.data(), image.size(), name);
        kf::check_same(kf::observe(bst), want, "buffer (validation)");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    kf::Reader in(data, size);
    const std::uint8_t ctrl = in.u8();
    const std::uint8_t name_ctrl = in.u8();
    const kf::Bytes name_raw = in.take(name_ctrl % 24);
    std::unique_ptr<kf::HeapBlock> name_store;
    const char *name = nullptr;
    if ((name_ctrl & 0x80) == 0) {
        name_store = kf::make_text(name_raw);
        name = reinterpret_cast<const char *>(name_store->data());
    }

    switch (ctrl & 3) {
        case 0: {
            const std::uint8_t how = in.u8();
            check_image(in.rest(), name, how);
            break;
        }
        case 1: {
            const std::uint64_t s = in.u32() % (65536 + 16384 + 1);
            const std::uint8_t how = in.u8();
            const kf::Bytes pattern = in.rest();
            check_image(kf::virtual_range(pattern, 0, static_cast<std::size_t>(s)), name, how);
            break;
        }
        case 2: {
            static const std::uint64_t kBases[] = {8192, 12284, 12288, 16384, 24576, 65536};
            const std::uint8_t pick = in.u8();
            const int delta = static_cast<int>(in.u8() % 17) - 8;
            const std::uint64_t s = kBases[pick % 6] + static_cast<std::uint64_t>(static_cast<std::int64_t>(delta));
            const std::uint8_t how = in.u8();
            const kf::Bytes pattern = in.rest();
            check_image(kf::virtual_range(pattern, 0, static_cast<std::size_t>(s)), name, how);
            break;
        }
        default:
            check_validation(name, in);
            break;
    }
    return 0;
}
