// OpenSubtitles hash: the file size plus the little-endian 64-bit words of
// the first and last min(S, 65536) bytes, modulo 2^64.
#pragma once

#include <cstdint>

// Reads min(n, 8) bytes (n >= 1) as a little-endian word, zero-filled above.
std::uint64_t read_le_u64_pad(const std::uint8_t *p, std::uint64_t n);

// Adds the words of a range of w bytes at p, cut from its first byte, to sum.
// p needs no particular alignment; a short last word is zero-filled.
std::uint64_t sum_range(std::uint64_t sum, const std::uint8_t *p, std::uint64_t w);

// Range length of the hash: min(size, 65536).
constexpr std::uint64_t kOpenSubtitlesRange = 65536;
