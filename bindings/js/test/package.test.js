// The package as it ships: its version, the module inside it, the browser
// entry free of Node, and the tarball of npm pack installed into an empty
// project, run there in Node (with the README's example), bundled for
// browsers and type-checked.

import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { readFileSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';
import { promisify } from 'node:util';

import {
  GOLDEN_NAME, PACKAGE, ROOT, bytesOf, goldenFiles, opensubtitlesRef, tempDir,
} from './helpers.js';

const run = promisify(execFile);
const pkg = JSON.parse(readFileSync(path.join(PACKAGE, 'package.json'), 'utf8'));

test('the version is the CMake project\'s', () => {
  const cmake = readFileSync(path.join(ROOT, 'CMakeLists.txt'), 'utf8');
  const m = cmake.match(/project\(kelhash\s+VERSION\s+([0-9.]+)/);
  assert.ok(m, 'no project(kelhash VERSION ...) in CMakeLists.txt');
  assert.equal(pkg.version, m[1]);
});

test('the module: at most 32 KiB, no imports, only the functions the package calls', async () => {
  const wasm = readFileSync(path.join(PACKAGE, 'dist', 'kelhash.wasm'));
  assert.ok(wasm.length <= 32 * 1024, `${wasm.length} bytes`);
  // The embedded copy is the same module.
  const { default: b64 } = await import('../dist/wasm.js');
  assert.ok(Buffer.from(b64, 'base64').equals(wasm));

  const mod = new WebAssembly.Module(wasm);
  // No imports: the module has no way to do I/O or reach the host, so the
  // library's file functions and their stdio cannot be inside it.
  assert.deepEqual(WebAssembly.Module.imports(mod), []);
  const functions = WebAssembly.Module.exports(mod).filter((e) => e.kind === 'function').map((e) => e.name);
  const kelhash = functions.filter((n) => n.startsWith('kelhash_')).sort();
  assert.deepEqual(kelhash, [
    'kelhash_last_error', 'kelhash_opensubtitles_chunks', 'kelhash_result', 'kelhash_shooter_chunks',
    'kelhash_stable_utf8', 'kelhash_wasm_md5_ctx_size', 'kelhash_wasm_md5_final', 'kelhash_wasm_md5_init',
    'kelhash_wasm_md5_update',
  ]);
});

// The modules that a file imports, recursively, as specifiers.
function importGraph(file, seen = new Map()) {
  if (seen.has(file)) return seen;
  const text = readFileSync(file, 'utf8');
  const specs = [...text.matchAll(/^\s*(?:import|export)\s[^'"]*?from\s+['"]([^'"]+)['"]/gm)].map((m) => m[1]);
  for (const m of text.matchAll(/import\(\s*['"]([^'"]+)['"]\s*\)/g)) specs.push(m[1]);
  seen.set(file, specs);
  for (const s of specs) if (s.startsWith('.')) importGraph(path.resolve(path.dirname(file), s), seen);
  return seen;
}

test('the browser entry imports nothing but its own relative modules', () => {
  const graph = importGraph(path.join(PACKAGE, 'src', 'browser.js'));
  assert.ok(graph.size >= 3, [...graph.keys()].join(' '));
  for (const [file, specs] of graph) {
    for (const s of specs) assert.ok(s.startsWith('./') || s.startsWith('../'), `${file} imports ${s}`);
  }
  // The Node entry does import Node, so the check above can see one.
  const nodeSpecs = importGraph(path.join(PACKAGE, 'src', 'node.js')).get(path.join(PACKAGE, 'src', 'node.js'));
  assert.ok(nodeSpecs.some((s) => s.startsWith('node:')));
});

test('npm pack gives a tarball that installs into an empty project and works there', async (t) => {
  const dir = tempDir(t);
  const { stdout } = await run('npm', ['pack', '--json', '--pack-destination', dir], { cwd: PACKAGE });
  const [info] = JSON.parse(stdout.slice(stdout.indexOf('[')));
  const shipped = info.files.map((f) => f.path).sort();
  assert.deepEqual(shipped, ['README.md', 'dist/wasm.js', 'index.d.ts', 'package.json', 'src/browser.js', 'src/core.js',
    'src/node.js', 'src/remote.js']);

  const project = path.join(dir, 'app');
  await run('mkdir', ['-p', project]);
  writeFileSync(path.join(project, 'package.json'), JSON.stringify({ name: 'app', private: true, type: 'module' }));
  await run('npm', ['install', '--no-audit', '--no-fund', '--offline', path.join(dir, info.filename)],
    { cwd: project });

  const golden = goldenFiles().find((f) => f.size === 200003);
  writeFileSync(path.join(project, 'main.js'), `
    import { readFileSync } from 'node:fs';
    import * as k from 'kelhash';
    const source = process.argv[2] === 'path' ? ${JSON.stringify(golden.path)} : readFileSync(${JSON.stringify(golden.path)});
    let pathRefused = false;
    try { k.md5('/nonexistent/x').catch(() => {}); } catch (e) { pathRefused = /Node only/.test(e.message); }
    console.log(JSON.stringify({
      opensubtitles: await k.opensubtitlesHash(source),
      shooter: await k.shooterHash(source, { fallbackName: ${JSON.stringify(GOLDEN_NAME)} }),
      md5: await k.md5(source),
      stable: await k.stableHash('movie.avi'),
      pathRefused,
    }));
  `);
  const want = { opensubtitles: golden.opensubtitles, shooter: golden.shooter, md5: golden.md5, stable: 1654360774 };
  // Node picks the "node" condition and reads paths.
  const viaNode = JSON.parse((await run('node', ['main.js', 'path'], { cwd: project })).stdout);
  assert.deepEqual(viaNode, { ...want, pathRefused: false });
  // A bundler for the browser picks the "browser" condition; esbuild fails
  // on any Node module it meets there. The bundle runs anywhere, and takes
  // bytes but refuses paths.
  const esbuild = path.join(PACKAGE, 'node_modules', 'esbuild', 'bin', 'esbuild');
  await run(esbuild, ['main.js', '--bundle', '--platform=browser', '--format=esm', '--external:node:fs',
    '--outfile=bundle.js'], { cwd: project }).catch((e) => assert.fail(`esbuild: ${e.stderr}`));
  const bundle = readFileSync(path.join(project, 'bundle.js'), 'utf8');
  assert.doesNotMatch(bundle, /node:fs\/promises|node:url/);
  const viaBrowser = JSON.parse((await run('node', ['bundle.js', 'bytes'], { cwd: project })).stdout);
  assert.deepEqual(viaBrowser, { ...want, pathRefused: true });

  // The README's Node example, as written, in the project.
  const readme = readFileSync(path.join(ROOT, 'README.md'), 'utf8');
  const section = readme.slice(readme.indexOf('\n## JavaScript (npm)\n'));
  assert.ok(section.length < readme.length, 'README.md has no section "## JavaScript (npm)"');
  const example = section.match(/```js\n([\s\S]*?)```/);
  assert.ok(example, 'no js block in the README section');
  writeFileSync(path.join(project, 'example.mjs'), example[1]);
  const printed = (await run('node', ['example.mjs'], { cwd: project })).stdout.trim().split('\n');
  const abc = new TextEncoder().encode('abc');
  assert.deepEqual(printed, [opensubtitlesRef(3, bytesOf(abc)), '900150983CD24FB0D6963F7D28E17F72', '1654360774',
    '1654360774', '1 cannot open file']);

  // The declarations type-check a consumer, found through "exports".
  writeFileSync(path.join(project, 'check.ts'), `
    import { fingerprints, md5, opensubtitlesHash, shooterHash, stableHash, KelhashError, type Reader } from 'kelhash';
    const reader: Reader = { size: 10n, read: async (offset: number, length: number) => new Uint8Array(length + offset * 0) };
    async function g(): Promise<string> {
      const both = await fingerprints(reader, { fallbackName: 'a.avi' });
      const remote = await fingerprints(new URL('https://example.com/a.mkv'),
        { timeout: 5000, signal: AbortSignal.timeout(60000) });
      await md5('https://example.com/a.mkv', { timeout: Infinity, signal: new AbortController().signal, onProgress: null });
      await opensubtitlesHash(new URL('https://example.com/a.mkv'), { signal: null });
      const s: string = both.opensubtitles + both.shooter + remote.shooter;
      return s + await md5({ size: 3, read: async () => new ArrayBuffer(3) }) + await opensubtitlesHash('https://example.com/a');
    }
    async function f(file: Blob, bytes: Uint8Array): Promise<string> {
      const a: string = await opensubtitlesHash(file);
      const b: string = await shooterHash(bytes.buffer, { fallbackName: 'a.avi' });
      const c: string = await md5(new DataView(bytes.buffer), { onProgress: (d: number, t?: number) => void (d + (t ?? 0)) });
      const n: number = await stableHash(a + b + c);
      try { await md5('movie.mkv'); } catch (e) { if (e instanceof KelhashError) return String(e.status) + e.message; }
      return String(n);
    }
    // @ts-expect-error a number is not a source
    opensubtitlesHash(5);
    // @ts-expect-error fallbackName is a string
    shooterHash(new Uint8Array(1), { fallbackName: 3 });
    // @ts-expect-error a reader's read() resolves to bytes
    fingerprints({ size: 3, read: async () => 'abc' });
    // @ts-expect-error a reader has a size
    md5({ read: async () => new Uint8Array(0) });
    // @ts-expect-error a timeout is a number of milliseconds
    opensubtitlesHash(new URL('https://example.com/a.mkv'), { timeout: '5000' });
    // @ts-expect-error a signal is an AbortSignal
    md5(new URL('https://example.com/a.mkv'), { signal: new AbortController() });
    // @ts-expect-error there is no opensubtitles key in the options
    fingerprints(new Uint8Array(1), { opensubtitles: true });
    export { f, g };
  `);
  const tsc = path.join(PACKAGE, 'node_modules', 'typescript', 'bin', 'tsc');
  await run('node', [tsc, '--noEmit', '--strict', '--module', 'nodenext', '--moduleResolution', 'nodenext',
    '--target', 'es2022', '--lib', 'es2022,dom', 'check.ts'], { cwd: project })
    .catch((e) => assert.fail(`tsc: ${e.stdout}${e.stderr}`));
});
