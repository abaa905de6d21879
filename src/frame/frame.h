// The library frame: the two process-wide buffers, the one table of failure
// messages, hexadecimal encoders and the output-buffer protocol shared by
// the two chunk functions.
#pragma once

#include <cstddef>
#include <cstdint>

extern char g_result[256];
extern char g_error[256];

// Every failure the library can report, with its status in the table in
// frame.cpp. Keeping the text and the code together means a function cannot
// report a message under the wrong status.
enum class Failure : std::uint8_t {
    null_path,
    null_data,
    null_argument,
    total_size_negative,
    null_out_hex,
    chunk_too_short,
    null_chunk,
    shooter_block_short,
    shooter_block_wrong_length,
    shooter_block_null,
    cannot_open,
    seek_failed,
    ftell_failed,
    read_error,
    too_small_no_name,
    invalid_utf8,
    out_of_memory,
    output_too_small,
};

// Writes the failure's message into g_error and returns its status code.
std::int32_t fail(Failure f);

// The message text and status of a failure, for tests and hosts of the
// internal library.
const char *failure_message(Failure f);
std::int32_t failure_status(Failure f);

inline void clear_error() { g_error[0] = '\0'; }

// Writes a 16-byte digest as 32 uppercase digits plus NUL into g_result.
void hex_upper(const std::uint8_t digest[16]);

// Writes n bytes as 2n lowercase digits at dst (no NUL); returns the end.
char *hex_lower_bytes(char *dst, const std::uint8_t *bytes, std::size_t n);

// Writes v as exactly 16 lowercase digits, most significant first, plus NUL.
void hex_lower_u64(char *dst, std::uint64_t v);

// Output-buffer protocol, first half: empties both buffers, clears
// out_hex[0] when there is room, rejects a negative total_size and a null
// out_hex with a nonzero capacity. Returns 0 to go on, else the status.
std::int32_t output_begin(char *out_hex, std::uint64_t out_cap, std::int64_t total_size);

// Output-buffer protocol, second half, once g_result holds the result:
// copies it with its NUL into out_hex when given and large enough.
std::int32_t output_finish(char *out_hex, std::uint64_t out_cap);
