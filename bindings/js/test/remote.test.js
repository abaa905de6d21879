// HTTP(S) URLs against the project's range test server: the hashes of URLs
// equal the golden values, the hashes' definitions and the path functions
// on the same files, at every size where a hash changes shape and above
// 4 GiB; a fingerprint costs at most two round trips and only the bytes it
// needs, as the server counts them; and every way a server can fail gives
// its own error quickly instead of a hash.

import assert from 'node:assert/strict';
import {
  closeSync, copyFileSync, ftruncateSync, mkdtempSync, openSync, rmSync, writeFileSync, writeSync,
} from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';

import * as node from '../src/node.js';
import * as browser from '../src/browser.js';
import { READ_ERROR } from '../src/core.js';
import {
  GOLDEN_NAME, bytesOf, goldenFiles, md5Ref, opensubtitlesRef, randomData, shooterRef, sparse,
} from './helpers.js';
import { startServer } from './server.js';

const { KelhashError, fingerprints, md5, opensubtitlesHash, shooterHash } = node;

const MIB = 1 << 20;
const KIB = 1024;
const IGNORED = 'server ignored the Range request';

// Random files at the sizes where a hash changes shape.
const SIZES = [0, 1, 8192, 8193, 12285, 65535, 65536, 65537, 131072, 131073, 3 * MIB + 5];

// More than 4 GiB, sparse: zeros with random patches where each hash looks
// and one across the 4 GiB mark, so that an offset cut to 32 bits, or a
// range read from the wrong place, changes the result.
const BIG = 5 * 2 ** 30;
const THIRD = Math.floor(BIG / 3);
const PATCHES = [
  { at: 0, bytes: randomData(70000) },
  { at: THIRD - 100, bytes: randomData(5000) },
  { at: 2 * THIRD - 100, bytes: randomData(5000) },
  { at: 2 ** 32 - 50, bytes: randomData(100) },
  { at: BIG - 70000, bytes: randomData(70000) },
];
const bigContent = sparse(BIG, PATCHES);

let dir;
let server;
const generated = [];

before(async () => {
  dir = mkdtempSync(path.join(tmpdir(), 'kelhash-js-http-'));
  for (const f of goldenFiles()) copyFileSync(f.path, path.join(dir, f.file));
  for (const size of SIZES) {
    const data = randomData(size);
    const name = `r${size}.bin`;
    writeFileSync(path.join(dir, name), data);
    generated.push({ size, data, name, file: path.join(dir, name) });
  }
  const fd = openSync(path.join(dir, 'big.bin'), 'w');
  try {
    ftruncateSync(fd, BIG);
    for (const p of PATCHES) writeSync(fd, p.bytes, 0, p.bytes.length, p.at);
  } finally {
    closeSync(fd);
  }
  server = await startServer(dir);
});

after(async () => {
  if (server) await server.stop();
  if (dir) rmSync(dir, { recursive: true, force: true });
});

async function failure(promise) {
  const e = await promise.then(() => assert.fail('resolved instead of failing'), (x) => x);
  assert.ok(e instanceof KelhashError, `not a KelhashError: ${e && e.stack}`);
  assert.equal(e.status, 1);
  return e;
}

// The number of bytes the server wrote, once it has stopped writing: a
// client that did not drop a connection keeps it growing.
async function settledBytes() {
  let last = (await server.stats()).bytes;
  for (let i = 0; i < 20; i++) {
    await new Promise((r) => setTimeout(r, 150));
    const now = (await server.stats()).bytes;
    if (now === last) return now;
    last = now;
  }
  return last;
}

