// The package in browsers, workers and bundlers: bytes and Blobs (a File from
// an <input type="file"> or a drop is a Blob). Nothing here imports anything
// of Node's. A File is read slice by slice, never whole.

import { api, DATA_KINDS, dataOpener, KelhashError, sourceTypeError } from './core.js';

export { KelhashError };

function opener(source) {
  const open = dataOpener(source);
  if (open !== null) return open;
  if (typeof source === 'string' || source instanceof URL) {
    throw new TypeError(`source must be ${DATA_KINDS}; paths and URLs are read in Node only`);
  }
  throw sourceTypeError(DATA_KINDS, source);
}

export const { opensubtitlesHash, shooterHash, md5, stableHash } = api(opener);
