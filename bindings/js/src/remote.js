// Sources that are read by ranges from somewhere else: a reader of the
// caller's ({ size, read(offset, length) }: a torrent stream, object
// storage, anything that can fetch bytes at an offset) and an HTTP(S) URL,
// read with the global fetch. Both feed the same plan as files and Blobs
// (core.js): the fingerprints ask for their few ranges at once, MD5 reads
// the whole source in order.
//
// Unlike a file, neither can tell a file that ended early from bytes that
// failed to arrive, so every read here must bring exactly the bytes asked
// for. Anything else is a "read error" with the reason as its cause: a
// hash of bytes that are missing would be a wrong hash, and nothing says so.

import { describe, isArrayBuffer, KelhashError, readError, STATUS_IO } from './core.js';

// The bytes a reader's read() resolved to, as a Uint8Array, or null.
function asBytes(v) {
  if (v instanceof Uint8Array) return v;
  if (ArrayBuffer.isView(v)) return new Uint8Array(v.buffer, v.byteOffset, v.byteLength);
  if (isArrayBuffer(v)) return new Uint8Array(v);
  return null;
}

// The cause of a read error for a read or a response body that brought
// other than the bytes asked for. A body is read no further than one byte
// past what was asked, so a long one is only known to be longer.
function mismatch(asked, offset, got, what) {
  if (what === 'read') {
    const kind = got < asked ? 'short' : 'long';
    return new Error(`${kind} read: ${asked} bytes asked at offset ${offset}, ${got} returned`);
  }
  if (got < asked) return new Error(`short body: ${asked} bytes asked at offset ${offset}, ${got} received`);
  return new Error(`long body: ${asked} bytes asked at offset ${offset}, more received`);
}

function readerSize(size) {
  if (typeof size === 'bigint') {
    if (size >= 0n && size <= BigInt(Number.MAX_SAFE_INTEGER)) return Number(size);
  } else if (Number.isSafeInteger(size) && size >= 0) {
    return size;
  }
  throw new TypeError(`a reader's size must be a whole number of bytes from 0 to 2^53 - 1, not ${
    typeof size === 'number' || typeof size === 'bigint' ? String(size) : describe(size)}`);
}

function readerSource(reader, size) {
  const read = async (o, n) => {
    let got;
    try {
      got = await reader.read(o, n);
    } catch (e) {
      throw readError(e);
    }
    const bytes = asBytes(got);
    if (bytes === null) throw readError(new TypeError(`read(${o}, ${n}) returned ${describe(got)}, not bytes`));
    if (bytes.length !== n) throw readError(mismatch(n, o, bytes.length, 'read'));
    return bytes;
  };
  return {
    size,
    seekable: true,
    // The ranges of a fingerprint are held until the last one arrives; a
    // reader may hand back a view of a buffer that its next read refills.
    range: async (o, n) => (await read(o, n)).slice(),
    async readInto(view, o) {
      const n = Math.min(view.length, size - o);
      if (n <= 0) return 0;
      view.set(await read(o, n));
      return n;
    },
    close() {},
  };
}

/** The opener for a reader, or null for anything that is not one. */
export function readerOpener(source) {
  if (typeof source !== 'object' || source === null || typeof source.read !== 'function' || !('size' in source)) {
    return null;
  }
  const size = readerSize(source.size);
  return () => readerSource(source, size);
}

// ---------------------------------------------------------------------------
// HTTP(S). A fingerprint costs at most two round trips: a GET of the first
// 64 KiB, which also tells the size, then one ranged GET for each other
// stretch of bytes the plan needs, all at once. MD5 is one plain GET whose
// body streams through the digest.

// What the first request asks for.
const HEAD = 65536;

const IGNORED = 'server ignored the Range request';

function fail(message) {
  return new KelhashError(STATUS_IO, message);
}

function badRange(value) {
  return fail(`bad Content-Range: ${value === null ? '(none)' : value}`);
}

function answered(status) {
  return fail(`server answered HTTP ${status}`);
}

// Sends a GET, ranged when range is [first, last]. Redirects are followed.
// Nothing is added but the Range and Accept-Encoding: no credentials,
// cookies or other headers of the package's own. "identity" asks for the
// file's own bytes, so that their count means something (a browser keeps
// that header to itself, and sends identity with a Range anyway).
async function get(url, range) {
  const controller = new AbortController();
  const headers = { 'Accept-Encoding': 'identity' };
  if (range !== null) headers.Range = `bytes=${range[0]}-${range[1]}`;
  let res;
  try {
    res = await globalThis.fetch(url, { headers, redirect: 'follow', signal: controller.signal });
  } catch (e) {
    throw readError(e);
  }
  // Drops the connection of an answer whose body is not wanted (any more).
  const drop = () => controller.abort();
  return { res, drop };
}

// The body, but never more than limit + 1 bytes of it: past that the
// connection is dropped, so a server that sends more than it should costs
// no more than that.
async function body(res, drop, limit) {
  const out = new Uint8Array(limit + 1);
  let got = 0;
  if (res.body === null) return out.subarray(0, 0);
  const reader = res.body.getReader();
  try {
    for (;;) {
      const { done, value } = await reader.read();
      if (done) return out.subarray(0, got);
      const take = Math.min(value.length, limit + 1 - got);
      out.set(value.subarray(0, take), got);
      got += take;
      if (got > limit) {
        drop();
        return out;
      }
    }
  } catch (e) {
    drop();
    throw readError(e);
  }
}