test('golden files by URL string, URL object and through a redirect', async () => {
  for (const f of goldenFiles()) {
    const url = server.url('files', f.file);
    const want = { opensubtitles: f.opensubtitles, shooter: f.shooter };
    assert.equal(await opensubtitlesHash(url), f.opensubtitles, f.file);
    assert.equal(await shooterHash(url, { fallbackName: GOLDEN_NAME }), f.shooter, f.file);
    assert.deepEqual(await fingerprints(url, { fallbackName: GOLDEN_NAME }), want, f.file);
    assert.equal(await md5(url), f.md5, f.file);
    assert.deepEqual(await fingerprints(new URL(url), { fallbackName: GOLDEN_NAME }), want, f.file);
    const moved = server.url('redirect', 'files', f.file);
    assert.deepEqual(await fingerprints(moved, { fallbackName: GOLDEN_NAME }), want, `${f.file} redirected`);
    assert.equal(await md5(moved), f.md5, `${f.file} redirected`);
    // The browser entry takes URL objects.
    assert.deepEqual(await browser.fingerprints(new URL(url), { fallbackName: GOLDEN_NAME }), want, f.file);
    assert.equal(await browser.md5(new URL(url)), f.md5, f.file);
  }
});

test('random files at the size boundaries by URL equal the definitions and the path functions', async () => {
  for (const g of generated) {
    const url = server.url('files', g.name);
    const name = `clip ${g.size}.mkv`;
    const want = {
      opensubtitles: opensubtitlesRef(g.size, bytesOf(g.data)),
      shooter: shooterRef(g.size, bytesOf(g.data), name),
    };
    assert.deepEqual(await fingerprints(url, { fallbackName: name }), want, g.name);
    assert.deepEqual(await fingerprints(g.file, { fallbackName: name }), want, g.name);
    assert.equal(await opensubtitlesHash(url), await opensubtitlesHash(g.file), g.name);
    assert.equal(await shooterHash(url, { fallbackName: name }), await shooterHash(g.file, { fallbackName: name }));
    assert.equal(await md5(url), md5Ref(g.size, bytesOf(g.data)), g.name);
  }
});

test('a small file from a server that ignores Range is read whole from its one answer', async () => {
  for (const f of goldenFiles().filter((g) => g.size <= 65536)) {
    await server.reset();
    const got = await fingerprints(server.url('norange', f.file), { fallbackName: GOLDEN_NAME });
    assert.deepEqual(got, { opensubtitles: f.opensubtitles, shooter: f.shooter }, f.file);
    assert.equal((await server.stats()).requests, 1, f.file);
  }
});

test('5 GiB by URL: the right fingerprints, two round trips and only the bytes needed', async (t) => {
  const url = server.url('files', 'big.bin');
  const want = { opensubtitles: opensubtitlesRef(BIG, bigContent), shooter: shooterRef(BIG, bigContent, null) };
  const cost = async (hash) => {
    await server.reset();
    const result = await hash();
    return { result, ...(await server.stats()) };
  };

  const os = await cost(() => opensubtitlesHash(url));
  assert.equal(os.result, want.opensubtitles);
  const sh = await cost(() => shooterHash(url));
  assert.equal(sh.result, want.shooter);
  const both = await cost(() => fingerprints(url));
  assert.deepEqual(both.result, want);
  t.diagnostic(`opensubtitles: ${os.requests} requests, ${os.bytes} bytes`);
  t.diagnostic(`shooter: ${sh.requests} requests, ${sh.bytes} bytes`);
  t.diagnostic(`both: ${both.requests} requests, ${both.bytes} bytes`);

  // The head (which holds Shooter's first block) and then the tail; the
  // head and then three blocks; for both, the head and then the two middle
  // blocks and the tail (which holds Shooter's last block).
  assert.equal(os.requests, 2);
  assert.equal(sh.requests, 4);
  assert.equal(both.requests, 4);
  // The bodies alone are that many bytes; headers add a few hundred each.
  const payload = { os: 2 * 65536, sh: 65536 + 3 * 4096, both: 2 * 65536 + 2 * 4096 };
  for (const [c, n] of [[os, payload.os], [sh, payload.sh], [both, payload.both]]) {
    assert.ok(c.bytes >= n && c.bytes < n + 4 * KIB, `${c.bytes} bytes for ${n} bytes of bodies`);
  }
  assert.ok(both.bytes < 200 * KIB);

  // Through a redirect: followed once, the other ranges asked for where it led.
  const moved = await cost(() => fingerprints(server.url('redirect', 'files', 'big.bin')));
  assert.deepEqual(moved.result, want);
  assert.equal(moved.requests, 5);
});

