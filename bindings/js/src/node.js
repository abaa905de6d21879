// The package in Node: the browser API plus files, named by a path string or
// a file: URL, or given as an open FileHandle, and http: and https: URLs
// given as strings. Reads are positional and bounded: the fingerprints read
// only their ranges, MD5 reads the file in pieces, so the size of the file
// does not matter.

import { open } from 'node:fs/promises';
import { fileURLToPath } from 'node:url';

import {
  api, CANNOT_OPEN, DATA_KINDS, dataOpener, KelhashError, readError, sourceTypeError,
} from './core.js';
import { isHttpUrl, readerOpener, urlOpener } from './remote.js';

export { KelhashError };

const KINDS = `${DATA_KINDS}, a reader, a path string, a file:, http: or https: URL or a FileHandle`;

// Any other string is a path, however odd.
const HTTP = /^https?:\/\//i;

function isFileHandle(v) {
  return typeof v === 'object' && v !== null && typeof v.fd === 'number' &&
    typeof v.read === 'function' && typeof v.stat === 'function' && typeof v.close === 'function';
}

// A source over an open handle; owned handles are closed with the source.
async function handleSource(fh, owned) {
  let st;
  try {
    st = await fh.stat();
  } catch (e) {
    throw readError(e);
  }
  if (st.isDirectory()) {
    // Opening a directory for reading succeeds on Linux, and reading it is
    // what fails, as it does for the library's file functions; the failed
    // read is the cause.
    try {
      await fh.read(new Uint8Array(1), 0, 1, 0);
    } catch (e) {
      throw readError(e);
    }
    throw readError(new Error('is a directory'));
  }
  // A pipe or a socket has no size and no offsets: MD5 reads it to its end,
  // the fingerprints refuse it.
  const seekable = !st.isFIFO() && !st.isSocket();
  const read = async (buf, at, n, position) => {
    try {
      return (await fh.read(buf, at, n, position)).bytesRead;
    } catch (e) {
      throw readError(e);
    }
  };
  return {
    size: seekable ? st.size : undefined,
    seekable,
    async range(o, n) {
      const buf = new Uint8Array(n);
      let got = 0;
      while (got < n) {
        const r = await read(buf, got, n - got, o + got);
        if (r === 0) break;
        got += r;
      }
      return got === n ? buf : buf.subarray(0, got);
    },
    readInto: (view, o) => read(view, 0, view.length, seekable ? o : null),
    async close() {
      if (owned) await fh.close().catch(() => {});
    },
  };
}

async function openPath(path) {
  let fh;
  try {
    fh = await open(path, 'r');
  } catch (e) {
    throw new KelhashError(1, CANNOT_OPEN, { cause: e });
  }
  try {
    return await handleSource(fh, true);
  } catch (e) {
    await fh.close().catch(() => {});
    throw e;
  }
}

function checkPath(path) {
  if (path.includes('\0')) throw new TypeError('path must not contain NUL characters');
  return path;
}

function opener(source) {
  if (typeof source === 'string') {
    if (HTTP.test(source)) return urlOpener(new URL(source));
    const path = checkPath(source);
    return () => openPath(path);
  }
  if (isHttpUrl(source)) return urlOpener(source);
  if (source instanceof URL) {
    if (source.protocol !== 'file:') {
      throw new TypeError(`a URL must be file:, http: or https:, not ${source.protocol}`);
    }
    const path = checkPath(fileURLToPath(source));
    return () => openPath(path);
  }
  if (isFileHandle(source)) return () => handleSource(source, false);
  const open = dataOpener(source) ?? readerOpener(source);
  if (open === null) throw sourceTypeError(KINDS, source);
  return open;
}

export const { opensubtitlesHash, shooterHash, fingerprints, md5, stableHash } = api(opener);
