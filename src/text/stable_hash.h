// The stable string hash, as the library's own code calls it.
#pragma once

#include <cstdint>

// The hash of the NUL-terminated UTF-8 text into *out (0 to 2^31-1), with
// the status and message rule of the exported kelhash_stable_utf8, which is
// a thin wrapper around it. Internal callers use this one: reaching the
// exported symbol would go through the dynamic linker, and with two copies
// of the library in one process it could land in the other copy.
std::int32_t stable_hash_utf8(const char *text, std::int32_t *out);
