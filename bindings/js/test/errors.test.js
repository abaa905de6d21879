// Wrong arguments throw TypeError at the call; failures reject with
// KelhashError carrying the library's status and message, and, for a file
// that cannot be opened or read, the system's error as the cause.

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import * as fs from 'node:fs';
import { open, writeFile } from 'node:fs/promises';
import path from 'node:path';
import { test } from 'node:test';

import * as node from '../src/node.js';
import * as browser from '../src/browser.js';
import { CANNOT_OPEN, READ_ERROR, SEEK_FAILED } from '../src/core.js';
import {
  HAVE_NATIVE, NO_NATIVE, ROOT, md5Hex, native, randomData, stableRef, tempDir,
} from './helpers.js';

const { KelhashError, md5, opensubtitlesHash, shooterHash, stableHash } = node;

// The three functions that take a source, with the options each needs to
// succeed on a small source.
const HASHES = {
  opensubtitlesHash: (s) => opensubtitlesHash(s),
  shooterHash: (s) => shooterHash(s, { fallbackName: 'a.avi' }),
  fingerprints: (s) => node.fingerprints(s, { fallbackName: 'a.avi' }),
  md5: (s) => md5(s),
};

const TOO_SMALL = 'file too small for shooter hash and no fallback name';

async function rejectsWith(promise, status, message) {
  const e = await promise.then(() => assert.fail(`resolved instead of failing with ${message}`), (x) => x);
  assert.ok(e instanceof KelhashError, `not a KelhashError: ${e}`);
  assert.ok(e instanceof Error);
  assert.equal(e.name, 'KelhashError');
  assert.equal(e.status, status);
  assert.equal(e.message, message);
  return e;
}

test('a source of the wrong type throws TypeError at the call', () => {
  const bad = [undefined, null, 42, 1n, true, {}, [], () => {}, Symbol('s'), { size: 3 }];
  for (const api of [node, browser]) {
    for (const name of ['opensubtitlesHash', 'shooterHash', 'fingerprints', 'md5']) {
      for (const b of bad) assert.throws(() => api[name](b), TypeError, `${name}(${String(b)})`);
    }
  }
  // Paths are Node's: the browser entry refuses them.
  for (const p of ['/etc/hostname', new URL('file:///etc/hostname')]) {
    assert.throws(() => browser.md5(p), /read in Node only/);
  }
  // Only file: URLs name files, and only http: and https: URLs are fetched.
  assert.throws(() => md5(new URL('ftp://example.com/movie.mkv')), TypeError);
  // A NUL would end the path early and name another file.
  assert.throws(() => md5('movie.mkv\0.txt'), TypeError);
  assert.throws(() => md5(new URL('file:///tmp/a%00b')), TypeError);
});

test('options and texts of the wrong type throw TypeError at the call', () => {
  const data = new Uint8Array(10);
  assert.throws(() => shooterHash(data, 'movie.avi'), TypeError);
  for (const fallbackName of [5, {}, new Uint8Array(2), 'a\0b']) {
    assert.throws(() => shooterHash(data, { fallbackName }), TypeError, String(fallbackName));
  }
  for (const onProgress of [5, 'f', {}]) assert.throws(() => md5(data, { onProgress }), TypeError);
  assert.throws(() => md5(data, 3), TypeError);
  for (const text of [undefined, null, 5, new Uint8Array(1), ['a'], 'a\0b']) {
    assert.throws(() => stableHash(text), TypeError, String(text));
    assert.throws(() => browser.stableHash(text), TypeError);
  }
});

test('half a reader: the TypeError says what a reader needs and what this one lacks', () => {
  const NEEDS = 'a reader needs { size, read(offset, length) }, read a function returning a Promise of the bytes; ';
  const cases = [
    [{ size: 3 }, 'got an Object with a size but no read'],
    [{ size: 3, read: 'x' }, 'got an Object whose read is a string, not a function'],
    [{ size: 3, read: null }, 'got an Object whose read is null, not a function'],
    [{ read: async (o, n) => new Uint8Array(n) }, 'got an Object with a read() but no size'],
    [new Map(), 'got a Map with a size but no read'],
  ];
  for (const api of [node, browser]) {
    for (const name of Object.keys(HASHES)) {
      for (const [source, what] of cases) {
        assert.throws(() => api[name](source), { name: 'TypeError', message: NEEDS + what }, `${name}: ${what}`);
      }
    }
  }
  // Anything else is not taken for a reader; the article goes by the name.
  for (const [source, what] of [[{}, 'an Object'], [[], 'an Array'], [42, 'a number'], [undefined, 'undefined'],
    [Object.create(null), 'an object'], [new Error('x'), 'an Error'], [new Date(0), 'a Date'], [Symbol('s'), 'a symbol']]) {
    for (const api of [node, browser]) {
      assert.throws(() => api.md5(source), (e) => e instanceof TypeError && e.message.endsWith(`, not ${what}`),
        what);
    }
  }
});

