// Terminals and runs in a real browser: headless Chromium on a phone-sized
// screen against the built server, its shells and its programs.
//
// Usage: node run_test.mjs <quillo binary> <screenshot directory>
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  PHONE, assertButtonsUsable, assertNoHorizontalScroll, launchChromium, rowsWhen, runInFreshWorkspace,
  trackedPage,
} from './harness.mjs';

const [binary, screenshotDir] = process.argv.slice(2);
if (!binary || !screenshotDir) {
  console.error('usage: node run_test.mjs <quillo binary> <screenshot directory>');
  process.exit(2);
}
const PASSWORD = 'correct horse 42';

async function run(base, workspace) {
  const browser = await launchChromium();
  try {
    const context = await browser.newContext(PHONE);
    // Every terminal socket passes through here, so that the test can drop
    // one as a phone's screen lock would.
    const terminalSockets = [];
    await context.routeWebSocket(/\/api\/run\/terminals\/[^/]+\/ws$/, (socket) => {
      terminalSockets.push(socket);
      socket.connectToServer();
    });
    const { page, loaded, errors } = await trackedPage(context);

    await page.goto(base + '/');
    await page.fill('#setup-password', PASSWORD);
    await page.fill('#setup-confirm', PASSWORD);
    await page.click('#setup-form button[type=submit]');
    await page.locator('.pane-message', { hasText: 'This folder is empty.' }).waitFor();
    assert.ok(!loaded.some((p) => p.startsWith('/terminal')), 'xterm loaded before a terminal was opened');

    console.log('the Terminal view opens a shell; a command typed in it answers');
    await page.getByRole('button', { name: 'Terminal', exact: true }).click();
    const shell = '.term-pane.current';
    await page.locator(`${shell} .xterm-rows`).waitFor();
    assert.ok(loaded.includes('/terminal.js') && loaded.includes('/terminal.css'));
    let rows = await rowsWhen(page, shell, (r) => r.some((row) => /[$#] ?$/.test(row)));
    assert.ok(rows.some((row) => /[$#] ?$/.test(row)), `no prompt in the terminal: ${JSON.stringify(rows)}`);
    await page.locator(shell).click();
    // A line typed, then wiped by Ctrl+U from the sticky Ctrl key: if Ctrl
    // did not reach the shell, the command below would echo "abcu…".
    await page.keyboard.type('echo abc');
    const ctrl = page.getByRole('button', { name: 'Ctrl: hold for the next key' });
    await ctrl.click();
    assert.equal(await ctrl.getAttribute('aria-pressed'), 'true');
    await page.keyboard.type('u');
    assert.equal(await ctrl.getAttribute('aria-pressed'), 'false', 'Ctrl stays pressed after one key');
    await page.keyboard.type('echo $((6*7))');
    await page.keyboard.press('Enter');
    rows = await rowsWhen(page, shell, (r) => r.includes('42'));
    assert.ok(rows.includes('42'), `no line "42" in the terminal: ${JSON.stringify(rows)}`);
    assert.ok(!rows.some((row) => row.includes('abc')), `Ctrl+U did not wipe the line: ${JSON.stringify(rows)}`);
    await assertNoHorizontalScroll(page);
    await assertButtonsUsable(page);
    await page.screenshot({ path: path.join(screenshotDir, 'terminal-phone.png') });

    console.log('the terminal follows dark mode');
    const textColour = () => page.locator(`${shell} .xterm-rows`).evaluate((node) => getComputedStyle(node).color);
    const light = await textColour();
    await page.emulateMedia({ colorScheme: 'dark' });
    let dark = light;
    for (let tries = 0; tries < 50 && dark === light; tries += 1) {
      await page.waitForTimeout(100);
      dark = await textColour();
    }
    assert.equal(dark, 'rgb(230, 232, 235)', `light ${light}, dark ${dark}`);
    await page.screenshot({ path: path.join(screenshotDir, 'terminal-phone-dark.png') });
    await page.emulateMedia({ colorScheme: 'light' });

    console.log('with the on-screen keyboard open the shell gets fewer rows and the prompt stays in sight');
    const sizeLines = (r) => r.filter((row) => /^size \d+ \d+$/.test(row));
    const sizeOf = async () => {
      const before = sizeLines(rows).length;
      await page.locator(shell).click();
      await page.keyboard.type('echo size $(stty size)');
      await page.keyboard.press('Enter');
      rows = await rowsWhen(page, shell, (r) => sizeLines(r).length > before);
      const found = sizeLines(rows);
      assert.ok(found.length > before, `stty size printed nothing: ${JSON.stringify(rows)}`);
      return found[found.length - 1].split(' ').slice(1).map(Number);
    };
    const [tallRows, tallCols] = await sizeOf();
    await page.setViewportSize({ width: PHONE.viewport.width, height: 420 });
    await page.waitForTimeout(300);
    const [shortRows, shortCols] = await sizeOf();
    assert.ok(shortRows < tallRows && shortRows >= 5, `rows: ${tallRows} on the full screen, ${shortRows} above the keyboard`);
    assert.equal(shortCols, tallCols);
    const sight = await page.evaluate(() => {
      const lines = [...document.querySelectorAll('.term-pane.current .xterm-rows > div')]
        .filter((row) => row.textContent.trim());
      return { prompt: lines[lines.length - 1].getBoundingClientRect(), keys: document.querySelector('.term-keys').getBoundingClientRect() };
    });
    assert.ok(sight.prompt.bottom <= sight.keys.top && sight.keys.bottom <= 420,
      `the prompt (${sight.prompt.top}-${sight.prompt.bottom}px) is not above the keys (${sight.keys.top}-${sight.keys.bottom}px)`);
    await page.setViewportSize(PHONE.viewport);

    console.log('a dropped connection comes back by itself, without the output twice');
    const termStatus = page.locator('.term-status .stream-text');
    const sockets = terminalSockets.length;
    await terminalSockets[sockets - 1].close({ code: 1011, reason: 'test' });
    await page.locator(shell).click();
    for (let tries = 0; tries < 100 && terminalSockets.length === sockets; tries += 1) await page.waitForTimeout(100);
    assert.equal(terminalSockets.length, sockets + 1, 'no new socket after the drop');
    await page.keyboard.type('echo back-$((7*6))');
    await page.keyboard.press('Enter');
    rows = await rowsWhen(page, shell, (r) => r.includes('back-42'));
    assert.ok(rows.includes('back-42'), `the reconnected shell does not answer: ${JSON.stringify(rows)}`);
    assert.equal(rows.filter((row) => row === '42').length, 1, `after the reconnect: ${JSON.stringify(rows)}`);

    console.log('another window takes the terminal over; "Use here" takes it back');
    const other = await context.newPage();
    await other.goto(base + '/');
    await other.getByRole('button', { name: 'Terminal', exact: true }).click();
    await other.locator(`${shell} .xterm-rows`).waitFor();
    await termStatus.filter({ hasText: 'Opened in another window.' }).waitFor();
    const socketsBefore = terminalSockets.length;
    await page.getByRole('button', { name: 'Use here' }).click();
    await other.locator('.term-status .stream-text', { hasText: 'Opened in another window.' }).waitFor();
    assert.equal(terminalSockets.length, socketsBefore + 1);
    // The notice goes once the new socket is open, which may come a moment
    // after the other window heard it was taken over.
    let notice = await termStatus.textContent();
    for (let tries = 0; tries < 50 && notice !== ''; tries += 1) {
      await page.waitForTimeout(100);
      notice = await termStatus.textContent();
    }
    assert.equal(notice, '', 'the first window still says the terminal is elsewhere');
    await other.close();

    console.log('after a reload the terminal is listed again and shows its output once');
    const listed = await page.evaluate(() => fetch('/api/run/terminals').then((r) => r.json()));
    assert.equal(listed.terminals.length, 1);
    await page.reload();
    await page.locator(`${shell} .xterm-rows`).waitFor();
    rows = await rowsWhen(page, shell, (r) => r.includes('42'));
    assert.equal(rows.filter((row) => row === '42').length, 1, `after the reload: ${JSON.stringify(rows)}`);
    assert.equal(await page.locator('.term-tab').count(), 1);
    await page.locator(shell).click();
    await page.keyboard.type('echo again-$((2+3))');
    await page.keyboard.press('Enter');
    rows = await rowsWhen(page, shell, (r) => r.includes('again-5'));
    assert.ok(rows.includes('again-5'), `the reattached shell does not answer: ${JSON.stringify(rows)}`);

    console.log('closing the terminal ends its shell');
    await page.getByRole('button', { name: 'Close terminal 1' }).click();
    await page.locator('.term-tab').waitFor({ state: 'detached' });
    const left = await page.evaluate(() => fetch('/api/run/terminals').then((r) => r.json()));
    assert.deepEqual(left.terminals, []);
    await page.getByRole('button', { name: 'Back to the files' }).click();

    console.log('Run shows the output of hello.py, takes a line of input, and tells how it ended');
    fs.writeFileSync(path.join(workspace, 'hello.py'),
      'print("hello from python")\nname = input()\nprint("hi", name)\n');
    await page.reload();
    await page.locator('.entry[data-name="hello.py"] .entry-open').click();
    await page.locator('.cm-line', { hasText: 'hello from python' }).waitFor();
    await page.getByRole('button', { name: 'Run', exact: true }).click();
    const output = '.run-output';
    rows = await rowsWhen(page, output, (r) => r.includes('hello from python'));
    assert.ok(rows.includes('hello from python'), `the output panel shows ${JSON.stringify(rows)}`);
    await page.getByRole('textbox', { name: 'Input for the program' }).fill('Ada');
    await page.getByRole('textbox', { name: 'Input for the program' }).press('Enter');
    const status = page.locator('.run-panel .run-status .stream-text');
    await status.filter({ hasText: /^Exited with code 0 in \d+\.\d s$/ }).waitFor();
    // The exit can show before xterm has drawn the last output it was given.
    rows = await rowsWhen(page, output, (r) => r.includes('hi Ada'));
    assert.ok(rows.includes('hi Ada'), `the program did not get its input: ${JSON.stringify(rows)}`);
    assert.ok(await page.getByRole('button', { name: 'Stop the program' }).isDisabled());
    await assertNoHorizontalScroll(page);
    await assertButtonsUsable(page);
    await page.screenshot({ path: path.join(screenshotDir, 'run-phone.png') });

    console.log('Run saves the changes first, starts over in the same panel, and Stop ends the program');
    await page.locator('.cm-content').click();
    await page.keyboard.press('Control+a');
    await page.keyboard.type('import time; print("looping", flush=True); time.sleep(60)');
    await page.getByRole('button', { name: 'Run', exact: true }).click();
    rows = await rowsWhen(page, output, (r) => r.includes('looping'));
    assert.ok(rows.includes('looping'), `the changed file did not run: ${JSON.stringify(rows)}`);
    assert.ok(!rows.includes('hello from python'), `the panel kept the run before: ${JSON.stringify(rows)}`);
    assert.equal(fs.readFileSync(path.join(workspace, 'hello.py'), 'utf8'),
      'import time; print("looping", flush=True); time.sleep(60)');
    assert.equal(await page.locator('.run-panel').count(), 1);
    await page.getByRole('button', { name: 'Stop the program' }).click();
    await status.filter({ hasText: 'Stopped by SIGTERM' }).waitFor();

    assert.deepEqual(errors, [], 'errors in the page');
  } finally {
    await browser.close();
  }
}

await runInFreshWorkspace(binary, screenshotDir, 'quillo-run-', run);
