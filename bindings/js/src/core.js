// The part of the package that runs everywhere: the WebAssembly module, the
// hashes over an opened source, the argument checks, and the byte and Blob
// sources. remote.js has the sources read by ranges from elsewhere (a
// reader of the caller's, an HTTP(S) URL); the Node entry (node.js) adds
// paths, file: URLs and FileHandles; the browser entry (browser.js) is this
// file's API with remote.js's sources.
//
// The module does no I/O. Every byte reaches it from here: the fingerprints
// through the library's two chunk functions, fed with the few ranges they
// need, and the MD5 of a whole source through the engine's streaming entry,
// piece by piece.
//
// The module keeps the library's two process-wide buffers (the result and the
// last error), and reads here are asynchronous, so calls may interleave at
// every await. Each hash therefore reads everything it needs first and then
// makes its calls into the module, copies the result out and returns, with no
// await in between. An MD5 in progress keeps its state in a context of its
// own in the module's memory, and only its final call writes the result
// buffer.

import wasmBase64 from '../dist/wasm.js';

// The library's constants for the two fingerprints.
const OPENSUBTITLES_RANGE = 65536;
const SHOOTER_BLOCK = 4096;
const SHOOTER_THRESHOLD = 8192;

// MD5 reads a source in pieces of this size, straight into a buffer in the
// module's memory. Two buffers per digest: the next piece is read into one
// while the other is hashed.
const PIECE = 1 << 20;
// Digests in progress at once; more wait for one of these to finish. Four
// contexts with their buffers take 8 MiB of the module's fixed 16 MiB.
const MAX_STREAMS = 4;

// Statuses and messages from the library's table, for the failures that
// happen here rather than inside the module: the reading is done here.
const STATUS_IO = 1;
const STATUS_NO_MEMORY = 5;
export const CANNOT_OPEN = 'cannot open file';
export const READ_ERROR = 'read error';
export const SEEK_FAILED = 'seek failed';
export { STATUS_IO };
const OOM = 'oom';

// How long a URL's request may wait for anything to arrive (milliseconds).
const DEFAULT_TIMEOUT = 30000;

/** A call failed with one of the library's statuses (1 to 6). */
export class KelhashError extends Error {
  constructor(status, message, options) {
    super(message, options);
    this.name = 'KelhashError';
    this.status = status;
  }
}

export function readError(cause) {
  return new KelhashError(STATUS_IO, READ_ERROR, { cause });
}

// ---------------------------------------------------------------------------
// The module.

class Module {
  constructor(exports) {
    this.x = exports;
    this.memory = exports.memory;
    exports._initialize();
    this.heap = new Uint8Array(this.memory.buffer);
    // One scratch area for the calls that copy in, call and copy out without
    // an await: the head and tail ranges, or the four Shooter blocks, and the
    // stable hash's output word.
    this.head = this.alloc(2 * OPENSUBTITLES_RANGE + 4 * SHOOTER_BLOCK + 8);
    this.tail = this.head + OPENSUBTITLES_RANGE;
    this.blocks = this.tail + OPENSUBTITLES_RANGE;
    this.word = this.blocks + 4 * SHOOTER_BLOCK;
    this.ctxSize = exports.kelhash_wasm_md5_ctx_size();
    this.idle = [];
    this.streams = 0;
    this.waiting = [];
  }

  view() {
    // The memory cannot grow, so this never changes; the check keeps a view
    // usable should that ever stop being true.
    if (this.heap.buffer !== this.memory.buffer) this.heap = new Uint8Array(this.memory.buffer);
    return this.heap;
  }

  alloc(n) {
    const p = this.x.malloc(n) >>> 0;
    if (p === 0) throw new KelhashError(STATUS_NO_MEMORY, OOM);
    return p;
  }

  // A NUL-terminated ASCII string in the module's memory.
  string(ptr) {
    const heap = this.view();
    let end = ptr;
    while (heap[end] !== 0) end++;
    return String.fromCharCode.apply(null, heap.subarray(ptr, end));
  }

  // Turns a status into the result string or a KelhashError.
  finish(status) {
    if (status !== 0) throw new KelhashError(status, this.string(this.x.kelhash_last_error()));
    return this.string(this.x.kelhash_result());
  }

