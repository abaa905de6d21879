// The demo page in a real browser: Debian's Chromium, headless, driven over
// the DevTools protocol by puppeteer-core. A small static server on
// 127.0.0.1 serves the package directory; the test chooses the golden files
// in the page's file input and checks what the page shows against the golden
// values, asks for each MD5, drops a file on the page, and hashes a Blob of
// more than 4 GiB built in the page from slices. It also checks that the page
// fetches nothing once loaded: the file never leaves it.

import assert from 'node:assert/strict';
import {
  copyFileSync, createReadStream, existsSync, mkdirSync, mkdtempSync, rmSync, statSync, writeFileSync,
} from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';

import puppeteer from 'puppeteer-core';

import {
  GOLDEN, GOLDEN_NAME, PACKAGE, goldenFiles, md5Hex, opensubtitlesRef, randomData, shooterRef, sparse, tempDir,
} from '../helpers.js';
import { startServer } from '../server.js';

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const TYPES = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm' };

let server;
let origin;
let browser;
let profile;
let page;
const requests = [];
let requestsAtLoad = 0;
const pageErrors = [];

function serve() {
  return createServer((req, res) => {
    const url = new URL(req.url, 'http://localhost');
    let file = path.join(PACKAGE, decodeURIComponent(url.pathname));
    if (!file.startsWith(PACKAGE + path.sep)) {
      res.writeHead(403).end();
      return;
    }
    if (existsSync(file) && statSync(file).isDirectory()) file = path.join(file, 'index.html');
    if (!existsSync(file)) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { 'content-type': TYPES[path.extname(file)] || 'application/octet-stream' });
    createReadStream(file).pipe(res);
  });
}

before(async () => {
  assert.ok(existsSync(CHROMIUM), `no Chromium at ${CHROMIUM} (apt-get install chromium)`);
  server = serve();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  origin = `http://127.0.0.1:${server.address().port}`;
  profile = mkdtempSync(path.join(tmpdir(), 'kelhash-chromium-'));
  browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    userDataDir: profile,
    // Without the background-networking switches Chromium keeps trying to
    // reach its services, which a closed network refuses.
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  page = await browser.newPage();
  page.on('request', (r) => requests.push(r.url()));
  page.on('pageerror', (e) => pageErrors.push(String(e)));
  await page.goto(`${origin}/demo/`);
  await page.waitForSelector('body[data-state="ready"]', { timeout: 30000 });
  requestsAtLoad = requests.length;
});

after(async () => {
  if (browser) await browser.close();
  if (server) server.close();
  if (profile) rmSync(profile, { recursive: true, force: true });
});

const text = (id) => page.$eval(`#${id}`, (e) => e.textContent);

// Chooses a file in the page's input and waits for its fingerprints.
async function choose(file) {
  await page.evaluate(() => { document.body.dataset.state = 'waiting'; });
  const input = await page.$('#file');
  await input.uploadFile(file);
  await page.waitForSelector('body[data-state="done"]', { timeout: 60000 });
}

async function askMd5() {
  await page.click('#md5-button');
  await page.waitForSelector('#md5[data-state="done"]', { timeout: 60000 });
  return text('md5');
}

test('the page shows the golden hashes of each file chosen in it, and its MD5 on request', async (t) => {
  const dir = tempDir(t);
  for (const f of goldenFiles()) {
    // Files of 8192 bytes or less are identified by their name: give them
    // the golden files' fallback name.
    let file = f.path;
    if (f.size <= 8192) {
      mkdirSync(path.join(dir, String(f.size)));
      file = path.join(dir, String(f.size), GOLDEN_NAME);
      copyFileSync(f.path, file);
    }
    await choose(file);
    assert.equal(await text('name'), path.basename(file));
    assert.match(await text('size'), new RegExp(`^${f.size.toLocaleString('en')} bytes`));
    assert.equal(await text('opensubtitles'), f.opensubtitles, f.file);
    assert.equal(await text('shooter'), f.shooter, f.file);
    assert.equal(await text('error'), '');
    assert.equal(await askMd5(), f.md5, f.file);
    assert.equal(await text('percent'), '100 %');
    t.diagnostic(`${f.file}: ${await text('opensubtitles')} ${await text('shooter')} ${await text('md5')}`);
  }
});

test('the progress bar advances piece by piece', async (t) => {
  const data = randomData((5 << 20) + 123);
  const file = path.join(tempDir(t), 'clip.mkv');
  writeFileSync(file, data);
  await choose(file);
  await page.evaluate(() => {
    window.seen = [];
    new MutationObserver(() => window.seen.push(document.getElementById('percent').textContent))
      .observe(document.getElementById('percent'), { childList: true, characterData: true, subtree: true });
  });
  assert.equal(await askMd5(), md5Hex(data).toUpperCase());
  const seen = await page.evaluate(() => window.seen);
  assert.ok(seen.includes('19 %') && seen.includes('59 %'), seen.join(', '));
  assert.equal(seen.at(-1), '100 %');
  assert.ok(await page.$eval('#progress', (p) => p.value === 1));
});

