#include "fingerprint/shooter.h"

#include <cstdio>
#include <cstring>

#include "frame/frame.h"
#include "frame/stream.h"
#include "kelhash.h"
#include "md5/md5_lanes.h"
#include "text/stable_hash.h"

namespace {

constexpr int kBlockCount = 4;
// Each digest is 32 hexadecimal digits; digests after the first follow a
// ";", so digest i starts at i * kDigestStride in g_result.
constexpr std::size_t kDigestHex = 32;
constexpr std::size_t kDigestStride = kDigestHex + 1;
// Block 0 starts one block into the file, block 3 two blocks before its end.
constexpr std::uint64_t kFirstBlockOffset = kShooterBlock;
constexpr std::uint64_t kLastBlockFromEnd = 2 * kShooterBlock;

static_assert(kBlockCount == kMd5Lanes, "one lane per Shooter block");

const std::uint8_t kZeroBlock[kShooterBlock] = {};

// Writes the digests of the first count blocks into g_result, each after a
// ";" unless it is the first, and ends the string after the last. A null
// block hashes as 4096 zero bytes. The four blocks are hashed at once, one
// per lane; those from count on are not written.
void emit_digests(const std::uint8_t *const blocks[kBlockCount], int count) {
    if (count == 0) return;
    const std::uint8_t *lanes[kMd5Lanes];
    for (int i = 0; i < kMd5Lanes; ++i) lanes[i] = blocks[i] != nullptr ? blocks[i] : kZeroBlock;
    std::uint8_t digests[kMd5Lanes][16];
    md5_x4(lanes, kShooterBlock, digests);
    for (int i = 0; i < count; ++i) {
        char *p = g_result + static_cast<std::size_t>(i) * kDigestStride;
        if (i > 0) p[-1] = ';';
        *hex_lower_bytes(p, digests[i], sizeof digests[i]) = '\0';
    }
}

// The small-file fallback: the decimal stable hash of the name.
std::int32_t shooter_fallback(const char *fallback_name) {
    if (fallback_name == nullptr) return fail(Failure::too_small_no_name);
    std::int32_t value = 0;
    if (const std::int32_t st = stable_hash_utf8(fallback_name, &value); st != KELHASH_OK)
        return st;
    std::snprintf(g_result, sizeof g_result, "%d", static_cast<int>(value));
    return KELHASH_OK;
}

}  // namespace

void shooter_offsets(std::uint64_t size, std::uint64_t offsets[4]) {
    offsets[0] = kFirstBlockOffset;
    offsets[1] = (size / 3) * 2;
    offsets[2] = size / 3;
    offsets[3] = size - kLastBlockFromEnd;
}

std::int32_t shooter_core(const std::uint8_t *data, std::uint64_t len, const char *fallback_name) {
    g_error[0] = '\0';
    g_result[0] = '\0';
    if (len <= kShooterThreshold) return shooter_fallback(fallback_name);

    std::uint64_t offsets[kBlockCount];
    shooter_offsets(len, offsets);
    const std::uint8_t *blocks[kBlockCount];
    for (int i = 0; i < kBlockCount; ++i) {
        // A block that does not fit hashes as zeros; its partial bytes are
        // not used.
        blocks[i] = shooter_block_fits(len, offsets[i]) ? data + offsets[i] : nullptr;
    }
    emit_digests(blocks, kBlockCount);
    return KELHASH_OK;
}

