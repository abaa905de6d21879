/**
 * kelhash: subtitle-service fingerprints (OpenSubtitles, Shooter), MD5 and a
 * stable string hash, computed by the kelhash library compiled to
 * WebAssembly. Every function returns a Promise.
 *
 * A source is the data itself (a Uint8Array or any other ArrayBufferView,
 * a DataView, an ArrayBuffer or SharedArrayBuffer), a Blob or File, a
 * reader ({ size, read(offset, length) }), an http: or https: URL object,
 * or, in Node only, a path string, a file: URL, an open FileHandle (which
 * stays open) or a string starting with http:// or https://. The
 * fingerprints read only the ranges they need; MD5 reads in bounded pieces.
 *
 * Failures reject with KelhashError; an argument of the wrong type throws
 * TypeError when the function is called.
 */

/** What the Node entry accepts as an open file: a `FileHandle` of `node:fs/promises`. */
export interface FileHandleLike {
  readonly fd: number;
  read(...args: any[]): Promise<{ bytesRead: number }>;
  stat(...args: any[]): Promise<unknown>;
  close(): Promise<void>;
}

/**
 * A source read by ranges: a torrent stream, object storage, anything that
 * can fetch bytes at an offset. The fingerprints ask for their few ranges at
 * once (at most four reads); MD5 reads from the start to the end in order,
 * 1 MiB at a time. Each read must resolve to exactly `length` bytes: fewer,
 * more, or a rejection (a piece not there yet) rejects the hash with status
 * 1, "read error", and the reason as `cause`.
 *
 * Each read must resolve to bytes of its own: the fingerprints' reads are
 * out at the same time and their answers are held until the last arrives,
 * so a reader that refills one buffer for every read would overwrite the
 * earlier answers. Two answers in the same memory while both reads were
 * out reject with "read error" (views of different parts of one buffer,
 * such as a buffer that holds the whole file, are fine).
 */
export interface Reader {
  /** The source's size in bytes, at most 2^53 - 1. */
  readonly size: number | bigint;
  /** The `length` bytes at `offset`. */
  read(offset: number, length: number): Promise<Uint8Array | ArrayBuffer | ArrayBufferView>;
}

/**
 * The bytes of a file: data, a Blob or File, a Reader, an http: or https:
 * URL, or (in Node) a file by path, file: URL or handle, or an http(s)
 * address as a string.
 */
export type Source = ArrayBufferLike | ArrayBufferView | Blob | Reader | string | URL | FileHandleLike;

/** A call failed with one of the library's statuses. */
export class KelhashError extends Error {
  name: 'KelhashError';
  /**
   * The library's status: 1 a file could not be opened or read (the
   * system's or the reader's error is the cause), or a URL failed
   * ("server answered HTTP 404", "bad Content-Range: ...", "server ignored
   * the Range request", or "read error" with the network's error, or a
   * `TimeoutError` naming the timeout, as cause), 2 a Shooter hash of 8192 bytes or less
   * without a fallback name, 3 an invalid argument, 4 text that is not
   * UTF-8 (a lone surrogate), 5 out of memory.
   */
  status: number;
  /** The library's message, e.g. "cannot open file" or "read error". */
  message: string;
  constructor(status: number, message: string, options?: { cause?: unknown });
}

/**
 * How an http: or https: URL is fetched; other sources ignore these.
 */
export interface RemoteOptions {
  /**
   * Milliseconds a request may wait with nothing received (for the answer,
   * or for the next bytes of its body) before the call rejects with status
   * 1, "read error", and a `TimeoutError` as cause. Restarts whenever bytes
   * arrive, so it does not limit a long transfer that keeps moving.
   * Default 30000; `Infinity` for none.
   */
  timeout?: number | null;
  /**
   * Aborting it stops the call's requests, and the call rejects with the
   * signal's `reason` (an `AbortError` unless one was given), as `fetch`
   * does; a signal aborted already rejects before any request.
   */
  signal?: AbortSignal | null;
}

/** The OpenSubtitles hash: 16 lowercase hexadecimal digits. */
export function opensubtitlesHash(source: Source, options?: RemoteOptions): Promise<string>;

export interface ShooterOptions extends RemoteOptions {
  /**
   * The name whose stable hash, in decimal, is the result for a source of
   * 8192 bytes or less (usually the file's name). Without it such a source
   * rejects with status 2.
   */
  fallbackName?: string | null;
}

/**
 * The Shooter hash: four MD5 digests (lowercase) joined by ";", or for a
 * source of 8192 bytes or less the stable hash of `fallbackName`.
 */
export function shooterHash(source: Source, options?: ShooterOptions): Promise<string>;

export interface Fingerprints {
  /** As from opensubtitlesHash(). */
  opensubtitles: string;
  /** As from shooterHash(). */
  shooter: string;
}

/**
 * Both fingerprints from one plan of reads, each byte read once: for a URL
 * two round trips and about 140 KiB whatever the file's size. Fails as
 * shooterHash() does for a source of 8192 bytes or less without
 * `fallbackName`.
 */
export function fingerprints(source: Source, options?: ShooterOptions): Promise<Fingerprints>;

export interface Md5Options extends RemoteOptions {
  /**
   * Called after each piece (1 MiB) is hashed, and at least once: bytes
   * hashed so far and the source's size (undefined for a pipe, or a URL
   * whose answer has no Content-Length).
   */
  onProgress?: ((bytesDone: number, bytesTotal: number | undefined) => void) | null;
}

/** The MD5 digest of the whole source: 32 uppercase hexadecimal digits. */
export function md5(source: Source, options?: Md5Options): Promise<string>;

/**
 * The stable hash (0 to 2147483647) of a string, computed over its UTF-16
 * code units as the library does for UTF-8 text. A lone surrogate rejects
 * with status 4; a NUL character throws TypeError.
 */
export function stableHash(text: string): Promise<number>;