  // A NUL-terminated copy of text bytes in the module's memory, or 0 for none.
  // The caller frees it.
  text(bytes) {
    if (bytes === null) return 0;
    const p = this.alloc(bytes.length + 1);
    const heap = this.view();
    heap.set(bytes, p);
    heap[p + bytes.length] = 0;
    return p;
  }

  opensubtitles(head, tail, size) {
    const heap = this.view();
    heap.set(head, this.head);
    heap.set(tail, this.tail);
    return this.finish(this.x.kelhash_opensubtitles_chunks(
      this.head, BigInt(head.length), this.tail, BigInt(tail.length), BigInt(size), 0, 0n));
  }

  // blocks: four 4096-byte arrays, or null for a block passed with length 0.
  shooter(blocks, size, name) {
    const heap = this.view();
    const args = [];
    blocks.forEach((b, i) => {
      const at = this.blocks + i * SHOOTER_BLOCK;
      if (b !== null) heap.set(b, at);
      args.push(at, BigInt(b === null ? 0 : b.length));
    });
    const p = this.text(name);
    try {
      return this.finish(this.x.kelhash_shooter_chunks(...args, BigInt(size), p, 0, 0n));
    } finally {
      if (p !== 0) this.x.free(p);
    }
  }

  stable(bytes) {
    const p = this.text(bytes);
    try {
      const status = this.x.kelhash_stable_utf8(p, this.word);
      if (status !== 0) throw new KelhashError(status, this.string(this.x.kelhash_last_error()));
      return new DataView(this.memory.buffer).getInt32(this.word, true);
    } finally {
      this.x.free(p);
    }
  }

  // A context and two piece buffers for one digest, waiting for one to be
  // released when MAX_STREAMS are in use.
  acquire() {
    const s = this.idle.pop();
    if (s !== undefined) return s;
    if (this.streams < MAX_STREAMS) {
      const ctxBytes = Math.ceil(this.ctxSize / 64) * 64;
      const base = this.x.malloc(ctxBytes + 2 * PIECE) >>> 0;
      if (base !== 0) {
        this.streams++;
        const pieces = [base + ctxBytes, base + ctxBytes + PIECE];
        return { ctx: base, pieces, views: pieces.map((p) => new Uint8Array(this.memory.buffer, p, PIECE)) };
      }
      // Names being hashed hold the rest of the memory: wait for a digest
      // to finish, unless none is running to finish.
      if (this.streams === 0) throw new KelhashError(STATUS_NO_MEMORY, OOM);
    }
    return new Promise((resolve) => this.waiting.push(resolve));
  }

  release(s) {
    const next = this.waiting.shift();
    if (next !== undefined) next(s);
    else this.idle.push(s);
  }
}

let loading = null;

async function instantiate() {
  const bin = atob(wasmBase64);
  const bytes = new Uint8Array(bin.length);
  for (let i = 0; i < bin.length; i++) bytes[i] = bin.charCodeAt(i);
  const { instance } = await WebAssembly.instantiate(bytes, {});
  return new Module(instance.exports);
}

// The one instance, made on first use. A failed instantiation (a page whose
// content security policy forbids WebAssembly) is not cached.
function module() {
  if (loading === null) {
    loading = instantiate().catch((e) => {
      loading = null;
      throw e;
    });
  }
  return loading;
}

// Waits for every promise to settle, then gives their values or throws the
// first failure. Reads still in flight are never abandoned: a file is closed
// and a piece buffer handed on only when nothing writes to it any more.
async function settled(promises) {
  const results = await Promise.allSettled(promises);
  for (const r of results) if (r.status === 'rejected') throw r.reason;
  return results.map((r) => r.value);
}

// ---------------------------------------------------------------------------
// The hashes over an opened source. A source has:
//   size         its size in bytes, or undefined when it has none (a pipe)
//   seekable     whether range() may be called
//   range(o, n)  the n bytes at offset o, fewer when a file ends first; a
//                source that cannot tell a short file from a failed read
//                (a reader, a URL) rejects instead
//   readInto(view, o)  reads up to view.length bytes at offset o (the next
//                bytes of a pipe) into view; resolves to their count, 0 at
//                the end
//   close()      releases what opening took
// An opener's open(mode) is told how the source will be read: 'ranges' for
// the fingerprints, 'stream' for MD5. Only a URL cares: its ranges start
// with a ranged GET, its stream is one plain GET.