function contentLength(res) {
  const v = res.headers.get('content-length');
  const enc = res.headers.get('content-encoding');
  if (v === null || !/^\s*\d+\s*$/.test(v) || (enc !== null && enc.trim().toLowerCase() !== 'identity')) {
    return undefined;
  }
  return Number(v);
}

const CONTENT_RANGE = /^bytes (\d+)-(\d+)\/(\d+)$/;

// The ranged source of a URL: opening it is the first round trip.
async function openRanges(url) {
  const { res, drop } = await get(url, [0, HEAD - 1]);
  // The other requests go where the first one ended up, so a redirect is
  // followed once, not once per range.
  const at = res.url || url;
  const value = res.headers.get('content-range');
  if (res.status === 206) {
    const m = value === null ? null : CONTENT_RANGE.exec(value.trim());
    const total = m === null ? NaN : Number(m[3]);
    if (m === null || !Number.isSafeInteger(total) || Number(m[1]) !== 0 ||
        Number(m[2]) !== Math.min(HEAD, total) - 1) {
      drop();
      throw badRange(value);
    }
    const n = Math.min(HEAD, total);
    const head = await body(res, drop, n);
    if (head.length !== n) throw readError(mismatch(n, 0, head.length, 'body'));
    return rangedSource(at, total, head);
  }
  if (res.status === 200) {
    // The server sends the whole file. A small one is all there is to read;
    // a large one is dropped at once, or as soon as it passes 64 KiB when
    // its length was not given: a fingerprint never downloads a whole file.
    const length = contentLength(res);
    if (length !== undefined && length > HEAD) {
      drop();
      throw fail(IGNORED);
    }
    const whole = await body(res, drop, HEAD);
    if (whole.length > HEAD) throw fail(IGNORED);
    if (length !== undefined && whole.length !== length) throw readError(mismatch(length, 0, whole.length, 'body'));
    return rangedSource(at, whole.length, whole);
  }
  drop();
  // The range of an empty file cannot be satisfied, and that is how a
  // server says the file is empty.
  if (res.status === 416 && value !== null && value.trim() === 'bytes */0') {
    return rangedSource(at, 0, new Uint8Array(0));
  }
  throw answered(res.status);
}

function rangedSource(url, size, head) {
  // Bytes first..last (inclusive), which must come exactly as asked, of the
  // same file as the first answer.
  const fetchRange = async (first, last) => {
    const { res, drop } = await get(url, [first, last]);
    if (res.status !== 206) {
      drop();
      throw res.status === 200 ? fail(IGNORED) : answered(res.status);
    }
    const value = res.headers.get('content-range');
    if (value === null || value.trim() !== `bytes ${first}-${last}/${size}`) {
      drop();
      throw badRange(value);
    }
    const n = last - first + 1;
    const bytes = await body(res, drop, n);
    if (bytes.length !== n) throw readError(mismatch(n, first, bytes.length, 'body'));
    return bytes;
  };
  // Opened for the fingerprints only: it has no readInto().
  return {
    size,
    seekable: true,
    async range(o, n) {
      const end = o + n;
      if (end <= head.length) return head.subarray(o, end);
      // What the first answer brought is not asked for again.
      if (o >= head.length) return fetchRange(o, end - 1);
      const out = new Uint8Array(n);
      out.set(head.subarray(o));
      out.set(await fetchRange(head.length, end - 1), head.length - o);
      return out;
    },
    close() {},
  };
}

// The streamed source of a URL, for MD5: the body of a plain GET in order.
// Its size is the Content-Length, when there is one; a body that ends
// before it is a read error, not the digest of part of the file.
async function openStream(url) {
  const { res, drop } = await get(url, null);
  if (res.status !== 200) {
    drop();
    throw answered(res.status);
  }
  const size = contentLength(res);
  const reader = res.body === null ? null : res.body.getReader();
  let rest = null;
  let done = 0;
  let ended = reader === null;
  // Opened for MD5 only: it has no range(), and is not seekable, which no
  // fingerprint gets to see.
  return {
    size,
    seekable: false,
    async readInto(view) {
      let n = 0;
      while (n < view.length && !ended) {
        if (rest === null) {
          let r;
          try {
            r = await reader.read();
          } catch (e) {
            ended = true;
            drop();
            throw readError(e);
          }
          if (r.done) {
            ended = true;
            break;
          }
          rest = r.value;
        }
        const take = Math.min(rest.length, view.length - n);
        view.set(rest.subarray(0, take), n);
        n += take;
        rest = take === rest.length ? null : rest.subarray(take);
      }
      done += n;
      if (ended && size !== undefined && done !== size) {
        throw readError(new Error(`body ended after ${done} of ${size} bytes`));
      }
      return n;
    },
    close() {
      // A digest that failed before the end (an onProgress that threw)
      // leaves the rest of the body unread.
      if (!ended) drop();
    },
  };
}

/** The opener for an http: or https: URL (a URL object). */
export function urlOpener(url) {
  const href = url.href;
  return (mode) => (mode === 'stream' ? openStream(href) : openRanges(href));
}

export function isHttpUrl(v) {
  return v instanceof URL && (v.protocol === 'http:' || v.protocol === 'https:');
}
