// Readers: { size, read(offset, length) } sources of the caller's (a torrent
// stream, object storage). Over the same bytes they hash as the buffer
// functions and the hashes' definitions do; they are asked for exactly the
// ranges the hashes need, each byte once and all at once; and a read that
// fails or brings other than the bytes asked for fails the hash with its
// reason, never gives a hash of bytes that are not there.

import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { test } from 'node:test';

import * as node from '../src/node.js';
import * as browser from '../src/browser.js';
import { READ_ERROR } from '../src/core.js';
import {
  GOLDEN_NAME, bytesOf, goldenFiles, md5Hex, md5Ref, opensubtitlesRef, randomData, shooterRef, sparse,
} from './helpers.js';

const { KelhashError, fingerprints, md5, opensubtitlesHash, shooterHash } = node;

const MIB = 1 << 20;

// A reader over bytesAt(o, n) that records what it is asked. Each answer is
// bytes of its own (a sparse content hands out one buffer of zeros for
// every hole, and answers to reads out at the same time must not share
// memory).
function recording(size, bytesAt) {
  const asked = [];
  return {
    asked,
    reader: {
      size,
      async read(offset, length) {
        asked.push([offset, length]);
        return bytesAt(offset, length).slice();
      },
    },
  };
}

const sorted = (ranges) => [...ranges].sort((a, b) => a[0] - b[0]);

async function readError(promise) {
  const e = await promise.then(() => assert.fail('resolved instead of failing'), (x) => x);
  assert.ok(e instanceof KelhashError, `not a KelhashError: ${e && e.stack}`);
  assert.equal(e.status, 1);
  assert.equal(e.message, READ_ERROR);
  return e;
}

// What read() may resolve to, each made from the bytes asked for.
const RESULTS = {
  'Uint8Array': (b) => new Uint8Array(b),
  'Buffer': (b) => Buffer.from(b),
  'ArrayBuffer': (b) => new Uint8Array(b).buffer,
  'DataView in a larger buffer': (b) => {
    const big = new Uint8Array(b.length + 9);
    big.set(b, 4);
    return new DataView(big.buffer, 4, b.length);
  },
  'Uint8Array in a larger buffer': (b) => {
    const big = new Uint8Array(b.length + 9).fill(0x5a);
    big.set(b, 5);
    return big.subarray(5, 5 + b.length);
  },
};

test('golden files through readers of every result type, with a number or a bigint size', async () => {
  for (const f of goldenFiles()) {
    const data = new Uint8Array(await readFile(f.path));
    for (const [kind, make] of Object.entries(RESULTS)) {
      for (const size of [data.length, BigInt(data.length)]) {
        const reader = { size, read: async (o, n) => make(data.subarray(o, o + n)) };
        const what = `${f.file}, ${kind}, ${typeof size}`;
        assert.equal(await opensubtitlesHash(reader), f.opensubtitles, what);
        assert.equal(await shooterHash(reader, { fallbackName: GOLDEN_NAME }), f.shooter, what);
        assert.deepEqual(await fingerprints(reader, { fallbackName: GOLDEN_NAME }),
          { opensubtitles: f.opensubtitles, shooter: f.shooter }, what);
        assert.equal(await md5(reader), f.md5, what);
      }
    }
    // The browser entry takes readers too.
    const reader = { size: data.length, read: async (o, n) => data.subarray(o, o + n) };
    assert.deepEqual(await browser.fingerprints(reader, { fallbackName: GOLDEN_NAME }),
      { opensubtitles: f.opensubtitles, shooter: f.shooter }, f.file);
    assert.equal(await browser.md5(reader), f.md5, f.file);
  }
});

test('random bytes at the size boundaries: a reader hashes as the buffer functions and the definitions', async () => {
  const sizes = [0, 1, 8192, 8193, 12283, 12284, 12285, 12286, 65535, 65536, 65537, 131072, 131073, 3 * MIB + 5];
  for (const size of sizes) {
    const data = randomData(size);
    const name = `clip ${size}.mkv`;
    const reader = { size, read: async (o, n) => data.subarray(o, o + n) };
    const want = {
      opensubtitles: opensubtitlesRef(size, bytesOf(data)),
      shooter: shooterRef(size, bytesOf(data), name),
    };
    assert.deepEqual(await fingerprints(reader, { fallbackName: name }), want, String(size));
    assert.deepEqual(await fingerprints(data, { fallbackName: name }), want, String(size));
    assert.equal(await opensubtitlesHash(reader), await opensubtitlesHash(data), String(size));
    assert.equal(await shooterHash(reader, { fallbackName: name }), await shooterHash(data, { fallbackName: name }));
    assert.equal(await md5(reader), md5Ref(size, bytesOf(data)), String(size));
  }
});

