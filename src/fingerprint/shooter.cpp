#include "fingerprint/shooter.h"

#include <cstdio>
#include <cstring>

#include "frame/frame.h"
#include "frame/stream.h"
#include "kelhash.h"
#include "md5/md5.h"
#include "text/stable_hash.h"

namespace {

// Appends block index's digest to g_result (after a ";" unless it is the
// first) and ends the string, so g_result holds a whole string after every
// block.
void emit_digest(int index, const std::uint8_t *block) {
    std::uint8_t digest[16];
    kel_md5(block, kShooterBlock, digest);
    char *p = g_result + index * 33;
    if (index > 0) p[-1] = ';';
    *hex_lower_bytes(p, digest, sizeof digest) = '\0';
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

const std::uint8_t kZeroBlock[kShooterBlock] = {};

}  // namespace

void shooter_offsets(std::uint64_t size, std::uint64_t offsets[4]) {
    offsets[0] = 4096;
    offsets[1] = (size / 3) * 2;
    offsets[2] = size / 3;
    offsets[3] = size - 8192;
}

std::int32_t shooter_core(const std::uint8_t *data, std::uint64_t len, const char *fallback_name) {
    g_error[0] = '\0';
    g_result[0] = '\0';
    if (len <= kShooterThreshold) return shooter_fallback(fallback_name);

    std::uint64_t offsets[4];
    shooter_offsets(len, offsets);
    for (int i = 0; i < 4; ++i) {
        // A block that does not fit hashes as zeros; its partial bytes are
        // not used.
        emit_digest(i, shooter_block_fits(len, offsets[i]) ? data + offsets[i] : kZeroBlock);
    }
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

    std::uint64_t offsets[4];
    shooter_offsets(s, offsets);
    std::uint8_t block[kShooterBlock];
    for (int i = 0; i < 4; ++i) {
        if (!stream_seek(f, static_cast<std::int64_t>(offsets[i]))) {
            std::fclose(f);
            return fail(Failure::seek_failed);
        }
        std::size_t got = 0;
        const ReadOutcome r = stream_read(f, block, sizeof block, &got);
        // A block cut short by the end of the file hashes as zeros, like a
        // block that does not fit; a failing read is reported instead of
        // passing zeros off as the file's content.
        if (r == ReadOutcome::failed) {
            std::fclose(f);
            return fail(Failure::read_error);
        }
        emit_digest(i, r == ReadOutcome::complete ? block : kZeroBlock);
    }
    std::fclose(f);
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

    const void *const ptrs[4] = {block0, block1, block2, block3};
    const std::uint64_t lens[4] = {block0_len, block1_len, block2_len, block3_len};
    std::uint64_t offsets[4];
    shooter_offsets(s, offsets);

    // Validate all four before hashing any.
    bool full[4];
    for (int i = 0; i < 4; ++i) {
        const std::uint64_t left = offsets[i] < s ? s - offsets[i] : 0;
        full[i] = left >= kShooterBlock;
        if (full[i]) {
            if (ptrs[i] == nullptr || lens[i] < kShooterBlock)
                return fail(Failure::shooter_block_short);
            continue;
        }
        if (lens[i] == 0) continue;
        if (lens[i] != left && lens[i] < kShooterBlock)
            return fail(Failure::shooter_block_wrong_length);
        if (ptrs[i] == nullptr) return fail(Failure::shooter_block_null);
    }

    for (int i = 0; i < 4; ++i)
        emit_digest(i, full[i] ? static_cast<const std::uint8_t *>(ptrs[i]) : kZeroBlock);
    return output_finish(out_hex, out_cap);
}

}  // extern "C"