function needSeekable(source) {
  // A file function of the library sizes its file by seeking to the end,
  // which is what fails for a pipe.
  if (!source.seekable) throw new KelhashError(STATUS_IO, SEEK_FAILED);
}

// A range as the library's file function sums it: bytes that did not arrive
// count as zeros.
function padded(bytes, n) {
  if (bytes.length === n) return bytes;
  const out = new Uint8Array(n);
  out.set(bytes);
  return out;
}

// The ranges each fingerprint needs, as [offset, length]. A source of at
// most 65536 bytes has one OpenSubtitles range, head and tail alike.
function opensubtitlesRanges(size) {
  const m = Math.min(size, OPENSUBTITLES_RANGE);
  return size > m ? [[0, m], [size - m, m]] : [[0, m]];
}

// The four Shooter blocks in the library's order (not ascending), each as
// long as the file has bytes from its offset, at most 4096. Only block 1
// can be short, and only from 8193 to 12285 bytes. None at all for a source
// that is identified by its name.
function shooterRanges(size) {
  if (size <= SHOOTER_THRESHOLD) return [];
  const third = (size - (size % 3)) / 3;
  return [SHOOTER_BLOCK, third * 2, third, size - 2 * SHOOTER_BLOCK]
    .map((o) => [o, Math.min(SHOOTER_BLOCK, size - o)]);
}

// Reads what the ranges cover, each byte once: overlapping or touching
// ranges become one read, and all reads go out at once, so a remote source
// costs one latency whatever the number of ranges. Resolves to the module
// and bytesAt(o, n), the bytes of one of the ranges (fewer where a file
// came back short).
async function gather(source, ranges) {
  const spans = [];
  for (const [o, n] of ranges.filter((r) => r[1] > 0).sort((a, b) => a[0] - b[0])) {
    const last = spans[spans.length - 1];
    if (last !== undefined && o <= last[0] + last[1]) last[1] = Math.max(last[1], o + n - last[0]);
    else spans.push([o, n]);
  }
  const [wasm, ...data] = await settled([module(), ...spans.map(([o, n]) => source.range(o, n))]);
  const bytesAt = (o, n) => {
    if (n === 0) return new Uint8Array(0);
    const i = spans.findIndex(([a, m]) => a <= o && o + n <= a + m);
    return data[i].subarray(o - spans[i][0], o - spans[i][0] + n);
  };
  return { wasm, bytesAt };
}

function opensubtitlesFrom(wasm, size, bytesAt) {
  const [head, tail] = opensubtitlesRanges(size);
  const h = padded(bytesAt(...head), head[1]);
  return wasm.opensubtitles(h, tail === undefined ? h : padded(bytesAt(...tail), tail[1]), size);
}

const ZERO_BLOCK = new Uint8Array(SHOOTER_BLOCK);

function shooterFrom(wasm, size, name, bytesAt) {
  const ranges = shooterRanges(size);
  if (ranges.length === 0) return wasm.shooter([null, null, null, null], size, name);
  // A full block that came back short (the file shrank) hashes as zeros, as
  // the library's file function does; so does a short block, which the
  // library takes with its own length or with none.
  return wasm.shooter(ranges.map(([o, n]) => {
    const b = bytesAt(o, n);
    if (n === SHOOTER_BLOCK) return b.length === n ? b : ZERO_BLOCK;
    return b.length === n ? b : null;
  }), size, name);
}

// Both fingerprints or either one from one plan. Everything is read before
// the first call into the module, and the calls follow each other with no
// await between them.
async function fingerprintsOf(source, which, name) {
  needSeekable(source);
  const size = source.size;
  const ranges = [];
  if (which.opensubtitles) ranges.push(...opensubtitlesRanges(size));
  if (which.shooter) ranges.push(...shooterRanges(size));
  const { wasm, bytesAt } = await gather(source, ranges);
  return {
    opensubtitles: which.opensubtitles ? opensubtitlesFrom(wasm, size, bytesAt) : undefined,
    shooter: which.shooter ? shooterFrom(wasm, size, name, bytesAt) : undefined,
  };
}

