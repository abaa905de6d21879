// The two video-file fingerprints from their definitions.
#include <cstring>
#include <stdexcept>

#include "kelhash.h"
#include "reference.h"

namespace kref {

// ---------------------------------------------------------------------------
// OpenSubtitles, byte by byte: byte k of a range is byte k % 8 of its word
// k / 8, so a short last word is zero-filled without being built.

std::uint64_t opensubtitles_range(std::uint64_t size) {
    return size < kOpenSubtitlesRange ? size : kOpenSubtitlesRange;
}

std::uint64_t opensubtitles_sum(std::uint64_t size, const Bytes &head, const Bytes &tail) {
    const std::uint64_t m = opensubtitles_range(size);
    if (head.size() != m || tail.size() != m)
        throw std::invalid_argument("opensubtitles_sum needs both ranges of min(size, 65536) bytes");
    std::uint64_t sum = size;
    for (const Bytes *range : {&head, &tail})
        for (std::size_t k = 0; k < range->size(); ++k)
            sum += static_cast<std::uint64_t>((*range)[k]) << (8 * (k % 8));
    return sum;
}

std::string opensubtitles(std::uint64_t size, const Bytes &head, const Bytes &tail) {
    return hex16(opensubtitles_sum(size, head, tail));
}

std::string opensubtitles(const Bytes &image) {
    const auto m = static_cast<std::ptrdiff_t>(opensubtitles_range(image.size()));
    return opensubtitles(image.size(), Bytes(image.begin(), image.begin() + m),
                         Bytes(image.end() - m, image.end()));
}

// ---------------------------------------------------------------------------
// Shooter.

ShooterOffsets shooter_offsets(std::uint64_t size) {
    // The block at two thirds comes before the one at a third; the
    // quotient is doubled, not 2 * S divided.
    return {4096, (size / 3) * 2, size / 3, size - 8192};
}

bool shooter_block_fits(std::uint64_t size, std::uint64_t offset) {
    return offset < size && size - offset >= kShooterBlock;
}

std::uint64_t shooter_host_read(std::uint64_t size, std::uint64_t offset) {
    if (offset >= size) return 0;
    return size - offset < kShooterBlock ? size - offset : kShooterBlock;
}

const std::string &shooter_zero_digest() {
    static const std::string digest = oracle_md5(Bytes(kShooterBlock, 0));
    return digest;
}

ShooterDigests shooter_digests(std::uint64_t size, const BlockReader &read) {
    if (size <= kShooterThreshold) throw std::invalid_argument("no Shooter blocks at 8192 bytes or less");
    const ShooterOffsets off = shooter_offsets(size);
    ShooterDigests d;
    for (std::size_t i = 0; i < kShooterBlocks; ++i) {
        if (!shooter_block_fits(size, off[i])) {
            d[i] = shooter_zero_digest();
            continue;
        }
        const Bytes block = read(off[i]);
        if (block.size() != kShooterBlock) throw std::runtime_error("a Shooter block needs 4096 bytes");
        d[i] = oracle_md5(block);
    }
    return d;
}

ShooterDigests shooter_digests(const Bytes &image) {
    return shooter_digests(image.size(), [&image](std::uint64_t off) {
        const auto at = image.begin() + static_cast<std::ptrdiff_t>(off);
        return Bytes(at, at + static_cast<std::ptrdiff_t>(kShooterBlock));
    });
}

std::string shooter_join(const ShooterDigests &digests, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) out += ';';
        out += digests[i];
    }
    return out;
}

std::string shooter_hash(std::uint64_t size, const BlockReader &read) {
    return shooter_join(shooter_digests(size, read));
}

std::string shooter_hash(const Bytes &image) { return shooter_join(shooter_digests(image)); }

Outcome shooter_fallback(const char *name) {
    if (name == nullptr)
        return {KELHASH_ERR_TOO_SMALL, "file too small for shooter hash and no fallback name", ""};
    const Utf8Text text = decode_utf8(reinterpret_cast<const std::uint8_t *>(name),
                                      std::strlen(name));
    if (!text.well_formed) return {KELHASH_ERR_INVALID_UTF8, "invalid UTF-8", ""};
    return {KELHASH_OK, "", std::to_string(stable_hash(text.code_points))};
}

Outcome shooter(std::uint64_t size, const BlockReader &read, const char *name) {
    if (size <= kShooterThreshold) return shooter_fallback(name);
    return {KELHASH_OK, "", shooter_hash(size, read)};
}

Outcome shooter(const Bytes &image, const char *name) {
    if (image.size() <= kShooterThreshold) return shooter_fallback(name);
    return {KELHASH_OK, "", shooter_hash(image)};
}

}  // namespace kref
