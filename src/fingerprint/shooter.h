// Shooter hash: MD5 digests of four 4096-byte blocks joined by ";", or for
// a file of 8192 bytes or less the stable hash of a caller's name.
#pragma once

#include <cstdint>

constexpr std::uint64_t kShooterBlock = 4096;
constexpr std::uint64_t kShooterThreshold = 8192;

// The four block offsets for a size above the threshold, in result order:
// 4096, (S / 3) * 2, S / 3, S - 8192.
void shooter_offsets(std::uint64_t size, std::uint64_t offsets[4]);

// Whether a whole block lies at offset within a file of size bytes.
inline bool shooter_block_fits(std::uint64_t size, std::uint64_t offset) {
    return offset < size && size - offset >= kShooterBlock;
}

// The Shooter hash of an in-memory image (data is read only when len is
// above the threshold), or the fallback for a small one.
std::int32_t shooter_core(const std::uint8_t *data, std::uint64_t len, const char *fallback_name);