async function md5Of(source, onProgress) {
  const wasm = await module();
  const s = await wasm.acquire();
  let pending = null;
  try {
    wasm.x.kelhash_wasm_md5_init(s.ctx);
    let done = 0;
    let reported = false;
    let cur = 0;
    pending = source.readInto(s.views[cur], 0);
    for (;;) {
      const n = await pending;
      pending = null;
      if (n === 0) break;
      // The next piece is on its way into the other buffer while this one
      // is hashed.
      pending = source.readInto(s.views[cur ^ 1], done + n);
      wasm.x.kelhash_wasm_md5_update(s.ctx, s.pieces[cur], n);
      done += n;
      cur ^= 1;
      if (onProgress !== null) {
        reported = true;
        onProgress(done, source.size);
      }
    }
    if (onProgress !== null && !reported) onProgress(done, source.size);
    wasm.x.kelhash_wasm_md5_final(s.ctx);
    return wasm.string(wasm.x.kelhash_result());
  } finally {
    if (pending !== null) await Promise.resolve(pending).catch(() => {});
    wasm.release(s);
  }
}

// ---------------------------------------------------------------------------
// Sources that need no opening: bytes and Blobs.

function bytesSource(bytes) {
  return {
    size: bytes.length,
    seekable: true,
    range: (o, n) => bytes.subarray(o, o + n),
    readInto(view, o) {
      const part = bytes.subarray(o, o + view.length);
      view.set(part);
      return part.length;
    },
    close() {},
  };
}

function blobSource(blob) {
  const read = async (o, n) => {
    try {
      return new Uint8Array(await blob.slice(o, o + n).arrayBuffer());
    } catch (e) {
      throw readError(e);
    }
  };
  return {
    size: blob.size,
    seekable: true,
    range: read,
    async readInto(view, o) {
      const part = await read(o, view.length);
      view.set(part);
      return part.length;
    },
    close() {},
  };
}

function isBlob(v) {
  if (typeof Blob !== 'undefined' && v instanceof Blob) return true;
  // A Blob of another realm (an iframe's, a worker polyfill's).
  return typeof v === 'object' && v !== null && typeof v.size === 'number' &&
    typeof v.slice === 'function' && typeof v.arrayBuffer === 'function';
}

// An ArrayBuffer or SharedArrayBuffer, of this realm or another.
export function isArrayBuffer(v) {
  const tag = Object.prototype.toString.call(v);
  return tag === '[object ArrayBuffer]' || tag === '[object SharedArrayBuffer]';
}

export const DATA_KINDS = 'a Uint8Array, ArrayBuffer, DataView or Blob';

// The opener for bytes and Blobs, or null for anything else.
export function dataOpener(source) {
  if (ArrayBuffer.isView(source)) {
    const bytes = new Uint8Array(source.buffer, source.byteOffset, source.byteLength);
    return () => bytesSource(bytes);
  }
  if (isArrayBuffer(source)) {
    const bytes = new Uint8Array(source);
    return () => bytesSource(bytes);
  }
  if (isBlob(source)) return () => blobSource(source);
  return null;
}

// "an Object", "a Map", "an object", "a number": the article by the sound of
// the word, which for the names that come up here is its first letter (the
// typed arrays' "Uint" excepted).
function article(word) {
  return /^(?:[aeio]|u(?!int|ni|rl|s))/i.test(word) ? `an ${word}` : `a ${word}`;
}

export function describe(v) {
  if (v === null) return 'null';
  if (v === undefined) return 'undefined';
  if (typeof v === 'object') return article(v.constructor && v.constructor.name ? v.constructor.name : 'object');
  return article(typeof v);
}

export function sourceTypeError(kinds, source) {
  return new TypeError(`source must be ${kinds}, not ${describe(source)}`);
}

// ---------------------------------------------------------------------------
// Text arguments.

const encoder = new TextEncoder();
const LONE_SURROGATE = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/;