test('the ranges after the first go out at once, with no headers of the package\'s own but Range', async (t) => {
  const real = globalThis.fetch;
  const calls = [];
  let open;
  const allOut = new Promise((resolve) => { open = resolve; });
  let gate = 'not reached';
  let timedOut = false;
  // The first answer passes; the others are held until three are asked
  // for. A client that waited for each before asking for the next would
  // hold here until the timer gives up.
  globalThis.fetch = async (url, init) => {
    calls.push({ url: String(url), init });
    if (calls.length > 1) {
      if (calls.length === 4) {
        gate = 'all out';
        open();
      }
      await Promise.race([allOut, new Promise((r) => setTimeout(r, 3000))]);
      if (gate !== 'all out') timedOut = true;
    }
    return real(url, init);
  };
  t.after(() => { globalThis.fetch = real; });
  const url = server.url('files', 'big.bin');
  assert.deepEqual(await fingerprints(url),
    { opensubtitles: opensubtitlesRef(BIG, bigContent), shooter: shooterRef(BIG, bigContent, null) });
  assert.equal(gate, 'all out');
  assert.equal(timedOut, false, 'a request waited for an earlier one to be answered');
  const ranges = calls.map((c) => new Headers(c.init.headers).get('range'));
  assert.equal(ranges[0], 'bytes=0-65535');
  assert.deepEqual(ranges.slice(1).sort(), [
    `bytes=${THIRD}-${THIRD + 4095}`, `bytes=${2 * THIRD}-${2 * THIRD + 4095}`, `bytes=${BIG - 65536}-${BIG - 1}`,
  ].sort());
  for (const c of calls) {
    assert.equal(c.url, url);
    const names = [...new Headers(c.init.headers).keys()].sort();
    assert.deepEqual(names, ['accept-encoding', 'range']);
    assert.ok(c.init.credentials === undefined || c.init.credentials !== 'include');
  }
});

test('MD5 by URL: one plain GET, progress piece by piece against its Content-Length', async () => {
  const g = generated.find((x) => x.size === 3 * MIB + 5);
  await server.reset();
  const seen = [];
  assert.equal(await md5(server.url('files', g.name), { onProgress: (d, total) => seen.push([d, total]) }),
    md5Ref(g.size, bytesOf(g.data)));
  assert.deepEqual(seen, [[MIB, g.size], [2 * MIB, g.size], [3 * MIB, g.size], [g.size, g.size]]);
  const stats = await server.stats();
  assert.equal(stats.requests, 1);
  assert.ok(stats.bytes < g.size + KIB, `${stats.bytes} bytes`);
  // A server that does not do ranges serves MD5 as well.
  assert.equal(await md5(server.url('norange', g.name)), md5Ref(g.size, bytesOf(g.data)));
});

// A port that was just free: bound, noted and closed. It is one of the
// system's ephemeral ports, above every port that fetch refuses outright
// ("bad port"), so the failure is the refused connection itself.
async function closedPort() {
  const s = createServer();
  await new Promise((resolve) => s.listen(0, '127.0.0.1', resolve));
  const { port } = s.address();
  await new Promise((resolve) => s.close(resolve));
  return port;
}

function causeChain(e) {
  const out = [];
  for (let c = e.cause; c !== undefined && c !== null && out.length < 5; c = c.cause) out.push(c);
  return out;
}