// The ranges, [offset, length] in ascending order, that each hash asks of a
// reader of that size, worked out by hand from the ranges' definitions:
// OpenSubtitles the first and last min(S, 65536) bytes, Shooter (only above
// 8192 bytes) 4096 bytes at 4096, 2 * (S / 3), S / 3 and S - 8192, the one
// at two thirds only as long as the file; overlapping or touching ranges
// read as one.
const BIG = 5 * 2 ** 30;
const PLANS = [
  { size: 0, opensubtitles: [], shooter: [], both: [] },
  { size: 5000, opensubtitles: [[0, 5000]], shooter: [], both: [[0, 5000]] },
  // Blocks at 4096, 5462 (2731 bytes to the end), 2731 and 1.
  { size: 8193, opensubtitles: [[0, 8193]], shooter: [[1, 8192]], both: [[0, 8193]] },
  // Blocks at 4096, 8190 (4095 to the end), 4095 and 4093.
  { size: 12285, opensubtitles: [[0, 12285]], shooter: [[4093, 8192]], both: [[0, 12285]] },
  // Head and tail overlap: one read of the whole file.
  { size: 100000, opensubtitles: [[0, 100000]], shooter: [[4096, 4096], [33333, 4096], [66666, 4096], [91808, 4096]],
    both: [[0, 100000]] },
  // Head and tail touch.
  { size: 131072, opensubtitles: [[0, 131072]], shooter: [[4096, 4096], [43690, 4096], [87380, 4096], [122880, 4096]],
    both: [[0, 131072]] },
  // The block at a third starts where the head ends; the one at two thirds
  // where the tail starts.
  { size: 196608, opensubtitles: [[0, 65536], [131072, 65536]],
    shooter: [[4096, 4096], [65536, 4096], [131072, 4096], [188416, 4096]],
    both: [[0, 69632], [131072, 65536]] },
  // The block at two thirds (133334) runs into the tail (134467).
  { size: 200003, opensubtitles: [[0, 65536], [134467, 65536]],
    shooter: [[4096, 4096], [66667, 4096], [133334, 4096], [191811, 4096]],
    both: [[0, 65536], [66667, 4096], [133334, 66669]] },
  { size: BIG, opensubtitles: [[0, 65536], [5368643584, 65536]],
    shooter: [[4096, 4096], [1789569706, 4096], [3579139412, 4096], [5368700928, 4096]],
    both: [[0, 65536], [1789569706, 4096], [3579139412, 4096], [5368643584, 65536]] },
];

test('a reader is asked exactly the ranges each hash needs, offsets as numbers', async () => {
  for (const plan of PLANS) {
    const content = sparse(plan.size, [{ at: 0, bytes: randomData(Math.min(plan.size, 70000)) }]);
    for (const [what, hash] of [
      ['opensubtitles', (r) => opensubtitlesHash(r)],
      ['shooter', (r) => shooterHash(r, { fallbackName: GOLDEN_NAME })],
      ['both', (r) => fingerprints(r, { fallbackName: GOLDEN_NAME })],
    ]) {
      for (const size of [plan.size, BigInt(plan.size)]) {
        const { asked, reader } = recording(size, content);
        await hash(reader);
        assert.deepEqual(sorted(asked), plan[what], `${plan.size} ${what}`);
        assert.ok(asked.every(([o, n]) => typeof o === 'number' && typeof n === 'number'));
      }
    }
  }
  // MD5 reads the whole source once, in order, 1 MiB at a time.
  const size = 3 * MIB + 5;
  const data = randomData(size);
  const { asked, reader } = recording(size, bytesOf(data));
  assert.equal(await md5(reader), md5Hex(data).toUpperCase());
  assert.deepEqual(asked, [[0, MIB], [MIB, MIB], [2 * MIB, MIB], [3 * MIB, 5]]);
});