test('a file dropped on the page', async () => {
  await page.evaluate(() => { document.body.dataset.state = 'waiting'; });
  await page.evaluate(() => {
    const dt = new DataTransfer();
    dt.items.add(new File([new Uint8Array(10000).fill(7)], 'dropped.mkv'));
    document.getElementById('drop').dispatchEvent(new DragEvent('drop', { dataTransfer: dt, bubbles: true }));
  });
  await page.waitForSelector('body[data-state="done"]');
  const data = new Uint8Array(10000).fill(7);
  const bytes = (o, n) => data.subarray(o, o + n);
  assert.equal(await text('name'), 'dropped.mkv');
  assert.equal(await text('opensubtitles'), opensubtitlesRef(data.length, bytes));
  assert.equal(await text('shooter'), shooterRef(data.length, bytes, null));
});

test('a Blob of more than 4 GiB built from slices, hashed in the page', async () => {
  const size = 2 ** 32 + 200003;
  const third = Math.floor(size / 3);
  const patches = [
    { at: 0, bytes: randomData(70000) },
    { at: third - 100, bytes: randomData(5000) },
    { at: 2 * third - 100, bytes: randomData(5000) },
    { at: size - 70000, bytes: randomData(70000) },
  ];
  const content = sparse(size, patches);
  const got = await page.evaluate(async (n, list) => {
    const { opensubtitlesHash, shooterHash } = await import('/src/browser.js');
    const decode = (b64) => Uint8Array.from(atob(b64), (c) => c.charCodeAt(0));
    const zero = new Blob([new Uint8Array(1 << 20)]);
    const parts = [];
    let at = 0;
    const gap = (k) => {
      for (; k >= zero.size; k -= zero.size) parts.push(zero);
      if (k > 0) parts.push(zero.slice(0, k));
    };
    for (const p of list) {
      const bytes = decode(p.b64);
      gap(p.at - at);
      parts.push(new Blob([bytes]));
      at = p.at + bytes.length;
    }
    gap(n - at);
    const blob = new Blob(parts);
    return { size: blob.size, opensubtitles: await opensubtitlesHash(blob), shooter: await shooterHash(blob) };
  }, size, patches.map((p) => ({ at: p.at, b64: Buffer.from(p.bytes).toString('base64') })));
  assert.deepEqual(got, {
    size,
    opensubtitles: opensubtitlesRef(size, content),
    shooter: shooterRef(size, content, null),
  });
});

// In a page of its own, so that the demo page's requests stay its own.
test('fingerprints and MD5 of URLs of another origin, in the page', async (t) => {
  const files = await startServer(path.join(GOLDEN, 'files'));
  t.after(() => files.stop());
  const other = await browser.newPage();
  t.after(() => other.close());
  const errors = [];
  other.on('pageerror', (e) => errors.push(String(e)));
  await other.goto(`${origin}/demo/`);
  const golden = goldenFiles();
  const got = await other.evaluate(async (urls, name) => {
    const { fingerprints, md5 } = await import('/src/browser.js');
    const out = [];
    for (const u of urls) {
      out.push({ ...(await fingerprints(new URL(u), { fallbackName: name })), md5: await md5(new URL(u)) });
    }
    return out;
  }, golden.map((f) => files.url('files', f.file)), GOLDEN_NAME);
  assert.deepEqual(got, golden.map((f) => ({ opensubtitles: f.opensubtitles, shooter: f.shooter, md5: f.md5 })));
  // Ranges, not whole files: of 200003 bytes, the 136301 the plan needs.
  await files.reset();
  const f = golden.find((g) => g.size === 200003);
  assert.deepEqual(await other.evaluate(async (u) => {
    const { fingerprints } = await import('/src/browser.js');
    return fingerprints(new URL(u));
  }, files.url('files', f.file)), { opensubtitles: f.opensubtitles, shooter: f.shooter });
  const stats = await files.stats();
  t.diagnostic(`200003 bytes by URL in the page: ${stats.requests} requests, ${stats.bytes} bytes`);
  assert.ok(stats.bytes >= 136301 && stats.bytes < 136301 + 8 * 1024, `${stats.bytes} bytes`);
  // A server that ignores Range, seen from the page.
  const message = await other.evaluate(async (u) => {
    const { opensubtitlesHash } = await import('/src/browser.js');
    return opensubtitlesHash(new URL(u)).then(() => 'resolved', (e) => `${e.name} ${e.status} ${e.message}`);
  }, files.url('norange', '200003.bin'));
  assert.equal(message, 'KelhashError 1 server ignored the Range request');
  assert.deepEqual(errors, []);
});

test('the page fetched only its own files, all before any file was chosen, and raised no error', () => {
  assert.deepEqual(pageErrors, []);
  for (const url of requests) assert.ok(url.startsWith(`${origin}/`), url);
  // The page, its script, the package's four modules; the dynamic import of
  // the Blob test reuses the module already loaded.
  const paths = requests.map((u) => new URL(u).pathname).sort();
  assert.deepEqual(paths, ['/demo/', '/demo/demo.js', '/dist/wasm.js', '/src/browser.js', '/src/core.js',
    '/src/remote.js']);
  assert.equal(requests.length, requestsAtLoad);
});
