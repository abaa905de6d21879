// The project's range-capable HTTP test server (tests/http/range_server.py),
// run as a child process on 127.0.0.1 over one directory: it prints its port
// on its first line and serves until its standard input closes. Its /_stats
// count the requests it answered and every byte it wrote, headers included.

import { spawn } from 'node:child_process';
import path from 'node:path';

import { ROOT } from './helpers.js';

export const SERVER_SCRIPT = path.join(ROOT, 'tests', 'http', 'range_server.py');

// Taken at load, so that a test that wraps the global fetch still reads the
// counts unwrapped.
const plainFetch = globalThis.fetch;

export async function startServer(dir) {
  // The server's standard error holds a traceback for every connection that
  // a test drops on purpose; it is shown only when the server does not start.
  const child = spawn('python3', [SERVER_SCRIPT, dir], { stdio: ['pipe', 'pipe', 'pipe'] });
  let err = '';
  child.stderr.on('data', (d) => { if (err.length < 10000) err += d; });
  const exited = new Promise((resolve) => child.on('exit', resolve));
  const port = await new Promise((resolve, reject) => {
    let out = '';
    const timer = setTimeout(() => reject(new Error(`the test server printed no port within 10 s: ${err}`)), 10000);
    child.stdout.on('data', (d) => {
      out += d;
      const nl = out.indexOf('\n');
      if (nl >= 0) {
        clearTimeout(timer);
        resolve(Number(out.slice(0, nl)));
      }
    });
    child.on('error', reject);
    child.on('exit', (code) => reject(new Error(`the test server exited (${code}) before printing its port: ${err}`)));
  });
  const base = `http://127.0.0.1:${port}`;
  const json = async (p) => (await plainFetch(`${base}/${p}`)).json();
  return {
    port,
    url: (...parts) => `${base}/${parts.join('/')}`,
    stats: () => json('_stats'),
    reset: () => json('_reset'),
    async stop() {
      child.stdin.end();
      await exited;
    },
  };
}
