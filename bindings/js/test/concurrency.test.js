// The module has one result buffer and one scratch area, and reads
// interleave at every await: many hashes at once, of sources whose reads
// finish in no particular order, must each get their own result.

import assert from 'node:assert/strict';
import { writeFileSync } from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { md5, opensubtitlesHash, shooterHash, stableHash } from '../src/node.js';
import { bytesOf, md5Ref, opensubtitlesRef, randomData, shooterRef, stableRef, tempDir } from './helpers.js';

test('many hashes at once of paths, Blobs and bytes each get their own result', async (t) => {
  const dir = tempDir(t);
  const sizes = [0, 5, 8192, 8193, 20000, 65536, 70001, 131073, 300000, (1 << 20) + 17, 3 << 20, (2 << 20) + 9];
  const files = sizes.map((size, i) => {
    const data = randomData(size);
    const file = path.join(dir, `${i}.bin`);
    writeFileSync(file, data);
    const name = `name ${i}.mkv`;
    return {
      data, file, name,
      want: [opensubtitlesRef(size, bytesOf(data)), shooterRef(size, bytesOf(data), name),
        md5Ref(size, bytesOf(data)), stableRef(name)],
    };
  });
  const kinds = [(f) => f.file, (f) => new Blob([f.data]), (f) => f.data];
  const calls = [];
  const expected = [];
  for (const f of files) {
    for (const kind of kinds) {
      calls.push(opensubtitlesHash(kind(f)), shooterHash(kind(f), { fallbackName: f.name }), md5(kind(f)),
        stableHash(f.name));
      expected.push(...f.want);
    }
  }
  // More digests than the module runs at once: the rest wait their turn.
  assert.ok(calls.length / 4 > 4);
  assert.deepEqual(await Promise.all(calls), expected);
});

test('two digests of one file at once, one of them reporting progress', async (t) => {
  const data = randomData((4 << 20) + 3);
  const file = path.join(tempDir(t), 'a.bin');
  writeFileSync(file, data);
  const want = md5Ref(data.length, bytesOf(data));
  let calls = 0;
  const got = await Promise.all([md5(file, { onProgress: () => calls++ }), md5(file), md5(new Blob([data]))]);
  assert.deepEqual(got, [want, want, want]);
  assert.equal(calls, 5);
});