test('5 GiB through a reader: the definitions\' fingerprints, its four reads all asked before any is answered',
  async () => {
    const third = Math.floor(BIG / 3);
    const content = sparse(BIG, [
      { at: 0, bytes: randomData(70000) },
      { at: third - 100, bytes: randomData(5000) },
      { at: 2 * third - 100, bytes: randomData(5000) },
      { at: 2 ** 32 - 50, bytes: randomData(100) },
      { at: BIG - 70000, bytes: randomData(70000) },
    ]);
    // Each read waits until all four are out; a reader asked one at a time
    // would wait here until the timer gives up.
    let asked = 0;
    let open;
    const allOut = new Promise((resolve) => { open = resolve; });
    let gate = 'not reached';
    let timedOut = false;
    const reader = {
      size: BigInt(BIG),
      async read(o, n) {
        if (++asked === 4) {
          gate = 'all out';
          open();
        }
        await Promise.race([allOut, new Promise((r) => setTimeout(r, 3000))]);
        if (gate !== 'all out') timedOut = true;
        return content(o, n);
      },
    };
    assert.deepEqual(await fingerprints(reader),
      { opensubtitles: opensubtitlesRef(BIG, content), shooter: shooterRef(BIG, content, null) });
    assert.equal(gate, 'all out');
    assert.equal(timedOut, false, 'a read waited for an earlier one to be answered');
    assert.equal(asked, 4);
  });

test('a reader that hands back one buffer it refills: a read error for the fingerprints, never a wrong hash',
  async () => {
    const size = 200003;
    const data = randomData(size);
    const want = { opensubtitles: opensubtitlesRef(size, bytesOf(data)), shooter: shooterRef(size, bytesOf(data), null) };
    const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
    // Each of these answers a read with a view of memory that another read,
    // out at the same time, fills with other bytes.
    const refilling = {
      // Fills its one buffer when asked, answers a little later: every
      // answer holds the bytes of the last read asked for.
      'fills when asked': () => {
        const buf = new Uint8Array(size);
        return async (o, n) => {
          buf.set(data.subarray(o, o + n));
          await sleep(5);
          return buf.subarray(0, n);
        };
      },
      // Fills it just before it answers, the first asked answering last.
      'fills when it answers, out of order': () => {
        const buf = new Uint8Array(size);
        let pending = 0;
        return async (o, n) => {
          await sleep(Math.max(40 - 10 * pending++, 0));
          buf.set(data.subarray(o, o + n));
          return buf.subarray(0, n);
        };
      },
      // A ring of two buffers: the third read takes the first one again.
      'a ring of two buffers': () => {
        const ring = new Uint8Array(2 * size);
        let next = 0;
        return async (o, n) => {
          const at = next;
          next = (next + 1) % 2;
          const view = ring.subarray(at * size, at * size + n);
          await sleep(5);
          view.set(data.subarray(o, o + n));
          return view;
        };
      },
    };
    for (const [what, make] of Object.entries(refilling)) {
      for (const hash of [(r) => fingerprints(r), (r) => shooterHash(r)]) {
        const e = await readError(hash({ size, read: make() }));
        assert.match(e.cause.message,
          /^read\(\d+, \d+\) resolved to the same memory as read\(\d+, \d+\), which was out at the same time: each read must resolve to bytes of its own/,
          what);
      }
      // MD5 asks for one piece at a time and copies it before the next: a
      // reader that refills one buffer is fine there.
      assert.equal(await md5({ size, read: make() }), md5Hex(data).toUpperCase(), what);
    }
    // Views of one buffer that holds the whole file share no memory between
    // two reads: that is a reader's answer of its own bytes, as is a copy.
    for (const read of [async (o, n) => data.subarray(o, o + n), async (o, n) => data.slice(o, o + n)]) {
      assert.deepEqual(await fingerprints({ size, read }), want);
    }
    // ... and so do Node's Buffers, small ones of which share a pool.
    const pooled = await shooterHash({ size: 9000, read: async (o, n) => Buffer.from(data.subarray(o, o + n)) },
      { fallbackName: GOLDEN_NAME });
    assert.equal(pooled, shooterRef(9000, bytesOf(data), GOLDEN_NAME));
  });

