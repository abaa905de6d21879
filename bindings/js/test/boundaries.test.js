// Random contents at every size where a hash changes shape, by path, as
// bytes and as a Blob, against the hashes computed here from their
// definitions and, when it is built, against the native kelhash command on
// the same files.

import assert from 'node:assert/strict';
import { writeFileSync } from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { md5, opensubtitlesHash, shooterHash } from '../src/node.js';
import {
  HAVE_NATIVE, NO_NATIVE, bytesOf, md5Hex, md5Ref, native, opensubtitlesRef, randomData, shooterRef, tempDir,
} from './helpers.js';

const MIB = 1 << 20;
const SIZES = [
  0, 1, 7, 8, 9, 4095, 4096, 4097, 8191, 8192, 8193,
  // block 1 (at two thirds) is short up to 12283 and at 12285
  12283, 12284, 12285, 12286, 12287, 12288,
  65535, 65536, 65537, 131071, 131072, 131073,
  // MD5 reads pieces of 1 MiB
  MIB - 1, MIB, MIB + 1, 2 * MIB + 1, 5 * MIB + 3,
];

// Names for the Shooter fallback, one per size in turn.
const NAMES = ['movie.avi', '', 'été.mkv', '電影.mp4', '🎬 clip.webm', 'x'.repeat(300)];

function makeFiles(t) {
  const dir = tempDir(t);
  return SIZES.map((size, i) => {
    const data = randomData(size);
    const file = path.join(dir, `${size}.bin`);
    writeFileSync(file, data);
    const name = NAMES[i % NAMES.length];
    return {
      size, data, file, name,
      want: {
        opensubtitles: opensubtitlesRef(size, bytesOf(data)),
        shooter: shooterRef(size, bytesOf(data), name),
        md5: md5Ref(size, bytesOf(data)),
      },
    };
  });
}

test('boundary sizes against the definitions, by path, as bytes and as a Blob', async (t) => {
  for (const f of makeFiles(t)) {
    for (const [kind, source] of [['path', f.file], ['bytes', f.data], ['Blob', new Blob([f.data])]]) {
      const what = `${f.size} bytes as ${kind}`;
      assert.equal(await opensubtitlesHash(source), f.want.opensubtitles, what);
      assert.equal(await shooterHash(source, { fallbackName: f.name }), f.want.shooter, what);
      assert.equal(await md5(source), f.want.md5, what);
    }
  }
});

test('boundary sizes against the native library', { skip: HAVE_NATIVE ? false : NO_NATIVE }, async (t) => {
  const files = makeFiles(t);
  for (const f of files) {
    // One run per name, since the command takes one.
    const [n] = await native([f.file], ['--name', f.name]);
    assert.equal(n.size, f.size);
    assert.equal(await opensubtitlesHash(f.file), n.opensubtitles, `${f.size} opensubtitles`);
    assert.equal(await shooterHash(f.file, { fallbackName: f.name }), n.shooter, `${f.size} shooter`);
    assert.equal(await md5(f.file), n.md5, `${f.size} md5`);
    // And the definitions agree with the native library, so neither can
    // pass by sharing a mistake with this package.
    assert.deepEqual([n.opensubtitles, n.shooter, n.md5], [f.want.opensubtitles, f.want.shooter, f.want.md5]);
  }
});

test('a source that ends before its stated size hashes as the library\'s file functions do', async () => {
  // A Blob-like whose size says 300000 bytes while its bytes end at 202000,
  // as a file does that shrinks after it was sized: the OpenSubtitles
  // ranges count the missing bytes as zeros, a Shooter block cut short
  // hashes as 4096 zeros (not as its partial bytes padded), and MD5 hashes
  // the bytes there are.
  const size = 300000;
  const data = randomData(202000);
  const real = new Blob([data]);
  const shrunk = { size, slice: (a, b) => real.slice(a, b), arrayBuffer: () => real.arrayBuffer() };
  const padded = new Uint8Array(size);
  padded.set(data);
  assert.equal(await opensubtitlesHash(shrunk), opensubtitlesRef(size, bytesOf(padded)));
  // Block 1, at 200000, has 2000 of its bytes.
  const zeros = new Uint8Array(4096);
  const blocks = [4096, 200000, 100000, size - 8192].map((o) => (o + 4096 <= data.length ? data.subarray(o, o + 4096) : zeros));
  assert.equal(await shooterHash(shrunk), blocks.map(md5Hex).join(';'));
  assert.equal(await md5(shrunk), md5Ref(data.length, bytesOf(data)));
});
