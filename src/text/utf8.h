// Strict UTF-8 (RFC 3629) to UTF-16 decoder.
#pragma once

#include <cstdint>

// Decodes the NUL-terminated text in one forward pass. With units null it
// only counts the UTF-16 units the text needs (cap ignored); otherwise it
// writes them into units[0, cap). Returns 0 with *count set, -1 for text
// that is not well-formed, -3 when the next character's units do not fit.
// *count is written on success only; no byte after the terminator is read.
std::int32_t utf8_to_utf16(const char *text, std::uint16_t *units, std::uint64_t cap,
                           std::uint64_t *count);
