// Shared by the tests: the project's golden files, hashes computed here from
// their definitions (node:crypto for every MD5), the native kelhash command
// when it is built, and temporary directories.

import { execFile } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';

export const PACKAGE = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
export const ROOT = path.resolve(PACKAGE, '..', '..');
export const GOLDEN = path.join(ROOT, 'tests', 'golden');
export const GOLDEN_NAME = 'movie.avi';

// files.tsv: file, size, OpenSubtitles hash, Shooter hash (fallback name
// movie.avi), MD5.
export function goldenFiles() {
  return readFileSync(path.join(GOLDEN, 'files.tsv'), 'ascii')
    .split('\n')
    .filter((l) => l !== '' && !l.startsWith('#'))
    .map((l) => {
      const [file, size, opensubtitles, shooter, md5] = l.split('\t');
      return { file, path: path.join(GOLDEN, 'files', file), size: Number(size), opensubtitles, shooter, md5 };
    });
}

// stable.tsv: UTF-8 text as hexadecimal bytes, its stable hash.
export function goldenTexts() {
  return readFileSync(path.join(GOLDEN, 'stable.tsv'), 'ascii')
    .split('\n')
    .filter((l) => l !== '' && !l.startsWith('#'))
    .map((l) => {
      const [hex, hash] = l.split('\t');
      return { text: Buffer.from(hex, 'hex').toString('utf8'), hash: Number(hash) };
    });
}

// ---------------------------------------------------------------------------
// The hashes from their definitions. Content is given as bytesAt(offset, n),
// so a sparse file of many GiB costs only the bytes looked at.

export function md5Hex(bytes) {
  return createHash('md5').update(bytes).digest('hex');
}

export function opensubtitlesRef(size, bytesAt) {
  const m = Math.min(size, 65536);
  let sum = BigInt(size);
  for (const start of [0, size - m]) {
    const r = bytesAt(start, m);
    for (let i = 0; i < m; i += 8) {
      let word = 0n;
      for (let j = 7; j >= 0; j--) word = (word << 8n) | BigInt(i + j < m ? r[i + j] : 0);
      sum += word;
    }
  }
  return BigInt.asUintN(64, sum).toString(16).padStart(16, '0');
}

// Two lanes of multiply-by-33-and-XOR over the UTF-16 units, combined and
// folded into 0..2^31-1.
export function stableRef(text) {
  let lane1 = 5381;
  let lane2 = 5381;
  let i = 0;
  for (; i + 1 < text.length; i += 2) {
    lane1 = (Math.imul(lane1, 33) ^ text.charCodeAt(i)) >>> 0;
    lane2 = (Math.imul(lane2, 33) ^ text.charCodeAt(i + 1)) >>> 0;
  }
  if (i < text.length) lane1 = (Math.imul(lane1, 33) ^ text.charCodeAt(i)) >>> 0;
  const h = (lane1 + Math.imul(lane2, 1566083941)) >>> 0;
  if (h === 0x80000000) return 0;
  return h > 0x7fffffff ? 2 ** 32 - h : h;
}

const ZERO_BLOCK = new Uint8Array(4096);

export function shooterRef(size, bytesAt, name) {
  if (size <= 8192) return name == null ? null : String(stableRef(name));
  const third = Math.floor(size / 3);
  return [4096, third * 2, third, size - 8192]
    .map((o) => md5Hex(size - o >= 4096 ? bytesAt(o, 4096) : ZERO_BLOCK))
    .join(';');
}

export function md5Ref(size, bytesAt) {
  const h = createHash('md5');
  for (let o = 0; o < size; o += 1 << 20) h.update(bytesAt(o, Math.min(1 << 20, size - o)));
  return h.digest('hex').toUpperCase();
}

export const bytesOf = (data) => (o, n) => data.subarray(o, o + n);

// A sparse content: zeros with a few patches { at, bytes } (not
// overlapping), read without ever holding more than the range asked for.
export function sparse(size, patches) {
  const zero = new Uint8Array(1 << 20);
  return (o, n) => {
    const hit = patches.filter((p) => p.at < o + n && p.at + p.bytes.length > o);
    if (hit.length === 0 && n <= zero.length) return zero.subarray(0, n);
    const out = new Uint8Array(n);
    for (const p of hit) {
      const from = Math.max(o, p.at);
      const to = Math.min(o + n, p.at + p.bytes.length);
      out.set(p.bytes.subarray(from - p.at, to - p.at), from - o);
    }
    return out;
  };
}

export function randomData(n) {
  return new Uint8Array(randomBytes(n));
}

// ---------------------------------------------------------------------------
// The native command, built by the CMake preset "default" (or named by
// KELHASH_COMMAND).

export const NATIVE = process.env.KELHASH_COMMAND || path.join(ROOT, 'build', 'default', 'tools', 'kelhash');
export const HAVE_NATIVE = existsSync(NATIVE);
export const NO_NATIVE = `no native kelhash command at ${NATIVE} (build it with: cmake --workflow --preset default)`;

// The command's JSON lines for the files, in order, by file name.
export async function native(files, args = []) {
  const { stdout } = await promisify(execFile)(NATIVE, ['--json', ...args, ...files], { maxBuffer: 1 << 26 });
  const byFile = new Map();
  for (const line of stdout.split('\n')) if (line !== '') {
    const o = JSON.parse(line);
    byFile.set(o.file, o);
  }
  return files.map((f) => byFile.get(f));
}

// ---------------------------------------------------------------------------

export function tempDir(t) {
  const dir = mkdtempSync(path.join(tmpdir(), 'kelhash-js-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  return dir;
}