// Text as the library's NUL-terminated UTF-8. TextEncoder would turn a lone
// surrogate into U+FFFD and so hash some other text; encoded one code unit
// at a time instead, it reaches the library as what it is, a sequence that
// is not UTF-8, and the library rejects it.
function utf8(text, what) {
  if (typeof text !== 'string') throw new TypeError(`${what} must be a string, not ${describe(text)}`);
  // The library's strings end at the first NUL; a name cut there would hash
  // as a different name.
  if (text.includes('\0')) throw new TypeError(`${what} must not contain NUL characters`);
  if (!LONE_SURROGATE.test(text)) return encoder.encode(text);
  const out = [];
  for (let i = 0; i < text.length; i++) {
    let c = text.charCodeAt(i);
    if (c >= 0xd800 && c <= 0xdbff && i + 1 < text.length) {
      const d = text.charCodeAt(i + 1);
      if (d >= 0xdc00 && d <= 0xdfff) {
        c = 0x10000 + ((c - 0xd800) << 10) + (d - 0xdc00);
        i++;
      }
    }
    if (c < 0x80) out.push(c);
    else if (c < 0x800) out.push(0xc0 | (c >> 6), 0x80 | (c & 63));
    else if (c < 0x10000) out.push(0xe0 | (c >> 12), 0x80 | ((c >> 6) & 63), 0x80 | (c & 63));
    else out.push(0xf0 | (c >> 18), 0x80 | ((c >> 12) & 63), 0x80 | ((c >> 6) & 63), 0x80 | (c & 63));
  }
  return Uint8Array.from(out);
}

function options(value, fn) {
  if (value === undefined || value === null) return {};
  if (typeof value !== 'object') throw new TypeError(`${fn}: options must be an object, not ${describe(value)}`);
  return value;
}

// ---------------------------------------------------------------------------
// The API over an entry's openers: opener(source) checks the source's type
// (throwing TypeError) and returns a function that opens it.

async function run(open, mode, net, hash) {
  const source = await open(mode, net);
  try {
    return await hash(source);
  } finally {
    await source.close();
  }
}

function fallback(opts, fn) {
  const { fallbackName } = options(opts, fn);
  return fallbackName === undefined || fallbackName === null ? null : utf8(fallbackName, 'fallbackName');
}

// The options of a URL's requests, { timeout, signal }; other sources
// ignore them.
function network(opts, fn) {
  const { timeout = null, signal = null } = options(opts, fn);
  if (timeout !== null && !(typeof timeout === 'number' && timeout > 0)) {
    throw new TypeError(`${fn}: timeout must be a number of milliseconds above 0 (Infinity for none), not ${
      typeof timeout === 'number' ? String(timeout) : describe(timeout)}`);
  }
  if (signal !== null && !(typeof signal === 'object' && typeof signal.aborted === 'boolean' &&
      typeof signal.addEventListener === 'function' && typeof signal.removeEventListener === 'function')) {
    throw new TypeError(`${fn}: signal must be an AbortSignal, not ${describe(signal)}`);
  }
  return { timeout: timeout ?? DEFAULT_TIMEOUT, signal };
}

export function api(opener) {
  return {
    opensubtitlesHash(source, opts) {
      const open = opener(source);
      const net = network(opts, 'opensubtitlesHash');
      return run(open, 'ranges', net,
        async (s) => (await fingerprintsOf(s, { opensubtitles: true }, null)).opensubtitles);
    },
    shooterHash(source, opts) {
      const open = opener(source);
      const name = fallback(opts, 'shooterHash');
      const net = network(opts, 'shooterHash');
      return run(open, 'ranges', net, async (s) => (await fingerprintsOf(s, { shooter: true }, name)).shooter);
    },
    fingerprints(source, opts) {
      const open = opener(source);
      const name = fallback(opts, 'fingerprints');
      const net = network(opts, 'fingerprints');
      return run(open, 'ranges', net, (s) => fingerprintsOf(s, { opensubtitles: true, shooter: true }, name));
    },
    md5(source, opts) {
      const open = opener(source);
      const { onProgress } = options(opts, 'md5');
      if (onProgress !== undefined && onProgress !== null && typeof onProgress !== 'function') {
        throw new TypeError(`onProgress must be a function, not ${describe(onProgress)}`);
      }
      const net = network(opts, 'md5');
      return run(open, 'stream', net, (s) => md5Of(s, onProgress ?? null));
    },
    stableHash(text) {
      const bytes = utf8(text, 'text');
      return module().then((wasm) => wasm.stable(bytes));
    },
  };
}
