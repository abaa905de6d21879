// Buffered-stream helpers with 64-bit offsets on every platform, and the
// open / size / read sequences shared by the file functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "frame/frame.h"

// Checks the path and opens it in mode "rb". Returns 0 with *out set, or the
// status of "null path" / "cannot open file" with the message written.
std::int32_t stream_open(const char *path, std::FILE **out);

// Seeks to the end, takes the position as the size and seeks back to the
// start. On failure the stream is closed, the message written and the status
// returned.
std::int32_t stream_size(std::FILE *f, std::int64_t *size);

// Both of the above, as the path functions that need the size begin: opens
// the path and sizes the stream, leaving it at the start.
std::int32_t stream_open_sized(const char *path, std::FILE **out, std::int64_t *size);

// The one way a file function gives up on an open stream: closes it, writes
// the failure's message and returns its status.
std::int32_t close_and_fail(std::FILE *f, Failure why);

// Advice before the first read: the caller will read len bytes at each of
// the count offsets. The system may start fetching them all at once, so that
// the ranges of a cold file arrive together instead of one after another.
// Advice only: nothing is read through the stream, its position, buffer and
// indicators stay as they are, and a refusal (a pipe, a platform without the
// advice) changes nothing. A len of 0 gives no advice.
void stream_will_need(std::FILE *f, const std::uint64_t *offsets, std::size_t count,
                      std::uint64_t len);

// Seeks to an absolute offset from the start; true on success.
bool stream_seek(std::FILE *f, std::int64_t offset);

enum class ReadOutcome { complete, ended_early, failed };

// Reads up to want bytes into buf, read after read, until want bytes have
// arrived or a read delivers nothing. *got receives the count delivered. A
// read that delivers nothing is an early end of file unless the stream's
// error indicator is set, which makes it a failure.
ReadOutcome stream_read(std::FILE *f, std::uint8_t *buf, std::size_t want, std::size_t *got);