test('timeout and signal of the wrong kind throw TypeError at the call, for every source', () => {
  const data = new Uint8Array(10);
  const calls = [
    (o) => opensubtitlesHash(data, o), (o) => shooterHash(data, { fallbackName: 'a.avi', ...o }),
    (o) => node.fingerprints(data, { fallbackName: 'a.avi', ...o }), (o) => md5(data, o),
    (o) => browser.md5(new URL('https://example.com/a.mkv'), o),
  ];
  for (const call of calls) {
    for (const timeout of [0, -1, NaN, -Infinity, '5000', 5000n, {}]) {
      assert.throws(() => call({ timeout }), /timeout must be a number of milliseconds above 0/, String(timeout));
    }
    for (const signal of [{}, 'abort', 5, { aborted: false }, new EventTarget()]) {
      assert.throws(() => call({ signal }), /signal must be an AbortSignal/, String(signal));
    }
  }
  assert.throws(() => opensubtitlesHash(data, 5), TypeError);
});

test('the messages raised here are the library\'s own, with its statuses', () => {
  const table = fs.readFileSync(path.join(ROOT, 'src', 'frame', 'frame.cpp'), 'utf8');
  for (const message of [CANNOT_OPEN, READ_ERROR, SEEK_FAILED]) {
    assert.match(table, new RegExp(`\\{KELHASH_ERR_IO, "${message}"\\}`), message);
  }
  assert.match(table, /\{KELHASH_ERR_NO_MEMORY, "oom"\}/);
});

test('a missing file: status 1, "cannot open file", the system\'s error as cause', async (t) => {
  const missing = path.join(tempDir(t), 'missing.mkv');
  for (const [name, hash] of Object.entries(HASHES)) {
    const e = await rejectsWith(hash(missing), 1, CANNOT_OPEN);
    assert.equal(e.cause.code, 'ENOENT', name);
  }
});

test('a directory: status 1, "read error", from the failed read', async (t) => {
  const dir = tempDir(t);
  for (const [name, hash] of Object.entries(HASHES)) {
    const e = await rejectsWith(hash(dir), 1, READ_ERROR);
    assert.equal(e.cause.code, 'EISDIR', name);
  }
});

test('the native command reports the same failures with the same messages',
  { skip: HAVE_NATIVE ? false : NO_NATIVE }, async (t) => {
    const dir = tempDir(t);
    const missing = path.join(dir, 'missing.mkv');
    const err = await native([missing]).then(() => assert.fail('the command succeeded'), (e) => e.stderr);
    assert.match(err, new RegExp(`${missing}: ${CANNOT_OPEN}`));
    const err2 = await native([dir]).then(() => assert.fail('the command succeeded'), (e) => e.stderr);
    assert.match(err2, new RegExp(`${dir}: ${READ_ERROR}`));
  });

test('a closed FileHandle: status 1, "read error"', async (t) => {
  const file = path.join(tempDir(t), 'a.bin');
  await writeFile(file, randomData(100));
  const fh = await open(file, 'r');
  await fh.close();
  for (const hash of Object.values(HASHES)) await rejectsWith(hash(fh), 1, READ_ERROR);
});

test('a file that changes under a Node Blob: status 1, "read error", the Blob\'s error as cause',
  { skip: typeof fs.openAsBlob === 'function' ? false : 'fs.openAsBlob needs Node 19.8' }, async (t) => {
    const file = path.join(tempDir(t), 'a.bin');
    const data = randomData(3 << 20);
    for (const hash of Object.values(HASHES)) {
      await writeFile(file, data);
      const blob = await fs.openAsBlob(file);
      assert.equal(await md5(blob), md5Hex(data).toUpperCase());
      await writeFile(file, randomData(3 << 20));
      const e = await rejectsWith(hash(blob), 1, READ_ERROR);
      assert.equal(e.cause.name, 'NotReadableError');
    }
  });

