// A source of more than 4 GiB: every offset and count past 32 bits. Its
// content is zeros with random patches where each hash looks (the head, the
// tail, each Shooter block) and one across the 4 GiB mark, so a range read
// at a truncated offset changes the result. The expected hashes come from
// the definitions over the same patches; the native command, when built,
// hashes a sparse file of the same content.

import assert from 'node:assert/strict';
import { closeSync, ftruncateSync, openSync, writeSync } from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { md5, opensubtitlesHash, shooterHash } from '../src/node.js';
import {
  HAVE_NATIVE, NO_NATIVE, md5Ref, native, opensubtitlesRef, randomData, shooterRef, sparse, tempDir,
} from './helpers.js';

const SIZE = 2 ** 32 + 200003;
const THIRD = Math.floor(SIZE / 3);
const PATCHES = [
  { at: 0, bytes: randomData(70000) },
  { at: THIRD - 100, bytes: randomData(5000) },
  { at: 2 * THIRD - 100, bytes: randomData(5000) },
  { at: 2 ** 32 - 50, bytes: randomData(100) },
  { at: SIZE - 70000, bytes: randomData(70000) },
];
const content = sparse(SIZE, PATCHES);
const want = {
  opensubtitles: opensubtitlesRef(SIZE, content),
  shooter: shooterRef(SIZE, content, null),
};

// Node's own Blob stops at 4 GiB (and fs.openAsBlob reports a larger file's
// size modulo 2^32), so the big Blob here is one of the Blob-like objects
// the package accepts: real Blobs, at most 1 MiB each, joined, sliced into
// real Blobs. The browser test hashes a real Blob of more than 4 GiB.
class JoinedBlob {
  constructor(parts) {
    this.parts = parts;
    this.size = parts.reduce((n, p) => n + p.size, 0);
  }

  slice(start = 0, end = this.size) {
    const out = [];
    let at = 0;
    for (const p of this.parts) {
      const from = Math.max(start, at);
      const to = Math.min(end, at + p.size);
      if (from < to) out.push(p.slice(from - at, to - at));
      at += p.size;
      if (at >= end) break;
    }
    return new Blob(out);
  }

  arrayBuffer() {
    return this.slice().arrayBuffer();
  }
}

function bigBlob() {
  const zero = new Blob([new Uint8Array(1 << 20)]);
  const parts = [];
  let at = 0;
  const gap = (n) => {
    for (; n >= zero.size; n -= zero.size) parts.push(zero);
    if (n > 0) parts.push(zero.slice(0, n));
  };
  for (const p of PATCHES) {
    gap(p.at - at);
    parts.push(new Blob([p.bytes]));
    at = p.at + p.bytes.length;
  }
  gap(SIZE - at);
  return new JoinedBlob(parts);
}

function sparseFile(t) {
  const file = path.join(tempDir(t), 'sparse.bin');
  const fd = openSync(file, 'w');
  try {
    ftruncateSync(fd, SIZE);
    for (const p of PATCHES) writeSync(fd, p.bytes, 0, p.bytes.length, p.at);
  } finally {
    closeSync(fd);
  }
  return file;
}

test('fingerprints of more than 4 GiB, as a Blob and by path', async (t) => {
  const blob = bigBlob();
  assert.equal(blob.size, SIZE);
  const file = sparseFile(t);
  for (const source of [blob, file]) {
    assert.equal(await opensubtitlesHash(source), want.opensubtitles);
    assert.equal(await shooterHash(source), want.shooter);
  }
});

test('fingerprints of more than 4 GiB against the native library', { skip: HAVE_NATIVE ? false : NO_NATIVE },
  async (t) => {
    const file = sparseFile(t);
    const [n] = await native([file], ['--opensubtitles', '--shooter']);
    assert.equal(n.size, SIZE);
    assert.equal(n.opensubtitles, want.opensubtitles);
    assert.equal(n.shooter, want.shooter);
  });

test('MD5 of more than 4 GiB, a Blob and a file at once, with progress', async (t) => {
  const expected = md5Ref(SIZE, content);
  const seen = [];
  const [fromBlob, fromFile] = await Promise.all([
    md5(bigBlob(), {
      onProgress: (done, total) => seen.push([done, total]),
    }),
    md5(sparseFile(t)),
  ]);
  assert.equal(fromBlob, expected);
  assert.equal(fromFile, expected);
  // Every 1 MiB piece is reported, in order, against the full size.
  assert.equal(seen.length, Math.ceil(SIZE / (1 << 20)));
  seen.forEach(([done, total], i) => {
    assert.equal(total, SIZE);
    assert.equal(done, Math.min((i + 1) * (1 << 20), SIZE));
  });
});