test('every way a server fails gives its own error, quickly', async () => {
  const dead = `http://127.0.0.1:${await closedPort()}/files/200003.bin`;
  // [what, hash, url, message (a string or a pattern), check of the cause]
  const fp = (u) => fingerprints(u, { fallbackName: GOLDEN_NAME });
  const cases = [
    ['no Range on a file over 64 KiB', fp, server.url('norange', '65537.bin'), IGNORED],
    ['no Range, through a redirect', fp, server.url('redirect', 'norange', '200003.bin'), IGNORED],
    ['a range that starts one byte late', fp, server.url('badstart', '200003.bin'),
      'bad Content-Range: bytes 1-65536/200003'],
    ['the same, through a redirect', opensubtitlesHash, server.url('redirect', 'badstart', '200003.bin'),
      'bad Content-Range: bytes 1-65536/200003'],
    // The first answer's total is taken as the size; the next ones name
    // other totals.
    ['a total that changes', fp, server.url('badtotal', '200003.bin'), /^bad Content-Range: bytes \d+-\d+\/2000\d\d$/],
    ['a body one byte short', fp, server.url('short', '200003.bin'), READ_ERROR,
      (e) => assert.equal(e.cause.message, 'short body: 65536 bytes asked at offset 0, 65535 received')],
    ['a body one byte short, small file', (u) => shooterHash(u), server.url('short', '8193.bin'), READ_ERROR,
      (e) => assert.equal(e.cause.message, 'short body: 8193 bytes asked at offset 0, 8192 received')],
    ['a connection closed halfway', fp, server.url('cut', '200003.bin'), READ_ERROR,
      (e) => assert.ok(e.cause instanceof Error)],
    ['a connection closed halfway, MD5', md5, server.url('cutplain', '200003.bin'), READ_ERROR,
      (e) => assert.ok(e.cause instanceof Error)],
    ['a missing file', fp, server.url('files', 'missing.bin'), 'server answered HTTP 404'],
    ['a missing file, MD5', md5, server.url('files', 'missing.bin'), 'server answered HTTP 404'],
    ['HTTP 404', opensubtitlesHash, server.url('status', '404'), 'server answered HTTP 404'],
    ['HTTP 500', fp, server.url('status', '500'), 'server answered HTTP 500'],
    ['HTTP 500, MD5', md5, server.url('status', '500'), 'server answered HTTP 500'],
    // Only "bytes */0" says that a file is empty.
    ['HTTP 416 without a size', fp, server.url('status', '416'), 'server answered HTTP 416'],
    ['a closed port', fp, dead, READ_ERROR,
      (e) => assert.ok(causeChain(e).some((c) => c.code === 'ECONNREFUSED'), String(causeChain(e)))],
    ['a closed port, MD5', md5, dead, READ_ERROR,
      (e) => assert.ok(causeChain(e).some((c) => c.code === 'ECONNREFUSED'), String(causeChain(e)))],
  ];
  for (const [what, hash, url, message, check] of cases) {
    const started = Date.now();
    const e = await failure(hash(url));
    const took = Date.now() - started;
    if (typeof message === 'string') assert.equal(e.message, message, what);
    else assert.match(e.message, message, what);
    if (check) check(e);
    assert.ok(took < 3000, `${what}: ${took} ms`);
  }
});

test('a large file from a server that ignores Range: dropped at once, far less sent than the file', async (t) => {
  await server.reset();
  const started = Date.now();
  for (const hash of [opensubtitlesHash, (u) => shooterHash(u), fingerprints]) {
    const e = await failure(hash(server.url('norange', 'big.bin')));
    assert.equal(e.message, IGNORED);
  }
  assert.ok(Date.now() - started < 3000);
  const sent = await settledBytes();
  t.diagnostic(`${sent} bytes sent for three requests`);
  assert.ok(sent < 64 * MIB, `${sent} bytes sent of three 5 GiB answers`);
});

test('an MD5 of a URL stopped by its onProgress rejects with its error and reads no further', async (t) => {
  await server.reset();
  const stop = new Error('enough');
  const e = await md5(server.url('files', 'big.bin'), { onProgress: () => { throw stop; } }).catch((x) => x);
  assert.equal(e, stop);
  const sent = await settledBytes();
  t.diagnostic(`${sent} bytes sent of 5 GiB`);
  assert.ok(sent < 64 * MIB, `${sent} bytes sent of 5 GiB`);
});