extern "C" {

KELHASH_API int32_t kelhash_shooter_buffer(const void *data, uint64_t len,
                                           const char *fallback_name) {
    if (data == nullptr && len != 0) {
        clear_error();
        return fail(Failure::null_data);
    }
    static const std::uint8_t kEmpty[1] = {0};
    const auto *bytes = data != nullptr ? static_cast<const std::uint8_t *>(data) : kEmpty;
    return shooter_core(bytes, len, fallback_name);
}

KELHASH_API int32_t kelhash_shooter_file(const char *path, const char *fallback_name) {
    clear_error();
    std::FILE *f = nullptr;
    std::int64_t size = 0;
    if (const std::int32_t st = stream_open_sized(path, &f, &size); st != KELHASH_OK) return st;

    const auto s = static_cast<std::uint64_t>(size);
    if (s <= kShooterThreshold) {
        std::fclose(f);
        return shooter_core(kZeroBlock, s, fallback_name);
    }

    std::uint64_t offsets[kBlockCount];
    shooter_offsets(s, offsets);
    // The four blocks of a cold file are fetched at once rather than one
    // after another.
    stream_will_need(f, offsets, kBlockCount, kShooterBlock);
    // All four blocks are read first and then hashed together. When block
    // k cannot be sought or read, g_result still gets the digests of the
    // blocks before it, as if each had been written as soon as it was read.
    std::uint8_t buffers[kBlockCount][kShooterBlock];
    const std::uint8_t *blocks[kBlockCount] = {};
    for (int i = 0; i < kBlockCount; ++i) {
        if (!stream_seek(f, static_cast<std::int64_t>(offsets[i]))) {
            std::fclose(f);
            emit_digests(blocks, i);
            return fail(Failure::seek_failed);
        }
        std::size_t got = 0;
        const ReadOutcome r = stream_read(f, buffers[i], sizeof buffers[i], &got);
        // A block cut short by the end of the file hashes as zeros, like a
        // block that does not fit; a failing read is reported instead of
        // passing zeros off as the file's content.
        if (r == ReadOutcome::failed) {
            std::fclose(f);
            emit_digests(blocks, i);
            return fail(Failure::read_error);
        }
        blocks[i] = r == ReadOutcome::complete ? buffers[i] : nullptr;
    }
    std::fclose(f);
    emit_digests(blocks, kBlockCount);
    return KELHASH_OK;
}

KELHASH_API int32_t kelhash_shooter_chunks(const void *block0, uint64_t block0_len,
                                           const void *block1, uint64_t block1_len,
                                           const void *block2, uint64_t block2_len,
                                           const void *block3, uint64_t block3_len,
                                           int64_t total_size, const char *fallback_name,
                                           char *out_hex, uint64_t out_cap) {
    if (const std::int32_t st = output_begin(out_hex, out_cap, total_size); st != KELHASH_OK)
        return st;
    const auto s = static_cast<std::uint64_t>(total_size);

    if (s <= kShooterThreshold) {
        // The fallback depends on the name alone; the blocks are not looked at.
        if (const std::int32_t st = shooter_core(kZeroBlock, s, fallback_name); st != KELHASH_OK)
            return st;
        return output_finish(out_hex, out_cap);
    }

    const void *const ptrs[kBlockCount] = {block0, block1, block2, block3};
    const std::uint64_t lens[kBlockCount] = {block0_len, block1_len, block2_len, block3_len};
    std::uint64_t offsets[kBlockCount];
    shooter_offsets(s, offsets);

    // Validate all four before hashing any. A short block hashes as zeros:
    // its bytes, if the host passed any, are not read.
    const std::uint8_t *blocks[kBlockCount] = {};
    for (int i = 0; i < kBlockCount; ++i) {
        const std::uint64_t left = offsets[i] < s ? s - offsets[i] : 0;
        if (left >= kShooterBlock) {
            if (ptrs[i] == nullptr || lens[i] < kShooterBlock)
                return fail(Failure::shooter_block_short);
            blocks[i] = static_cast<const std::uint8_t *>(ptrs[i]);
            continue;
        }
        if (lens[i] == 0) continue;
        if (lens[i] != left && lens[i] < kShooterBlock)
            return fail(Failure::shooter_block_wrong_length);
        if (ptrs[i] == nullptr) return fail(Failure::shooter_block_null);
    }

    emit_digests(blocks, kBlockCount);
    return output_finish(out_hex, out_cap);
}

}  // extern "C"
