// The sign-in flow in a real browser: headless Chromium against the built
// server, on a phone-sized viewport, with a screenshot of every screen.
//
// Usage: node sign_in_test.mjs <quillo binary> <screenshot directory>
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { PHONE, launchChromium, runWithServer } from './harness.mjs';

const [binary, screenshotDir] = process.argv.slice(2);
if (!binary || !screenshotDir) {
  console.error('usage: node sign_in_test.mjs <quillo binary> <screenshot directory>');
  process.exit(2);
}
const DESKTOP = { viewport: { width: 1280, height: 800 } };
const PASSWORD = 'correct horse 42';

async function visible(page, selector) {
  await page.locator(selector).waitFor({ state: 'visible', timeout: 10000 });
}

// The module list now lives in the IDE's menu, under "Server status".
async function serverHealthy(page) {
  await page.click('#menu-button');
  await page.click('#status-item');
  await page.locator('#modules li', { hasText: 'Health' }).locator('.ok').waitFor();
}

async function logOut(page) {
  await page.keyboard.press('Escape');
  await page.click('#menu-button');
  await page.click('#logout');
}

async function snap(page, name) {
  await page.screenshot({ path: path.join(screenshotDir, `${name}.png`), fullPage: true });
}

// Nothing on the page may stick out sideways on a narrow screen.
async function assertNoHorizontalScroll(page) {
  const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
  assert.ok(overflow <= 0, `the page is ${overflow}px wider than the viewport`);
}

async function run(base) {
  const browser = await launchChromium();
  try {
    const phone = await browser.newContext(PHONE);
    const page = await phone.newPage();
    page.setDefaultTimeout(10000);

    console.log('first visit shows the set-up form');
    await page.goto(base + '/');
    await visible(page, '#setup-form');
    await assertNoHorizontalScroll(page);
    await snap(page, 'phone-1-setup');

    console.log('two different passwords are caught before anything is sent');
    await page.fill('#setup-password', PASSWORD);
    await page.fill('#setup-confirm', 'something else');
    await page.click('#setup-form button[type=submit]');
    await visible(page, '#setup-form .form-error');
    assert.equal(await page.textContent('#setup-form .form-error'), 'The two passwords are not the same.');

    console.log('a blank password shows the server\'s refusal, in English to an English browser');
    await page.fill('#setup-password', '   ');
    await page.fill('#setup-confirm', '   ');
    await page.click('#setup-form button[type=submit]');
    await page.locator('#setup-form .form-error', { hasText: 'The password cannot be empty.' }).waitFor();

    console.log('setting the password signs this browser in');
    await page.fill('#setup-password', PASSWORD);
    await page.fill('#setup-confirm', PASSWORD);
    await page.click('#setup-form button[type=submit]');
    await visible(page, '#shell');
    await serverHealthy(page);
    await assertNoHorizontalScroll(page);
    await snap(page, 'phone-2-signed-in');

    console.log('a reload stays signed in');
    await page.reload();
    await visible(page, '#shell');

    console.log('another browser, in Chinese, sees the login form and is refused by the API');
    const stranger = await browser.newContext({ ...DESKTOP, locale: 'zh-CN' });
    const strangerPage = await stranger.newPage();
    await strangerPage.goto(base + '/');
    await visible(strangerPage, '#login-form');
    assert.equal(await strangerPage.getAttribute('html', 'lang'), 'zh-CN');
    assert.equal(await strangerPage.textContent('#login-form button[type=submit]'), '登录');
    const refused = await strangerPage.evaluate(async () => {
      const response = await fetch('/api/files/module');
      return { status: response.status, body: await response.json() };
    });
    assert.deepEqual(refused, { status: 401, body: { error: '未登录', auth_required: true } });
    await snap(strangerPage, 'desktop-login');
    await stranger.close();

    console.log('logging out shows the login form');
    await logOut(page);
    await visible(page, '#login-form');
    await snap(page, 'phone-3-login');

    console.log('a wrong password shows the server\'s message');
    await page.fill('#login-password', 'wrong');
    await page.click('#login-form button[type=submit]');
    await page.locator('#login-form .form-error', { hasText: 'Wrong password.' }).waitFor();
    await assertNoHorizontalScroll(page);
    await snap(page, 'phone-4-wrong-password');

    console.log('the right password signs in again');
    await page.fill('#login-password', PASSWORD);
    await page.click('#login-form button[type=submit]');
    await visible(page, '#shell');

    const desktop = await browser.newContext(DESKTOP);
    await desktop.addCookies(await phone.cookies());
    const desktopPage = await desktop.newPage();
    await desktopPage.goto(base + '/');
    await visible(desktopPage, '#shell');
    await serverHealthy(desktopPage);
    await snap(desktopPage, 'desktop-signed-in');
  } finally {
    await browser.close();
  }
}

async function main() {
  fs.mkdirSync(screenshotDir, { recursive: true });
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'quillo-browser-'));
  try {
    await runWithServer(binary, { home }, run);
  } finally {
    fs.rmSync(home, { recursive: true, force: true });
  }
  if (!process.exitCode) console.log(`passed; screenshots in ${screenshotDir}`);
}

await main();
