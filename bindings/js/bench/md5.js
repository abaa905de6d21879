// MD5 of 256 MiB in memory: this package beside Node's crypto, spark-md5 and
// hash-wasm, in one run, each measured five times in turn and taken at its
// best. Prints the throughputs and the ratios against the targets (0.9x
// crypto, 2x spark-md5, 1x hash-wasm); exits 1 when one is missed.
//
//   npm run bench        (or: node bench/md5.js [MiB])

import { createHash, randomFillSync } from 'node:crypto';

import { md5 as hashWasmMd5 } from 'hash-wasm';
import SparkMD5 from 'spark-md5';

import { md5 } from '../src/node.js';

const MIB = 1 << 20;
const size = Number(process.argv[2] || 256) * MIB;
const data = randomFillSync(new Uint8Array(size));
const ROUNDS = 5;

const contenders = {
  kelhash: () => md5(data),
  'node:crypto': () => createHash('md5').update(data).digest('hex').toUpperCase(),
  'spark-md5': () => SparkMD5.ArrayBuffer.hash(data.buffer).toUpperCase(),
  'hash-wasm': async () => (await hashWasmMd5(data)).toUpperCase(),
};

const best = {};
const digests = {};
for (let round = 0; round < ROUNDS; round++) {
  for (const [name, fn] of Object.entries(contenders)) {
    const t = process.hrtime.bigint();
    digests[name] = await fn();
    const s = Number(process.hrtime.bigint() - t) / 1e9;
    best[name] = Math.min(best[name] ?? Infinity, s);
  }
}

const expected = digests['node:crypto'];
for (const [name, d] of Object.entries(digests)) {
  if (d !== expected) {
    console.error(`${name} gives ${d}, node:crypto ${expected}`);
    process.exit(2);
  }
}

console.log(`MD5 of ${size / MIB} MiB in memory, best of ${ROUNDS} (Node ${process.version})`);
for (const [name, s] of Object.entries(best)) {
  console.log(`  ${name.padEnd(12)} ${(size / MIB / s).toFixed(0).padStart(5)} MiB/s  ${(s * 1000).toFixed(0).padStart(6)} ms`);
}
let missed = 0;
for (const [other, target] of [['node:crypto', 0.9], ['spark-md5', 2], ['hash-wasm', 1]]) {
  const ratio = best[other] / best.kelhash;
  const ok = ratio >= target;
  if (!ok) missed++;
  console.log(`  kelhash / ${other}: ${ratio.toFixed(2)}x (target ${target}x) ${ok ? 'met' : 'MISSED'}`);
}
process.exit(missed === 0 ? 0 : 1);