test('a pipe: MD5 reads it to its end, the fingerprints fail as the library\'s do', async (t) => {
  const fifo = path.join(tempDir(t), 'fifo');
  const made = spawn('mkfifo', [fifo]);
  await new Promise((resolve, reject) => made.on('exit', (c) => (c === 0 ? resolve() : reject(new Error('mkfifo')))));
  const data = randomData(3 * (1 << 20) + 5);
  const writer = (async () => {
    const fh = await open(fifo, 'w');
    try {
      await fh.writeFile(data);
    } finally {
      await fh.close();
    }
  })();
  const seen = [];
  assert.equal(await md5(fifo, { onProgress: (d, total) => seen.push([d, total]) }), md5Hex(data).toUpperCase());
  await writer;
  assert.equal(seen.at(-1)[0], data.length);
  assert.ok(seen.every(([, total]) => total === undefined));

  // The library sizes a file by seeking to its end, which a pipe refuses.
  for (const hash of [HASHES.opensubtitlesHash, HASHES.shooterHash, HASHES.fingerprints]) {
    const w = open(fifo, 'w').then((fh) => fh.close());
    await rejectsWith(hash(fifo), 1, SEEK_FAILED);
    await w;
  }
});

test('a Shooter hash of 8192 bytes or less needs a fallback name: status 2', async () => {
  for (const size of [0, 1, 8192]) {
    const data = randomData(size);
    for (const source of [data, new Blob([data])]) {
      await rejectsWith(shooterHash(source), 2, TOO_SMALL);
      await rejectsWith(shooterHash(source, { fallbackName: null }), 2, TOO_SMALL);
      assert.equal(await shooterHash(source, { fallbackName: 'x.avi' }), String(stableRef('x.avi')));
    }
  }
  // Above 8192 bytes the name is not needed and not looked at.
  assert.match(await shooterHash(randomData(8193)), /^[0-9a-f]{32}(;[0-9a-f]{32}){3}$/);
  assert.match(await shooterHash(randomData(8193), { fallbackName: '\ud800' }), /^[0-9a-f]{32}(;|$)/);
});

test('a lone surrogate is not UTF-8: status 4 from the library', async () => {
  for (const text of ['\ud800', 'a\udc00b', 'x\udbff', '\udfff\ud800']) {
    await rejectsWith(stableHash(text), 4, 'invalid UTF-8');
    await rejectsWith(shooterHash(new Uint8Array(5), { fallbackName: text }), 4, 'invalid UTF-8');
  }
  // Surrogate pairs are characters like any other.
  assert.equal(await stableHash('\ud83c\udfac'), stableRef('\ud83c\udfac'));
});

test('text too large for the module\'s memory: status 5, and the module goes on working', async () => {
  await rejectsWith(stableHash('a'.repeat(12 << 20)), 5, 'oom');
  await rejectsWith(shooterHash(new Uint8Array(0), { fallbackName: 'é'.repeat(8 << 20) }), 5, 'oom');
  const long = 'é'.repeat(200000);
  assert.equal(await stableHash(long), stableRef(long));
  assert.equal(await md5(new Uint8Array(3)), md5Hex(new Uint8Array(3)).toUpperCase());
});

test('an onProgress that throws rejects with its error and holds nothing', async () => {
  const data = randomData(3 << 20);
  const boom = new Error('stop');
  // More failing digests than can run at once: each must hand its buffers
  // back, or the last call below would wait for ever.
  for (let i = 0; i < 6; i++) {
    const e = await md5(data, { onProgress: () => { throw boom; } }).catch((x) => x);
    assert.equal(e, boom);
  }
  assert.equal(await md5(data), md5Hex(data).toUpperCase());
});

test('onProgress is called once for an empty source', async () => {
  const seen = [];
  assert.equal(await md5(new Uint8Array(0), { onProgress: (...a) => seen.push(a) }), 'D41D8CD98F00B204E9800998ECF8427E');
  assert.deepEqual(seen, [[0, 0]]);
});