// Answers that the test server never gives, made up in place of fetch: a
// fetch that does not check lengths itself, and headers that no sane server
// sends.
test('answers that break the protocol in other ways', async (t) => {
  const real = globalThis.fetch;
  t.after(() => { globalThis.fetch = real; });
  const answer = (body, status, headers) => {
    globalThis.fetch = async () => new Response(body, { status, headers });
  };
  const url = 'http://127.0.0.1:9/movie.mkv';

  // A body shorter than the Content-Length it came with.
  answer(new Uint8Array(100), 200, { 'content-length': '150' });
  let e = await failure(md5(url));
  assert.equal(e.message, READ_ERROR);
  assert.equal(e.cause.message, 'body ended after 100 of 150 bytes');
  // A whole small file whose body is shorter than its Content-Length.
  e = await failure(opensubtitlesHash(url));
  assert.equal(e.message, READ_ERROR);
  assert.equal(e.cause.message, 'short body: 150 bytes asked at offset 0, 100 received');

  // A 200 without a length, which goes on past 64 KiB.
  answer(new Uint8Array(65537), 200, {});
  assert.equal((await failure(opensubtitlesHash(url))).message, IGNORED);
  // ... and one that ends in time is the whole file.
  const small = randomData(65536);
  answer(small, 200, {});
  assert.equal(await opensubtitlesHash(url), opensubtitlesRef(small.length, bytesOf(small)));

  // A 206 without Content-Range, or with one for other bytes or no total.
  for (const [headers, message] of [
    [{}, 'bad Content-Range: (none)'],
    [{ 'content-range': 'bytes 0-65535/*' }, 'bad Content-Range: bytes 0-65535/*'],
    [{ 'content-range': 'bytes 0-99/100000' }, 'bad Content-Range: bytes 0-99/100000'],
    [{ 'content-range': 'bytes 0-65535/100' }, 'bad Content-Range: bytes 0-65535/100'],
    [{ 'content-range': 'items 0-65535/100000' }, 'bad Content-Range: items 0-65535/100000'],
  ]) {
    answer(new Uint8Array(65536), 206, headers);
    assert.equal((await failure(fingerprints(url))).message, message);
  }
  // A server whose later answers are of another file: the bytes asked
  // for, but another total.
  const file = randomData(200003);
  let served = 0;
  globalThis.fetch = async (u, init) => {
    const [, a, b] = /^bytes=(\d+)-(\d+)$/.exec(new Headers(init.headers).get('range')).map(Number);
    const total = served++ === 0 ? file.length : file.length + 1;
    const headers = { 'content-range': `bytes ${a}-${b}/${total}` };
    return new Response(file.slice(a, b + 1), { status: 206, headers });
  };
  assert.equal((await failure(shooterHash(url))).message, 'bad Content-Range: bytes 66667-70762/200004');
  // A 206 whose body is longer than the range it names.
  answer(new Uint8Array(65537), 206, { 'content-range': 'bytes 0-65535/100000' });
  e = await failure(opensubtitlesHash(url));
  assert.equal(e.message, READ_ERROR);
  assert.equal(e.cause.message, 'long body: 65536 bytes asked at offset 0, more received');
  // An empty file says so with a 416 for "bytes */0"; any other total is not one.
  answer(null, 416, { 'content-range': 'bytes */0' });
  assert.deepEqual(await fingerprints(url, { fallbackName: GOLDEN_NAME }),
    { opensubtitles: '0000000000000000', shooter: shooterRef(0, bytesOf(new Uint8Array(0)), GOLDEN_NAME) });
  answer(null, 416, { 'content-range': 'bytes */70000' });
  assert.equal((await failure(fingerprints(url))).message, 'server answered HTTP 416');
});

