// The Browser view on a phone (390×844, touch): a dev server started in a
// terminal is found among the ports and previewed in one tap; links, a
// form, a fetch with the app's cookie and a WebSocket work inside the
// preview; Back, Forward, Reload, the desktop width and "open in the
// device's browser" do what they say; and a hostile page in the preview
// reaches nothing of the IDE.
//
// Usage: node preview_test.mjs <quillo binary> <screenshot directory>
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import {
  PHONE, assertButtonsUsable, assertNoHorizontalScroll, launchChromium, rowsWhen, runInFreshWorkspace, trackedPage,
  waitFor,
} from './harness.mjs';

const [binary, screenshotDir] = process.argv.slice(2);
if (!binary || !screenshotDir) {
  console.error('usage: node preview_test.mjs <quillo binary> <screenshot directory>');
  process.exit(2);
}
const DEVAPP = path.join(path.dirname(fileURLToPath(import.meta.url)), 'fixtures', 'devapp.mjs');
const PASSWORD = 'correct horse 42';
const SECRET = 'the launch code is 7f3a9c';
const SHELL = '.term-pane.current';
const SANDBOX = 'allow-scripts allow-same-origin allow-forms allow-popups allow-modals allow-downloads';

const json = (page, url) => page.evaluate((address) => fetch(address).then((answer) => answer.json()), url);

