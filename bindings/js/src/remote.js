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

// Where a read's bytes are in memory, for telling apart the answers to reads
// that were out at the same time.
function region(bytes, o, n) {
  return { buffer: bytes.buffer, start: bytes.byteOffset, end: bytes.byteOffset + bytes.length, o, n };
}

function readerSource(reader, size) {
  // The fingerprints send all their reads at once and hold every answer
  // until the last arrives. A reader that refills one buffer for each read
  // would have its earlier answers overwritten by the later ones before
  // they are copied, and no copy can be early enough when two reads resolve
  // to the same buffer: the bytes of one of them are gone already. So the
  // answers to reads that were out together must not share memory, and
  // sharing it is a read error rather than a wrong hash. MD5 asks for one
  // piece at a time, and copies it before it asks for the next.
  let pending = 0;
  let answered = [];
  const read = async (o, n) => {
    pending++;
    try {
      let got;
      try {
        got = await reader.read(o, n);
      } catch (e) {
        throw readError(e);
      }
      const bytes = asBytes(got);
      if (bytes === null) throw readError(new TypeError(`read(${o}, ${n}) returned ${describe(got)}, not bytes`));
      if (bytes.length !== n) throw readError(mismatch(n, o, bytes.length, 'read'));
      const here = region(bytes, o, n);
      const other = answered.find((r) => r.buffer === here.buffer && r.start < here.end && here.start < r.end);
      if (other !== undefined) {
        throw readError(new Error(`read(${o}, ${n}) resolved to the same memory as read(${other.o}, ${other.n}), ` +
          'which was out at the same time: each read must resolve to bytes of its own, not to a buffer ' +
          'that the next read refills'));
      }
      answered.push(here);
      return bytes;
    } finally {
      if (--pending === 0) answered = [];
    }
  };
  return {
    size,
    seekable: true,
    // Copied at once: the reader may reuse that memory for a later read.
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
  if (typeof source !== 'object' || source === null) return null;
  const hasSize = 'size' in source;
  const hasRead = 'read' in source;
  if (!hasSize && !hasRead) return null;
  // Half a reader is most likely a reader with a mistake in it: say what
  // one needs rather than list every kind of source.
  let wrong = null;
  if (!hasRead) wrong = 'with a size but no read';
  else if (typeof source.read !== 'function') wrong = `whose read is ${describe(source.read)}, not a function`;
  else if (!hasSize) wrong = 'with a read() but no size';
  if (wrong !== null) {
    throw new TypeError('a reader needs { size, read(offset, length) }, read a function returning a Promise ' +
      `of the bytes; got ${describe(source)} ${wrong}`);
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

// A request's timeout (30 s unless the caller says otherwise, core.js) is
// how long it may wait for anything to arrive, the answer's headers or the
// next bytes of its body. It is no limit on the whole transfer: a slow MD5
// that keeps receiving bytes never times out.
//
// The longest delay a timer takes (about 24.8 days); a longer one would
// fire at once, so it means no timeout at all.
const MAX_TIMER = 2147483647;

function timeoutError(ms) {
  const e = new Error(`timed out: nothing received for ${ms} ms`);
  e.name = 'TimeoutError';
  return e;
}

// Sends a GET, ranged when range is [first, last]. Redirects are followed.
// Nothing is added but the Range and Accept-Encoding: no credentials,
// cookies or other headers of the package's own. "identity" asks for the
// file's own bytes, so that their count means something (a browser keeps
// that header to itself, and sends identity with a Range anyway).
//
// net is { timeout, signal }. The timer runs only while the request waits
// for the server, from the GET to its headers and for each piece of the
// body, and restarts with every piece; the time the caller takes between
// two pieces does not count. Aborting the caller's signal drops the
// request, and the call then rejects with the signal's reason, as fetch
// does: a cancelled call is not a read error.
//
// Resolves to { res, read, drop }: read() is the next piece of the body
// ({ done, value }), drop() gives up the connection of an answer whose body
// is not wanted (any more).
async function get(url, range, net) {
  const { timeout, signal } = net;
  if (signal !== null && signal.aborted) throw signal.reason;
  const controller = new AbortController();
  let timer = null;
  let timedOut = false;
  let settled = false;
  const onAbort = () => controller.abort(signal.reason);
  if (signal !== null) signal.addEventListener('abort', onAbort, { once: true });
  const arm = () => {
    if (timeout > MAX_TIMER) return;
    timer = setTimeout(() => {
      timedOut = true;
      controller.abort(timeoutError(timeout));
    }, timeout);
  };
  const disarm = () => {
    if (timer !== null) clearTimeout(timer);
    timer = null;
  };
  // Nothing more comes of this request: no timer, no listener left behind
  // on a signal that may outlive the call.
  const finish = () => {
    disarm();
    if (!settled && signal !== null) signal.removeEventListener('abort', onAbort);
    settled = true;
  };
  const drop = () => {
    finish();
    controller.abort();
  };
  const failure = (e) => {
    drop();
    if (signal !== null && signal.aborted) return signal.reason;
    return readError(timedOut ? timeoutError(timeout) : e);
  };

  const headers = { 'Accept-Encoding': 'identity' };
  if (range !== null) headers.Range = `bytes=${range[0]}-${range[1]}`;
  let res;
  arm();
  try {
    res = await globalThis.fetch(url, { headers, redirect: 'follow', signal: controller.signal });
  } catch (e) {
    throw failure(e);
  }
  disarm();
  const stream = res.body === null ? null : res.body.getReader();
  const read = async () => {
    if (stream === null) {
      finish();
      return { done: true, value: undefined };
    }
    arm();
    let r;
    try {
      r = await stream.read();
    } catch (e) {
      throw failure(e);
    }
    disarm();
    // A timer that fired as the piece arrived has aborted the request; the
    // piece is of no use then.
    if (timedOut || controller.signal.aborted) throw failure(new Error('aborted'));
    if (r.done) finish();
    return r;
  };
  return { res, read, drop };
}

// The body, but never more than limit + 1 bytes of it: past that the
// connection is dropped, so a server that sends more than it should costs
// no more than that.
async function body(conn, limit) {
  const out = new Uint8Array(limit + 1);
  let got = 0;
  for (;;) {
    const { done, value } = await conn.read();
    if (done) return out.subarray(0, got);
    const take = Math.min(value.length, limit + 1 - got);
    out.set(value.subarray(0, take), got);
    got += take;
    if (got > limit) {
      conn.drop();
      return out;
    }
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

// bytes FIRST-LAST/TOTAL, the unit in any case, each number of at most 19
// digits: no valid value is longer, and a longer one is refused whole
// rather than read in part.
const CONTENT_RANGE = /^bytes (\d{1,19})-(\d{1,19})\/(\d{1,19})$/i;
const EMPTY = /^bytes \*\/0$/i;

// [first, last, total] of a Content-Range as BigInts, or null.
function contentRange(value) {
  const m = value === null ? null : CONTENT_RANGE.exec(value.trim());
  return m === null ? null : [BigInt(m[1]), BigInt(m[2]), BigInt(m[3])];
}

// The ranged source of a URL: opening it is the first round trip.
async function openRanges(url, net) {
  const conn = await get(url, [0, HEAD - 1], net);
  const { res } = conn;
  // The other requests go where the first one ended up, so a redirect is
  // followed once, not once per range.
  const at = res.url || url;
  const value = res.headers.get('content-range');
  if (res.status === 206) {
    const r = contentRange(value);
    const total = r === null ? NaN : Number(r[2]);
    if (r === null || !Number.isSafeInteger(total) || r[0] !== 0n || r[1] !== BigInt(Math.min(HEAD, total) - 1)) {
      conn.drop();
      throw badRange(value);
    }
    const n = Math.min(HEAD, total);
    const head = await body(conn, n);
    if (head.length !== n) throw readError(mismatch(n, 0, head.length, 'body'));
    return rangedSource(at, total, head, net);
  }
  if (res.status === 200) {
    // The server sends the whole file. A small one is all there is to read;
    // a large one is dropped at once, or as soon as it passes 64 KiB when
    // its length was not given: a fingerprint never downloads a whole file.
    const length = contentLength(res);
    if (length !== undefined && length > HEAD) {
      conn.drop();
      throw fail(IGNORED);
    }
    const whole = await body(conn, HEAD);
    if (whole.length > HEAD) throw fail(IGNORED);
    if (length !== undefined && whole.length !== length) throw readError(mismatch(length, 0, whole.length, 'body'));
    return rangedSource(at, whole.length, whole, net);
  }
  conn.drop();
  // The range of an empty file cannot be satisfied, and that is how a
  // server says the file is empty.
  if (res.status === 416 && value !== null && EMPTY.test(value.trim())) {
    return rangedSource(at, 0, new Uint8Array(0), net);
  }
  throw answered(res.status);
}

function rangedSource(url, size, head, net) {
  // Bytes first..last (inclusive), which must come exactly as asked, of the
  // same file as the first answer.
  const fetchRange = async (first, last) => {
    const conn = await get(url, [first, last], net);
    const { res } = conn;
    if (res.status !== 206) {
      conn.drop();
      throw res.status === 200 ? fail(IGNORED) : answered(res.status);
    }
    const value = res.headers.get('content-range');
    const r = contentRange(value);
    if (r === null || r[0] !== BigInt(first) || r[1] !== BigInt(last) || r[2] !== BigInt(size)) {
      conn.drop();
      throw badRange(value);
    }
    const n = last - first + 1;
    const bytes = await body(conn, n);
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
async function openStream(url, net) {
  const conn = await get(url, null, net);
  const { res } = conn;
  if (res.status !== 200) {
    conn.drop();
    throw answered(res.status);
  }
  const size = contentLength(res);
  let rest = null;
  let done = 0;
  let ended = false;
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
            r = await conn.read();
          } catch (e) {
            ended = true;
            throw e;
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
      if (!ended) conn.drop();
    },
  };
}

/** The opener for an http: or https: URL (a URL object). */
export function urlOpener(url) {
  const href = url.href;
  return (mode, net) => (mode === 'stream' ? openStream(href, net) : openRanges(href, net));
}

export function isHttpUrl(v) {
  return v instanceof URL && (v.protocol === 'http:' || v.protocol === 'https:');
}