// A server of answers made up in place of fetch: the file's bytes for any
// range, with the Content-Range that contentRange(first, last, total) gives.
function fakeServer(file, contentRange) {
  return async (u, init) => {
    const range = new Headers(init.headers).get('range');
    const [, a, b] = /^bytes=(\d+)-(\d+)$/.exec(range).map(Number);
    const last = Math.min(b, file.length - 1);
    if (a >= file.length) return new Response(null, { status: 416, headers: { 'content-range': contentRange(null) } });
    const headers = new Headers();
    for (const v of [].concat(contentRange(a, last, file.length))) headers.append('content-range', v);
    return new Response(file.slice(a, last + 1), { status: 206, headers });
  };
}

test('Content-Range: the unit in any case; repeated or overlong values refused as sent', async (t) => {
  const real = globalThis.fetch;
  t.after(() => { globalThis.fetch = real; });
  const url = 'http://127.0.0.1:9/movie.mkv';
  for (const size of [1000, 200003]) {
    const file = randomData(size);
    const want = {
      opensubtitles: opensubtitlesRef(size, bytesOf(file)),
      shooter: shooterRef(size, bytesOf(file), GOLDEN_NAME),
    };
    for (const unit of ['BYTES', 'Bytes', 'bYtEs']) {
      globalThis.fetch = fakeServer(file, (a, b, total) => `${unit} ${a}-${b}/${total}`);
      assert.deepEqual(await fingerprints(url, { fallbackName: GOLDEN_NAME }), want, `${unit}, ${size}`);
    }
    // Two values in one answer, as fetch joins them; the first is right.
    globalThis.fetch = fakeServer(file, (a, b, total) => [`bytes ${a}-${b}/${total}`, `bytes ${a}-${b}/${total + 1}`]);
    assert.equal((await failure(fingerprints(url, { fallbackName: GOLDEN_NAME }))).message,
      `bad Content-Range: bytes 0-${Math.min(size, 65536) - 1}/${size}, bytes 0-${Math.min(size, 65536) - 1}/${size + 1}`);
    // A total with more digits than any size has, if only zeros in front:
    // refused whole, not read in part.
    const padded = `${'0'.repeat(120)}${size}`;
    globalThis.fetch = fakeServer(file, (a, b) => `bytes ${a}-${b}/${padded}`);
    assert.equal((await failure(fingerprints(url, { fallbackName: GOLDEN_NAME }))).message,
      `bad Content-Range: bytes 0-${Math.min(size, 65536) - 1}/${padded}`);
  }
  // An empty file, "bytes */0" in any case.
  for (const value of ['bytes */0', 'BYTES */0', 'Bytes */0']) {
    globalThis.fetch = fakeServer(new Uint8Array(0), () => value);
    assert.deepEqual(await fingerprints(url, { fallbackName: GOLDEN_NAME }),
      { opensubtitles: '0000000000000000', shooter: shooterRef(0, bytesOf(new Uint8Array(0)), GOLDEN_NAME) }, value);
  }
  // A total beyond 2^63 - 1, and another unit: refused.
  for (const value of ['bytes 0-65535/9223372036854775808', 'bytes 0-65535/99999999999999999999', 'items 0-65535/200003']) {
    globalThis.fetch = fakeServer(randomData(65536), () => value);
    assert.equal((await failure(fingerprints(url))).message, `bad Content-Range: ${value}`);
  }
});

test('URL arguments: only http: and https: are fetched; the browser entry takes URL objects only', () => {
  for (const u of ['ftp://example.com/a.mkv', 'data:,abc']) {
    assert.throws(() => md5(new URL(u)), TypeError, u);
    assert.throws(() => browser.md5(new URL(u)), TypeError, u);
  }
  assert.throws(() => browser.fingerprints('http://127.0.0.1/a.mkv'), TypeError);
  // Not a URL at all: TypeError at the call, not a request.
  assert.throws(() => fingerprints('http://'), TypeError);
  assert.throws(() => fingerprints('https://[::1/'), TypeError);
});
