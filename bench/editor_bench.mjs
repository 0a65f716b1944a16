// Two figures of the IDE's editor, measured on the built server in headless
// Chromium: the gzipped size of the bundle files the browser loads to open
// a file, and the time from a tap on a 1 MiB file in the file list to the
// editor showing it (median of 5, each in a fresh browser context, so the
// bundle is fetched every time).
//
// Usage: node bench/editor_bench.mjs <build dir>
// Needs what the browser test needs (scripts/install-deps --test).
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import zlib from 'node:zlib';
import {
  PHONE, freePort, launchChromium, startServer, stopServer, waitForHealth,
} from '../tests/browser/harness.mjs';

const buildDir = process.argv[2];
if (!buildDir) {
  console.error('usage: node bench/editor_bench.mjs <build dir>');
  process.exit(2);
}
const staticDir = path.join(buildDir, 'static');
const RUNS = 5;
const SIZE_TARGET_KB = 250;
const OPEN_TARGET_MS = 500;
const FILE_NAME = 'big.py';
const FIRST_LINE = '# editor bench: 1 MiB of Python';

const gzipped = (file) => zlib.gzipSync(fs.readFileSync(path.join(staticDir, file))).length;
const kb = (bytes) => Math.round(bytes / 1024);

// About 1 MiB of Python, many short functions.
function writeBigFile(workspace) {
  const lines = [FIRST_LINE];
  let size = FIRST_LINE.length + 1;
  for (let i = 0; size < 1024 * 1024; i += 1) {
    const block = `def function_${i}(value, factor=${i % 17}):\n    """Returns value scaled by ${i}."""\n`
      + `    if value is None:\n        return [${i}, "text ${i}"]\n    return value * factor + ${i}\n`;
    lines.push(block);
    size += block.length + 1;
  }
  fs.writeFileSync(path.join(workspace, FILE_NAME), lines.join('\n'));
}

// One tap on the file's row; resolves to milliseconds until the editor
// shows the file's first line highlighted (the frame after it appears),
// and the bundle files the page fetched.
async function openOnce(browser, base, cookies) {
  const context = await browser.newContext(PHONE);
  await context.addCookies(cookies);
  const page = await context.newPage();
  const fetched = [];
  page.on('request', (request) => {
    const { pathname } = new URL(request.url());
    if (pathname === '/editor.js' || pathname.startsWith('/editor-chunks/')) fetched.push(pathname.slice(1));
  });
  await page.goto(base + '/');
  const row = page.locator(`.entry[data-name="${FILE_NAME}"] .entry-open`);
  await row.waitFor();
  await page.evaluate((firstLine) => {
    window.benchResult = new Promise((resolve) => {
      let tapped = 0;
      document.addEventListener('pointerdown', () => { tapped = performance.now(); }, { capture: true, once: true });
      const observer = new MutationObserver(() => {
        // Shown and highlighted: the comment on the first line is a token.
        const line = document.querySelector('.cm-content .cm-line');
        if (tapped && line && line.textContent === firstLine && line.querySelector('span')) {
          observer.disconnect();
          requestAnimationFrame(() => resolve(performance.now() - tapped));
        }
      });
      observer.observe(document.body, { childList: true, subtree: true, characterData: true });
    });
  }, FIRST_LINE);
  await row.tap();
  const ms = await page.evaluate(() => Promise.race([
    window.benchResult,
    new Promise((_, reject) => setTimeout(() => reject(new Error('the editor did not show the file in 30 s')), 30000)),
  ]));
  await context.close();
  return { ms, fetched };
}

async function main() {
  const binary = path.join(buildDir, 'quillo');
  if (!fs.existsSync(path.join(staticDir, 'editor.js'))) {
    throw new Error(`${staticDir}/editor.js is missing: build first`);
  }
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'quillo-editor-bench-'));
  const workspace = path.join(home, 'workspace');
  fs.mkdirSync(workspace);
  writeBigFile(workspace);
  const port = await freePort();
  const base = `http://127.0.0.1:${port}`;
  const server = startServer(binary, { home, workspace, port });
  const browser = await launchChromium();
  try {
    await waitForHealth(base, server);
    const setup = await fetch(`${base}/api/auth/setup`, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ password: 'editor bench' }),
    });
    if (setup.status !== 200) throw new Error(`setting the password answered ${setup.status}`);
    const [cookie] = setup.headers.getSetCookie()[0].split(';');
    const [name, ...value] = cookie.split('=');
    const cookies = [{ name, value: value.join('='), url: base }];

    const times = [];
    const fetched = new Set();
    for (let i = 0; i < RUNS; i += 1) {
      const run = await openOnce(browser, base, cookies);
      times.push(run.ms);
      run.fetched.forEach((file) => fetched.add(file));
    }
    times.sort((a, b) => a - b);
    const median = times[Math.floor(RUNS / 2)];

    const loaded = [...fetched].reduce((sum, file) => sum + gzipped(file), 0);
    const loadedRaw = [...fetched].reduce((sum, file) => sum + fs.statSync(path.join(staticDir, file)).size, 0);
    const all = ['editor.js', ...fs.readdirSync(path.join(staticDir, 'editor-chunks')).map((f) => `editor-chunks/${f}`)];
    const allGzipped = all.reduce((sum, file) => sum + gzipped(file), 0);
    const allRaw = all.reduce((sum, file) => sum + fs.statSync(path.join(staticDir, file)).size, 0);

    console.log(`editor bundle gzipped: ${kb(loaded)} KB (target <= ${SIZE_TARGET_KB} KB; the ${fetched.size} files loaded to open a .py file, ${kb(loadedRaw)} KB raw)`);
    console.log(`editor bundle, every language: ${kb(allGzipped)} KB gzipped, ${kb(allRaw)} KB raw, ${all.length} files`);
    console.log(`open a 1 MiB file: ${Math.round(median)} ms median of ${RUNS} (target <= ${OPEN_TARGET_MS} ms; runs ${times.map(Math.round).join(', ')} ms)`);
  } finally {
    await browser.close();
    await stopServer(server);
    fs.rmSync(home, { recursive: true, force: true });
  }
}

main().catch((error) => {
  console.error(`editor bench failed: ${error.stack || error}`);
  process.exitCode = 1;
});
