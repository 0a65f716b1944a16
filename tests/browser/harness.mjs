// Starting the built server for the browser tests and bench/editor_bench.mjs:
// a temporary HOME and configuration directory, a free loopback port, a
// workspace of the caller's choosing (or the default one in HOME), and
// headless Chromium.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

// playwright-core is installed here, also for callers outside this folder.
const { chromium } = createRequire(import.meta.url)('playwright-core');

export const PHONE = { viewport: { width: 390, height: 844 }, deviceScaleFactor: 2, isMobile: true, hasTouch: true };

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

export function startServer(binary, { home, workspace, port }) {
  const env = { ...process.env };
  for (const key of Object.keys(env)) if (key.startsWith('QUILLO_')) delete env[key];
  Object.assign(env, {
    HOME: home,
    QUILLO_CONFIG_DIR: path.join(home, '.quillo'),
    QUILLO_HOST: '127.0.0.1',
    QUILLO_PORT: String(port),
    QUILLO_NO_AUTO_OPEN: '1',
    QUILLO_NO_TRAY: '1',
  });
  if (workspace) env.QUILLO_WORKSPACE = workspace;
  const server = spawn(binary, [], { env, stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  server.stdout.on('data', (chunk) => { output += chunk; });
  server.stderr.on('data', (chunk) => { output += chunk; });
  server.output = () => output;
  return server;
}

export async function waitForHealth(base, server) {
  const deadline = Date.now() + 10000;
  while (Date.now() < deadline) {
    if (server.exitCode !== null) throw new Error(`the server exited with ${server.exitCode}`);
    try {
      const response = await fetch(`${base}/api/health`);
      if (response.ok) return;
    } catch (_) {
      // not listening yet
    }
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  throw new Error('the server did not answer /api/health within 10 s');
}

export async function stopServer(server) {
  if (server.exitCode !== null || server.signalCode !== null) return;
  const exited = new Promise((resolve) => server.once('exit', resolve));
  server.kill('SIGTERM');
  const timer = setTimeout(() => server.kill('SIGKILL'), 5000);
  await exited;
  clearTimeout(timer);
}

export function launchChromium() {
  return chromium.launch({
    executablePath: process.env.CHROMIUM_PATH || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-dev-shm-usage'],
  });
}

// Runs `body(base)` against a server started for it, then stops the server.
// A failure, or a server that did not end cleanly after SIGTERM (a sanitizer
// report makes its status non-zero, also one written while it shuts down),
// fails the process with the server's output.
export async function runWithServer(binary, options, body) {
  const port = await freePort();
  const base = `http://127.0.0.1:${port}`;
  const server = startServer(binary, { ...options, port });
  try {
    await waitForHealth(base, server);
    await body(base);
  } catch (error) {
    console.error(`FAILED: ${error.stack || error}`);
    console.error(`--- server output ---\n${server.output()}`);
    process.exitCode = 1;
  } finally {
    await stopServer(server);
  }
  if (server.exitCode !== 0 && !process.exitCode) {
    console.error(`FAILED: after SIGTERM the server ended with ${server.exitCode ?? server.signalCode}`);
    console.error(`--- server output ---\n${server.output()}`);
    process.exitCode = 1;
  }
}

// runWithServer with a fresh home holding a workspace folder of its own,
// removed afterwards; `body(base, workspace)`.
export async function runInFreshWorkspace(binary, screenshotDir, prefix, body) {
  fs.mkdirSync(screenshotDir, { recursive: true });
  const home = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  const workspace = path.join(home, 'workspace');
  fs.mkdirSync(workspace);
  try {
    await runWithServer(binary, { home, workspace }, (base) => body(base, workspace));
  } finally {
    fs.rmSync(home, { recursive: true, force: true });
  }
  if (!process.exitCode) console.log(`passed; screenshots in ${screenshotDir}`);
}

// A page of `context` that notes the paths it loads and the errors thrown
// in it, for the tests to assert on.
export async function trackedPage(context) {
  const page = await context.newPage();
  page.setDefaultTimeout(10000);
  const loaded = [];
  page.on('request', (request) => loaded.push(new URL(request.url()).pathname));
  const errors = [];
  page.on('pageerror', (error) => errors.push(error.message));
  return { page, loaded, errors };
}

// The text rows a terminal shows, blanks at their ends dropped.
export const rowsOf = (page, selector) => page.locator(`${selector} .xterm-rows > div`).allTextContents()
  .then((rows) => rows.map((row) => row.replace(/\u00a0/g, ' ').trimEnd()));

// Waits up to `ms` for `check(rows)` and returns the rows then, so that the
// caller's assertion says what was shown instead of a bare time-out.
export async function rowsWhen(page, selector, check, ms = 10000) {
  const deadline = Date.now() + ms;
  let rows = await rowsOf(page, selector);
  while (!check(rows) && Date.now() < deadline) {
    await page.waitForTimeout(100);
    rows = await rowsOf(page, selector);
  }
  return rows;
}

export async function assertNoHorizontalScroll(page) {
  const width = await page.evaluate(() => document.documentElement.scrollWidth);
  assert.ok(width <= PHONE.viewport.width, `the page is ${width}px wide on a ${PHONE.viewport.width}px screen`);
}

// Every button shown has a name for screen readers and is big enough for a
// finger.
export async function assertButtonsUsable(page) {
  const problems = await page.evaluate(() => [...document.querySelectorAll('button')]
    .filter((button) => button.getClientRects().length && getComputedStyle(button).visibility === 'visible')
    .map((button) => {
      const name = (button.getAttribute('aria-label') || button.textContent || '').trim();
      const box = button.getBoundingClientRect();
      if (!name) return `a button without a name: ${button.outerHTML.slice(0, 80)}`;
      if (box.width < 44 || box.height < 44) return `"${name}" is ${box.width}×${box.height}px`;
      return null;
    })
    .filter(Boolean));
  assert.deepEqual(problems, []);
}

// Polls `check` every 100 ms until it gives a true value, which it returns;
// fails naming `what` when `ms` pass first.
export async function waitFor(check, what, ms = 10000) {
  const deadline = Date.now() + ms;
  let value = await check();
  while (!value && Date.now() < deadline) {
    await new Promise((resolve) => setTimeout(resolve, 100));
    value = await check();
  }
  assert.ok(value, `waited ${ms} ms for ${what}`);
  return value;
}