test('a read that brings other than the bytes asked for is a read error with the counts as cause', async () => {
  const size = 200003;
  const data = randomData(size);
  // Wrong for the range at `at` only.
  const off = (at, delta) => ({
    size,
    read: async (o, n) => data.subarray(o, o + (o === at ? n + delta : n)),
  });
  const cases = [
    [(r) => opensubtitlesHash(r), off(134467, -17), 'short read: 65536 bytes asked at offset 134467, 65519 returned'],
    [(r) => shooterHash(r), off(66667, -4096), 'short read: 4096 bytes asked at offset 66667, 0 returned'],
    [(r) => shooterHash(r), off(66667, 1), 'long read: 4096 bytes asked at offset 66667, 4097 returned'],
    [(r) => fingerprints(r), off(133334, -1), 'short read: 66669 bytes asked at offset 133334, 66668 returned'],
    [(r) => md5(r), off(0, -1), `short read: ${size} bytes asked at offset 0, ${size - 1} returned`],
  ];
  for (const [hash, reader, cause] of cases) {
    const e = await readError(hash(reader));
    assert.equal(e.cause.message, cause);
  }
  // A short read at the end of a small file is no different.
  const small = { size: 9000, read: async (o, n) => new Uint8Array(n - 1) };
  for (const hash of [opensubtitlesHash, shooterHash, fingerprints, md5]) await readError(hash(small));
});

test('a read that throws, rejects or resolves to no bytes: read error, the reader\'s own error as cause', async () => {
  const boom = new Error('disk on fire');
  const readers = [
    ['throws', { size: 100000, read() { throw boom; } }, (c) => assert.equal(c, boom)],
    ['rejects', { size: 100000, read: async () => { throw boom; } }, (c) => assert.equal(c, boom)],
    ['rejects with a string', { size: 100000, read: () => Promise.reject('gone') }, (c) => assert.equal(c, 'gone')],
    ['resolves to nothing', { size: 100000, read: async () => undefined }, (c) => assert.ok(c instanceof TypeError)],
    ['resolves to a string', { size: 100000, read: async (o, n) => 'x'.repeat(n) },
      (c) => assert.ok(c instanceof TypeError)],
    ['resolves to an array', { size: 100000, read: async (o, n) => new Array(n).fill(0) },
      (c) => assert.ok(c instanceof TypeError)],
  ];
  for (const [what, reader, check] of readers) {
    for (const hash of [opensubtitlesHash, (r) => shooterHash(r), fingerprints, md5]) {
      const e = await readError(hash(reader));
      check(e.cause, what);
    }
  }
});

test('a stream with pieces missing (only its first 1 MiB there yet) gives an error, not a hash', async () => {
  const size = 700 * MIB;
  const data = randomData(MIB);
  const missing = [];
  const reader = {
    size,
    async read(o, n) {
      if (o + n > MIB) {
        const e = new Error(`piece at ${o} not yet available`);
        missing.push(e);
        throw e;
      }
      return data.subarray(o, o + n);
    },
  };
  for (const hash of [opensubtitlesHash, (r) => shooterHash(r), fingerprints, md5]) {
    missing.length = 0;
    const seen = [];
    const e = await readError(hash === md5 ? md5(reader, { onProgress: (d) => seen.push(d) }) : hash(reader));
    assert.ok(missing.includes(e.cause), String(e.cause));
    // MD5 got as far as the bytes that are there, and no further.
    if (hash === md5) assert.deepEqual(seen, [MIB]);
  }
  // With every piece there, the same reader shape hashes.
  const whole = { size: MIB, read: async (o, n) => data.subarray(o, o + n) };
  assert.equal(await md5(whole), md5Hex(data).toUpperCase());
});

test('a reader\'s size must be a whole number of bytes: TypeError at the call', () => {
  const read = async (o, n) => new Uint8Array(n);
  for (const size of [-1, 1.5, NaN, Infinity, 2 ** 53, '10', null, undefined, -1n, 2n ** 53n, {}]) {
    for (const api of [node, browser]) {
      for (const name of ['opensubtitlesHash', 'shooterHash', 'fingerprints', 'md5']) {
        assert.throws(() => api[name]({ size, read }), TypeError, `${name} size ${String(size)}`);
      }
    }
  }
  // Something with a size but no read() is not a reader.
  for (const api of [node, browser]) assert.throws(() => api.fingerprints({ size: 3, read: 'x' }), TypeError);
});
