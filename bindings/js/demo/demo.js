// The demo page: the fingerprints of a chosen or dropped file at once, its
// MD5 on request with a progress bar. Everything runs in the page; the
// package reads the File slice by slice.
import { md5, opensubtitlesHash, shooterHash } from '../src/browser.js';

const $ = (id) => document.getElementById(id);
const input = $('file');
const drop = $('drop');
const button = $('md5-button');
const progress = $('progress');

let current = null;
// Each file chosen starts a new generation; results of an older one that
// arrive late are dropped.
let generation = 0;

function formatSize(n) {
  const units = ['bytes', 'KiB', 'MiB', 'GiB', 'TiB'];
  let v = n;
  let u = 0;
  while (v >= 1024 && u < units.length - 1) {
    v /= 1024;
    u++;
  }
  const exact = `${n.toLocaleString('en')} bytes`;
  return u === 0 ? exact : `${exact} (${v.toFixed(1)} ${units[u]})`;
}

function show(id, text) {
  $(id).textContent = text;
}

function fail(e) {
  show('error', e && e.name === 'KelhashError' ? `${e.message} (status ${e.status})` : String(e));
}

async function choose(file) {
  const g = ++generation;
  current = file;
  document.body.dataset.state = 'hashing';
  show('error', '');
  show('name', file.name);
  show('size', formatSize(file.size));
  show('opensubtitles', '…');
  show('shooter', '…');
  show('md5', '');
  delete $('md5').dataset.state;
  show('percent', '');
  progress.hidden = true;
  progress.value = 0;
  button.disabled = false;
  const [os, sh] = await Promise.allSettled([
    opensubtitlesHash(file),
    shooterHash(file, { fallbackName: file.name }),
  ]);
  if (g !== generation) return;
  show('opensubtitles', os.status === 'fulfilled' ? os.value : '–');
  show('shooter', sh.status === 'fulfilled' ? sh.value : '–');
  if (os.status === 'rejected') fail(os.reason);
  else if (sh.status === 'rejected') fail(sh.reason);
  document.body.dataset.state = 'done';
}

button.addEventListener('click', async () => {
  const g = generation;
  const file = current;
  button.disabled = true;
  progress.hidden = false;
  $('md5').dataset.state = 'hashing';
  try {
    const digest = await md5(file, {
      onProgress(done, total) {
        if (g !== generation) return;
        progress.value = total ? done / total : 1;
        show('percent', `${Math.floor(100 * progress.value)} %`);
      },
    });
    if (g !== generation) return;
    progress.value = 1;
    show('percent', '100 %');
    show('md5', digest);
    $('md5').dataset.state = 'done';
  } catch (e) {
    if (g === generation) fail(e);
  }
});

input.addEventListener('change', () => {
  if (input.files.length > 0) choose(input.files[0]);
});

drop.addEventListener('dragover', (e) => {
  e.preventDefault();
  drop.classList.add('over');
});
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', (e) => {
  e.preventDefault();
  drop.classList.remove('over');
  if (e.dataTransfer.files.length > 0) choose(e.dataTransfer.files[0]);
});

document.body.dataset.state = 'ready';
