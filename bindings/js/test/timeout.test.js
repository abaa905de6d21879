// URLs whose server goes quiet: a request that receives nothing for its
// timeout (30 s, or the caller's `timeout`) fails with a read error that
// names the timeout, whether the server never answers or stops halfway
// through a body; a slow server that keeps sending is waited for however
// long the whole takes; and the caller's AbortSignal stops a call at once
// with the signal's reason. The server here is a raw socket server of the
// test's own, since the project's range server always answers promptly.

import assert from 'node:assert/strict';
import { getEventListeners } from 'node:events';
import { createServer } from 'node:net';
import { after, before, mock, test } from 'node:test';

import * as node from '../src/node.js';
import * as browser from '../src/browser.js';
import { READ_ERROR } from '../src/core.js';
import { md5Ref, opensubtitlesRef, shooterRef } from './helpers.js';

const { KelhashError, fingerprints, md5, opensubtitlesHash, shooterHash } = node;

// The file every path serves: byte i is (7 i + 3) mod 256.
const SIZE = 200003;
const content = (o, n) => Uint8Array.from({ length: n }, (_, i) => ((o + i) * 7 + 3) & 255);
const WANT = {
  opensubtitles: opensubtitlesRef(SIZE, content),
  shooter: shooterRef(SIZE, content, null),
  md5: md5Ref(SIZE, content),
};

// /MODE/...: silent accepts the connection and never answers; stall sends
// the headers and the first 100 bytes of the body, then nothing; trickle
// sends everything, the headers after 100 ms and then 8 KiB every 60 ms;
// good sends everything at once. A GET with a Range is answered 206 for
// that range, one without 200 for the whole file.
let server;
let port;
const sockets = new Set();
const requests = [];

function answer(sock, head) {
  const [, target] = head.split(' ');
  const mode = target.split('/')[1];
  requests.push(target);
  if (mode === 'silent') return;
  const m = /\r\nrange: bytes=(\d+)-(\d+)\r\n/i.exec(head);
  const first = m ? Number(m[1]) : 0;
  const last = m ? Math.min(Number(m[2]), SIZE - 1) : SIZE - 1;
  const body = Buffer.from(content(first, last - first + 1));
  const status = m ? `206 Partial Content\r\nContent-Range: bytes ${first}-${last}/${SIZE}` : '200 OK';
  const headers = Buffer.from(`HTTP/1.1 ${status}\r\nContent-Length: ${body.length}\r\nConnection: close\r\n\r\n`);
  if (mode === 'stall') {
    sock.write(Buffer.concat([headers, body.subarray(0, 100)]));
  } else if (mode === 'trickle') {
    let at = 0;
    const next = () => {
      if (sock.destroyed) return;
      if (at >= body.length) {
        sock.end();
        return;
      }
      sock.write(body.subarray(at, at + 8192));
      at += 8192;
      setTimeout(next, 60);
    };
    setTimeout(() => {
      if (sock.destroyed) return;
      sock.write(headers);
      setTimeout(next, 60);
    }, 100);
  } else {
    sock.end(Buffer.concat([headers, body]));
  }
}