// Starts the dev app in a new terminal; returns its port and process id.
async function startDevApp(page) {
  await page.getByRole('button', { name: 'Terminal', exact: true }).tap();
  await page.locator(`${SHELL} .xterm-rows`).waitFor();
  await rowsWhen(page, SHELL, (r) => r.some((row) => /[$#] ?$/.test(row)));
  await page.locator(SHELL).click();
  await page.keyboard.type(`node ${DEVAPP} 0`);
  await page.keyboard.press('Enter');
  const listening = (rows) => /Listening on http:\/\/localhost:(\d+)\/\s*\(process (\d+)/.exec(rows.join(' '));
  const rows = await rowsWhen(page, SHELL, listening);
  const found = listening(rows);
  assert.ok(found, `the dev app did not say where it listens: ${JSON.stringify(rows)}`);
  return { port: Number(found[1]), pid: Number(found[2]) };
}

// Taps the first local address the terminal shows, where xterm draws it.
async function tapTerminalLink(page, text) {
  const box = await page.locator(`${SHELL} .xterm-rows > div`, { hasText: text }).last().evaluate((row, wanted) => {
    const walker = document.createTreeWalker(row, NodeFilter.SHOW_TEXT);
    for (let node = walker.nextNode(); node; node = walker.nextNode()) {
      const at = node.textContent.indexOf(wanted.slice(0, 4));
      if (at < 0) continue;
      const range = document.createRange();
      range.setStart(node, at);
      range.setEnd(node, at + 4);
      const rect = range.getBoundingClientRect();
      return { x: rect.left + rect.width / 2, y: rect.top + rect.height / 2 };
    }
    return null;
  }, text);
  assert.ok(box, `no "${text}" drawn in the terminal`);
  await page.touchscreen.tap(box.x, box.y);
}

async function run(base, workspace) {
  fs.writeFileSync(path.join(workspace, 'secret.txt'), `${SECRET}\n`);
  fs.writeFileSync(path.join(workspace, 'x.py'), 'print("a hostile page ran me")\n');
  // Signed in at localhost, the previews (on other ports of localhost) are
  // the same site as the IDE: its cookie would go with their requests, so
  // only the server's own checks stand between a preview and the IDE.
  const ide = base.replace('127.0.0.1', 'localhost');

  const browser = await launchChromium();
  let devApp = null;
  try {
    const phone = await browser.newContext(PHONE);
    const { page, errors } = await trackedPage(phone);
    await page.goto(`${ide}/`);
    await page.fill('#setup-password', PASSWORD);
    await page.fill('#setup-confirm', PASSWORD);
    await page.click('#setup-form button[type=submit]');
    await page.locator('#ide').waitFor();
    // Cookies are not kept per port: the IDE's is also the previews' one.
    const ideCookies = await phone.cookies(ide);
    assert.ok(ideCookies.length, 'the IDE set no session cookie');
    const module = await json(page, '/api/browser/module');
    assert.equal(module.module, 'browser');
    assert.notEqual(module.stand_in, true, 'the browser module is only a stand-in');

    console.log('a dev app started in a terminal');
    devApp = await startDevApp(page);
    const devPort = devApp.port;
    const home = `http://localhost:${devPort}/`;
    const terminals = (await json(page, '/api/run/terminals')).terminals;
    assert.equal(terminals.length, 1);
    await page.locator('.term-back').tap();

    console.log('the Browser view from the menu: the address bar refuses what is not http(s)');
    await page.locator('#menu-button').tap();
    await page.locator('#ide-dialog').getByRole('button', { name: 'Browser' }).tap();
    const view = page.locator('.browser-view');
    await view.waitFor();
    const address = page.getByLabel('Page address');
    assert.deepEqual(await address.evaluate((input) => [input.inputMode, input.enterKeyHint,
      input.getAttribute('autocapitalize'), input.spellcheck, getComputedStyle(input).fontSize]),
    ['url', 'go', 'off', false, '16px']);
    const go = page.getByRole('button', { name: 'Go to the address' });
    const error = page.locator('.address-error');
    await address.fill('javascript:alert(1)');
    await go.tap();
    await error.filter({ hasText: 'Only http:// and https://' }).waitFor();
    await address.fill('not an address');
    await address.press('Enter');
    await error.filter({ hasText: 'not a web address' }).waitFor();
    const frame = page.locator('.preview-frame');
    assert.equal(await frame.getAttribute('sandbox'), SANDBOX);
    assert.equal(await frame.getAttribute('referrerpolicy'), 'no-referrer');
    assert.ok(await frame.getAttribute('title'));

    console.log('the dev app is in the Ports list; one tap on Preview shows it');
    await page.getByRole('button', { name: 'Refresh' }).tap();
    const row = page.locator(`.port-row[data-port="${devPort}"]`);
    await row.waitFor();
    assert.match(await row.locator('.port-text').textContent(), new RegExp(`^${devPort} — http://localhost:${devPort}/$`));
    assert.ok(!(await page.locator(`.port-row[data-port="${new URL(base).port}"]`).count()), 'the IDE lists its own port');
    await assertNoHorizontalScroll(page);
    await assertButtonsUsable(page);
    await page.screenshot({ path: path.join(screenshotDir, 'preview-ports.png') });
    await row.getByRole('button', { name: `Preview port ${devPort}` }).tap();
    const inside = page.frameLocator('.preview-frame');
    await inside.locator('#title').waitFor();
    await waitFor(async () => (await address.inputValue()) === home, `the address ${home}`);
    assert.ok(await error.isHidden(), 'the error stays after a good address');

    console.log('a relative link, Back and Forward');
    const back = page.getByRole('button', { name: 'Back (page)' });
    const forward = page.getByRole('button', { name: 'Forward (page)' });
    assert.ok(await back.isDisabled(), 'Back with nothing to go back to');
    await inside.locator('#about-link').tap();
    await inside.locator('#about-title').waitFor();
    await waitFor(async () => (await address.inputValue()) === `${home}about`, 'the address of /about');
    await waitFor(() => back.isEnabled(), 'Back after a link');
    await back.tap();
    await inside.locator('#title').waitFor();
    await waitFor(async () => (await address.inputValue()) === home && forward.isEnabled(), 'home again, with Forward');
    assert.ok(await back.isDisabled(), 'Back from the first page would leave the preview');
    await forward.tap();
    await inside.locator('#about-title').waitFor();
    await waitFor(() => back.isEnabled(), 'Back after Forward');
    await back.tap();
    await inside.locator('#title').waitFor();
    assert.ok(await page.evaluate(() => history.state && history.state.browser), 'Back left the Browser view');

    console.log('a root-relative link and a form');
    await inside.locator('#form-link').tap();
    // The view has taken the form page's load (it may still settle the frame
    // after Back): what is typed before that can be lost with the page.
    await waitFor(async () => (await address.inputValue()) === `${home}form`, 'the address of /form');
    await inside.locator('#word').fill('quill');
    await inside.locator('#send').tap();
    assert.equal(await inside.locator('#echo').textContent(), 'You sent: quill');

    console.log('a bare host and port in the address bar; a fetch with the app\'s cookie; a WebSocket');
    await address.fill(`localhost:${devPort}`);
    await go.tap();
    await inside.locator('#title').waitFor();
    await inside.locator('#fetch-button').tap();
    await inside.locator('#fetch-result', { hasText: 'items: apple,pear; cookie: yes' }).waitFor();
    const appGot = (await inside.locator('#cookie-names').textContent()).split(' ');
    for (const { name } of ideCookies) assert.ok(!appGot.includes(name), `the dev app got the IDE's cookie ${name}`);
    await inside.locator('#ws-button').tap();
    await inside.locator('#ws-result', { hasText: 'echo: hello über socket' }).waitFor();

    console.log('Reload, the desktop width, and the page in the device\'s browser');
    await page.getByRole('button', { name: 'Reload the page' }).tap();
    await waitFor(async () => (await inside.locator('#fetch-result').textContent()) === '', 'the page loaded again');
    const frameWidth = () => page.frames().find((item) => item.parentFrame() === page.mainFrame())
      .evaluate(() => innerWidth);
    assert.ok((await frameWidth()) <= PHONE.viewport.width);
    const wide = page.getByRole('button', { name: 'Desktop width' });
    await wide.tap();
    assert.equal(await wide.getAttribute('aria-pressed'), 'true');
    await waitFor(async () => (await frameWidth()) === 1024, 'the page laid out 1024 px wide');
    await assertNoHorizontalScroll(page);
    await page.screenshot({ path: path.join(screenshotDir, 'preview-wide.png') });
    await wide.tap();
    await waitFor(async () => (await frameWidth()) <= PHONE.viewport.width, 'the phone width again');
    const outside = page.getByRole('link', { name: 'Open in this device’s browser' });
    const href = new URL(await outside.getAttribute('href'), ide);
    assert.equal(href.pathname, '/api/browser/proxy');
    assert.equal(href.searchParams.get('url'), home);
    assert.equal(await outside.getAttribute('target'), '_blank');
    const [tab] = await Promise.all([phone.waitForEvent('page'), outside.tap()]);
    await tab.locator('#title').waitFor();
    assert.notEqual(new URL(tab.url()).origin, ide, 'the page opened on the IDE\'s origin');
    await tab.close();
    await assertNoHorizontalScroll(page);
    await assertButtonsUsable(page);
    await page.screenshot({ path: path.join(screenshotDir, 'preview-page.png') });

    console.log('a hostile page in the preview reaches nothing of the IDE');
    const hostile = `${home}hostile.html?ide=${encodeURIComponent(ide)}&terminal=${encodeURIComponent(terminals[0].id)}`;
    await address.fill(hostile);
    await address.press('Enter');
    const reportBox = inside.locator('#report');
    await reportBox.filter({ hasText: /\S/ }).waitFor({ timeout: 20000 });
    const text = await reportBox.textContent();
    const report = JSON.parse(text);
    for (const name of ['list', 'read', 'run', 'runNoCors', 'terminal', 'frames']) {
      assert.ok(report[name] && report[name].ok === false, `the hostile page's "${name}" got through: ${text}`);
    }
    assert.ok(!text.includes(SECRET) && !text.includes('secret.txt'), `the workspace leaked: ${text}`);
    for (const { value } of ideCookies) assert.ok(!report.cookie.includes(value), `document.cookie: ${report.cookie}`);
    assert.deepEqual((await json(page, '/api/run/runs')).runs, [], 'the hostile page started a run');
    assert.deepEqual((await json(page, '/api/run/terminals')).terminals.map((item) => item.id), [terminals[0].id]);
    assert.equal(new URL(page.url()).origin, ide);
    assert.ok(await view.isVisible(), 'the IDE was navigated away');
    await page.screenshot({ path: path.join(screenshotDir, 'preview-hostile.png') });

    console.log('closing the view goes back to the IDE, over the page\'s history');
    await page.getByRole('button', { name: 'Close the browser' }).tap();
    await page.locator('#menu-button').waitFor();
    assert.ok(await view.isHidden());
    assert.equal(new URL(page.url()).origin, ide);

    console.log('an address printed in a terminal is a link to the Browser view');
    await page.getByRole('button', { name: 'Terminal', exact: true }).tap();
    await page.locator(`${SHELL} .xterm-rows`).waitFor();
    await tapTerminalLink(page, home);
    await view.waitFor();
    await inside.locator('#title').waitFor();
    assert.equal(await address.inputValue(), home);
    await page.getByRole('button', { name: 'Close the browser' }).tap();
    await page.locator('.term-view').waitFor();

    console.log('closing the terminal stops the dev app');
    await page.locator('.term-tab .tab-close').tap();
    await waitFor(async () => {
      try {
        await fetch(home);
        return false;
      } catch (_) {
        return true;
      }
    }, 'the dev app to stop with its terminal');
    devApp = null;
    assert.deepEqual(errors, []);
  } finally {
    await browser.close();
    // A test that failed half-way leaves nothing running either.
    if (devApp) {
      try {
        process.kill(devApp.pid);
      } catch (_) {
        // already gone
      }
    }
  }
}

await runInFreshWorkspace(binary, screenshotDir, 'quillo-preview-', run);
