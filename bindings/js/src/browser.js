// The package in browsers, workers and bundlers: bytes and Blobs (a File from
// an <input type="file"> or a drop is a Blob), readers, and http: and https:
// URLs given as URL objects. Nothing here imports anything of Node's. A File
// is read slice by slice, never whole.

import { api, DATA_KINDS, dataOpener, KelhashError, sourceTypeError } from './core.js';
import { isHttpUrl, readerOpener, urlOpener } from './remote.js';

export { KelhashError };

const KINDS = `${DATA_KINDS}, a reader or an http: or https: URL object`;

function opener(source) {
  const open = dataOpener(source);
  if (open !== null) return open;
  if (isHttpUrl(source)) return urlOpener(source);
  if (typeof source === 'string' || source instanceof URL) {
    throw new TypeError(`source must be ${KINDS}; paths and file: URLs are read in Node only, ` +
      'and a web address is passed as a URL object');
  }
  const reader = readerOpener(source);
  if (reader !== null) return reader;
  throw sourceTypeError(KINDS, source);
}

export const { opensubtitlesHash, shooterHash, fingerprints, md5, stableHash } = api(opener);
