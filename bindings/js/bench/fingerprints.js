// Per-call time of the fingerprints of a cached file by path: this package
// in Node beside the native library's file functions (a small C program
// built here against build/default/libkelhash.so, when that exists). The
// file is 64 MiB of random bytes, written just before, so it is in the page
// cache; each figure is the best of five runs.
//
//   npm run bench        (or: node bench/fingerprints.js [CALLS])

import { execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { randomFillSync } from 'node:crypto';

import { opensubtitlesHash, shooterHash } from '../src/node.js';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '..', '..', '..');
const calls = Number(process.argv[2] || 2000);
const dir = mkdtempSync(path.join(tmpdir(), 'kelhash-bench-'));
const file = path.join(dir, 'video.bin');
writeFileSync(file, randomFillSync(new Uint8Array(64 << 20)));

async function perCall(fn) {
  let best = Infinity;
  for (let run = 0; run < 5; run++) {
    const t = process.hrtime.bigint();
    for (let i = 0; i < calls; i++) await fn();
    best = Math.min(best, Number(process.hrtime.bigint() - t) / 1e3 / calls);
  }
  return best;
}

try {
  await opensubtitlesHash(file); // instantiates the module
  const js = {
    opensubtitles: await perCall(() => opensubtitlesHash(file)),
    shooter: await perCall(() => shooterHash(file)),
  };

  let nativeUs = null;
  const lib = path.join(root, 'build', 'default');
  if (existsSync(path.join(lib, 'libkelhash.so'))) {
    const exe = path.join(dir, 'native_fingerprints');
    execFileSync('cc', ['-O2', '-std=c99', '-I', path.join(root, 'include'), path.join(here, 'native_fingerprints.c'),
      '-o', exe, '-L', lib, '-lkelhash', `-Wl,-rpath,${lib}`]);
    nativeUs = Object.fromEntries(execFileSync(exe, [file, String(calls)], { encoding: 'utf8' })
      .trim().split('\n').map((l) => l.split(' ')).map(([k, v]) => [k, Number(v)]));
  }

  console.log(`Fingerprints of a cached 64 MiB file by path, per call, best of 5 x ${calls} calls`);
  for (const name of ['opensubtitles', 'shooter']) {
    const n = nativeUs ? `${nativeUs[name].toFixed(1).padStart(7)} us native` : '  (native library not built)';
    console.log(`  ${name.padEnd(14)} ${js[name].toFixed(1).padStart(7)} us in Node  ${n}` +
      (nativeUs ? `  (${(js[name] / nativeUs[name]).toFixed(1)}x)` : ''));
  }
} finally {
  rmSync(dir, { recursive: true, force: true });
}
