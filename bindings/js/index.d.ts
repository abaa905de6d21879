/**
 * kelhash: subtitle-service fingerprints (OpenSubtitles, Shooter), MD5 and a
 * stable string hash, computed by the kelhash library compiled to
 * WebAssembly. Every function returns a Promise.
 *
 * A source is the data itself (a Uint8Array or any other ArrayBufferView,
 * a DataView, an ArrayBuffer or SharedArrayBuffer), a Blob or File, or, in
 * Node only, a path string, a file: URL or an open FileHandle (which stays
 * open). The fingerprints read only the ranges they need; MD5 reads in
 * bounded pieces.
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

/** The bytes of a file, a Blob or File, or (in Node) a file by path, file: URL or handle. */
export type Source = ArrayBufferLike | ArrayBufferView | Blob | string | URL | FileHandleLike;

/** A call failed with one of the library's statuses. */
export class KelhashError extends Error {
  name: 'KelhashError';
  /**
   * The library's status: 1 a file could not be opened or read (the
   * system's error is the cause), 2 a Shooter hash of 8192 bytes or less
   * without a fallback name, 3 an invalid argument, 4 text that is not
   * UTF-8 (a lone surrogate), 5 out of memory.
   */
  status: number;
  /** The library's message, e.g. "cannot open file" or "read error". */
  message: string;
  constructor(status: number, message: string, options?: { cause?: unknown });
}

/** The OpenSubtitles hash: 16 lowercase hexadecimal digits. */
export function opensubtitlesHash(source: Source): Promise<string>;

export interface ShooterOptions {
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

export interface Md5Options {
  /**
   * Called after each piece (1 MiB) is hashed, and at least once: bytes
   * hashed so far and the source's size (undefined for a pipe).
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