before(async () => {
  server = createServer((sock) => {
    sockets.add(sock);
    sock.on('close', () => sockets.delete(sock));
    sock.on('error', () => {});
    let got = '';
    let answered = false;
    sock.on('data', (d) => {
      got += d.toString('latin1');
      if (!answered && got.includes('\r\n\r\n')) {
        answered = true;
        answer(sock, got);
      }
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  port = server.address().port;
});

after(async () => {
  for (const s of sockets) s.destroy();
  await new Promise((resolve) => server.close(resolve));
});

const url = (mode) => `http://127.0.0.1:${port}/${mode}/movie.mkv`;

const HASHES = [
  ['fingerprints', (u, o) => fingerprints(u, o)],
  ['opensubtitlesHash', (u, o) => opensubtitlesHash(u, o)],
  ['shooterHash', (u, o) => shooterHash(u, o)],
  ['md5', (u, o) => md5(u, o)],
];

async function rejection(promise) {
  return promise.then(() => assert.fail('resolved instead of failing'), (x) => x);
}

// Resolves once the server has been asked for something more than `count`
// requests in all.
async function requested(count) {
  for (let i = 0; i < 1000 && requests.length <= count; i++) await new Promise((r) => setImmediate(r));
  assert.ok(requests.length > count, 'no request reached the server');
}

// Resolves once every connection is closed: a call that gave up has
// dropped its connections rather than left them open. Node's fetch lets go
// of the socket of an aborted request only when its pool's keep-alive
// time (4 s) is up.
async function allClosed() {
  for (let i = 0; i < 400 && sockets.size > 0; i++) await new Promise((r) => setTimeout(r, 20));
  assert.equal(sockets.size, 0, 'a connection was left open');
}

test('a server that never answers, or stops halfway through a body: read error after the timeout',
  { timeout: 60000 }, async () => {
    for (const mode of ['silent', 'stall']) {
      for (const [name, hash] of HASHES) {
        const started = Date.now();
        const e = await rejection(hash(url(mode), { timeout: 300 }));
        const took = Date.now() - started;
        const what = `${name} ${mode}: ${e && e.stack}`;
        assert.ok(e instanceof KelhashError, what);
        assert.equal(e.status, 1, what);
        assert.equal(e.message, READ_ERROR, what);
        assert.equal(e.cause.name, 'TimeoutError', what);
        assert.equal(e.cause.message, 'timed out: nothing received for 300 ms', what);
        assert.ok(took >= 290 && took < 3000, `${name} ${mode}: ${took} ms`);
      }
    }
    await allClosed();
    // The browser entry has the same option.
    const e = await rejection(browser.fingerprints(new URL(url('stall')), { timeout: 200 }));
    assert.equal(e.cause.message, 'timed out: nothing received for 200 ms');
  });

test('the timeout is for waiting, not for the whole: a server that keeps sending slowly is waited for',
  { timeout: 60000 }, async () => {
    // Each answer takes longer than the timeout, each of its pieces less.
    const started = Date.now();
    assert.deepEqual(await fingerprints(url('trickle'), { timeout: 250 }),
      { opensubtitles: WANT.opensubtitles, shooter: WANT.shooter });
    assert.ok(Date.now() - started > 500, `${Date.now() - started} ms`);
    const began = Date.now();
    assert.equal(await md5(url('trickle'), { timeout: 250 }), WANT.md5);
    assert.ok(Date.now() - began > 1000, `${Date.now() - began} ms`);
    // A timeout longer than a timer takes is none at all, not one that
    // fires at once.
    assert.equal(await md5(url('good'), { timeout: 2 ** 40 }), WANT.md5);
    assert.equal(await md5(url('good'), { timeout: Infinity }), WANT.md5);
  });

test('without a timeout of the caller\'s, a request gives up after 30 s with nothing received',
  { timeout: 60000 }, async (t) => {
    // The package's timers are mocked (the sockets are real), so that 30 s
    // pass at once, and exactly.
    mock.timers.enable({ apis: ['setTimeout'] });
    t.after(() => mock.timers.reset());
    for (const [mode, hash] of [['silent', fingerprints], ['stall', md5], ['stall', opensubtitlesHash]]) {
      const seen = requests.length;
      let outcome = null;
      const p = hash(url(mode)).then((v) => { outcome = v; }, (e) => { outcome = e; });
      await requested(seen);
      // A stalled body: its first bytes are in, and the wait starts over.
      await new Promise((r) => setImmediate(r));
      await new Promise((r) => setImmediate(r));
      mock.timers.tick(29900);
      for (let i = 0; i < 20; i++) await new Promise((r) => setImmediate(r));
      assert.equal(outcome, null, `${mode}: gave up before 30 s`);
      mock.timers.tick(200);
      await p;
      assert.ok(outcome instanceof KelhashError, `${mode}: ${outcome}`);
      assert.equal(outcome.message, READ_ERROR);
      assert.equal(outcome.cause.message, 'timed out: nothing received for 30000 ms');
    }
  });

test('the caller\'s AbortSignal stops a call at once with the signal\'s reason and drops its connections',
  { timeout: 60000 }, async () => {
    for (const mode of ['silent', 'stall']) {
      for (const [name, hash] of HASHES) {
        const controller = new AbortController();
        const reason = new Error('the user went away');
        const seen = requests.length;
        const p = rejection(hash(url(mode), { signal: controller.signal }));
        await requested(seen);
        await new Promise((r) => setTimeout(r, 50));
        const started = Date.now();
        controller.abort(reason);
        assert.equal(await p, reason, `${name} ${mode}`);
        assert.ok(Date.now() - started < 2000, `${name} ${mode}: ${Date.now() - started} ms`);
      }
    }
    await allClosed();
    // Without a reason of its own, the signal's is an AbortError, as fetch
    // rejects with.
    const controller = new AbortController();
    const p = rejection(md5(url('stall'), { signal: controller.signal }));
    await new Promise((r) => setTimeout(r, 100));
    controller.abort();
    const e = await p;
    assert.equal(e, controller.signal.reason);
    assert.equal(e.name, 'AbortError');
    // The browser entry has the same option.
    const c2 = new AbortController();
    const p2 = rejection(browser.fingerprints(new URL(url('stall')), { signal: c2.signal }));
    await new Promise((r) => setTimeout(r, 100));
    c2.abort('stop');
    assert.equal(await p2, 'stop');
  });

test('a signal aborted already: rejected with its reason before any request', async () => {
  const reason = new Error('cancelled before it began');
  const seen = requests.length;
  for (const [name, hash] of HASHES) {
    assert.equal(await rejection(hash(url('good'), { signal: AbortSignal.abort(reason) })), reason, name);
  }
  await new Promise((r) => setTimeout(r, 50));
  assert.equal(requests.length, seen);
});

test('a call that succeeds leaves no listener on the signal, and aborting it later changes nothing', async () => {
  const controller = new AbortController();
  const { signal } = controller;
  const both = await fingerprints(url('good'), { signal, timeout: 5000 });
  assert.deepEqual(both, { opensubtitles: WANT.opensubtitles, shooter: WANT.shooter });
  assert.equal(await md5(url('good'), { signal }), WANT.md5);
  assert.equal(await shooterHash(url('good'), { signal }), WANT.shooter);
  assert.equal(getEventListeners(signal, 'abort').length, 0);
  controller.abort();
  // Other sources take the options and have no requests to time out or abort.
  const data = content(0, SIZE);
  assert.equal(await md5(data, { signal, timeout: 1 }), WANT.md5);
});
