// The project's golden files, whose expected hashes come from the hashes'
// definitions and not from the library, through every kind of source.

import assert from 'node:assert/strict';
import { open, readFile } from 'node:fs/promises';
import { test } from 'node:test';
import { pathToFileURL } from 'node:url';

import { fingerprints, md5, opensubtitlesHash, shooterHash, stableHash } from '../src/node.js';
import * as browser from '../src/browser.js';
import { GOLDEN_NAME, goldenFiles, goldenTexts } from './helpers.js';

// Each kind of source made from a file's bytes and path; close() for what
// must be released after hashing.
const KINDS = {
  'Uint8Array': async (f) => new Uint8Array(await readFile(f.path)),
  // A view into the middle of a larger buffer: only its own bytes count.
  'Uint8Array at an offset': async (f) => {
    const data = await readFile(f.path);
    const big = new Uint8Array(data.length + 11).fill(0xa5);
    big.set(data, 7);
    return big.subarray(7, 7 + data.length);
  },
  'Buffer': (f) => readFile(f.path),
  'ArrayBuffer': async (f) => {
    const data = await readFile(f.path);
    return data.buffer.slice(data.byteOffset, data.byteOffset + data.length);
  },
  'SharedArrayBuffer': async (f) => {
    const data = await readFile(f.path);
    const shared = new SharedArrayBuffer(data.length);
    new Uint8Array(shared).set(data);
    return shared;
  },
  'DataView': async (f) => {
    const data = await readFile(f.path);
    const big = new Uint8Array(data.length + 5);
    big.set(data, 3);
    return new DataView(big.buffer, 3, data.length);
  },
  'Blob': async (f) => new Blob([await readFile(f.path)]),
  'path': (f) => f.path,
  'file: URL': (f) => pathToFileURL(f.path),
  'FileHandle': (f) => open(f.path, 'r'),
};

for (const [kind, make] of Object.entries(KINDS)) {
  test(`golden files as ${kind}`, async () => {
    for (const f of goldenFiles()) {
      const source = await make(f);
      try {
        assert.equal(await opensubtitlesHash(source), f.opensubtitles, `${f.file} opensubtitles`);
        assert.equal(await shooterHash(source, { fallbackName: GOLDEN_NAME }), f.shooter, `${f.file} shooter`);
        assert.deepEqual(await fingerprints(source, { fallbackName: GOLDEN_NAME }),
          { opensubtitles: f.opensubtitles, shooter: f.shooter }, `${f.file} fingerprints`);
        assert.equal(await md5(source), f.md5, `${f.file} md5`);
      } finally {
        if (kind === 'FileHandle') await source.close();
      }
    }
  });
}

test('a FileHandle is read from its start and left open, wherever its position', async () => {
  const f = goldenFiles().find((g) => g.size === 200003);
  const fh = await open(f.path, 'r');
  try {
    await fh.read(new Uint8Array(5000), 0, 5000, null); // moves the position
    assert.equal(await md5(fh), f.md5);
    assert.equal(await opensubtitlesHash(fh), f.opensubtitles);
    assert.equal(await shooterHash(fh), f.shooter);
    assert.equal((await fh.stat()).size, f.size); // still usable
  } finally {
    await fh.close();
  }
});

test('the browser entry gives the golden hashes for bytes and Blobs', async () => {
  for (const f of goldenFiles()) {
    const data = await readFile(f.path);
    for (const source of [new Uint8Array(data), new Blob([data])]) {
      assert.equal(await browser.opensubtitlesHash(source), f.opensubtitles, f.file);
      assert.equal(await browser.shooterHash(source, { fallbackName: GOLDEN_NAME }), f.shooter, f.file);
      assert.deepEqual(await browser.fingerprints(source, { fallbackName: GOLDEN_NAME }),
        { opensubtitles: f.opensubtitles, shooter: f.shooter }, f.file);
      assert.equal(await browser.md5(source), f.md5, f.file);
    }
  }
});

test('stable hashes of the golden texts', async () => {
  for (const { text, hash } of goldenTexts()) {
    assert.equal(await stableHash(text), hash, JSON.stringify(text));
    assert.equal(await browser.stableHash(text), hash, JSON.stringify(text));
  }
});
