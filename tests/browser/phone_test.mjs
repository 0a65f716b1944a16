// What a phone user does by touch, in headless Chromium at 390×844 (and a
// desktop for the second device): one tap on Send, find and replace, search
// across files, settings that follow the user, a terminal reopened at
// another width.
//
// Usage: node phone_test.mjs <quillo binary> <screenshot directory>
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  PHONE, assertButtonsUsable, assertNoHorizontalScroll, launchChromium, rowsWhen, runInFreshWorkspace, trackedPage,
} from './harness.mjs';

const [binary, screenshotDir] = process.argv.slice(2);
if (!binary || !screenshotDir) {
  console.error('usage: node phone_test.mjs <quillo binary> <screenshot directory>');
  process.exit(2);
}
const PASSWORD = 'correct horse 42';
// The row of a file in the list (not its actions button).
const fileRow = (page, name) => page.locator(`.entry[data-name="${name}"] .entry-open`);
const DESKTOP = { viewport: { width: 1280, height: 800 } };

async function signIn(page, base, first) {
  await page.goto(base + '/');
  if (first) {
    await page.fill('#setup-password', PASSWORD);
    await page.fill('#setup-confirm', PASSWORD);
    await page.click('#setup-form button[type=submit]');
  } else {
    await page.fill('#login-password', PASSWORD);
    await page.click('#login-form button[type=submit]');
  }
  await page.locator('#ide').waitFor();
}

async function run(base, workspace) {
  fs.writeFileSync(path.join(workspace, 'ask.py'), 'name = input()\nprint("hello", name)\ntry:\n    input()\nexcept EOFError:\n    print("end of input")\n');
  fs.writeFileSync(path.join(workspace, 'notes.txt'), 'nothing to run here\n');
  fs.mkdirSync(path.join(workspace, 'src'));
  const lines = Array.from({ length: 80 }, (_, i) => `line ${i + 1}`);
  lines[59] = 'the needle is here';
  fs.writeFileSync(path.join(workspace, 'src', 'deep.txt'), lines.join('\n'));
  fs.mkdirSync(path.join(workspace, 'node_modules'));
  fs.writeFileSync(path.join(workspace, 'node_modules', 'skip.txt'), 'the needle is not here\n');

  const browser = await launchChromium();
  try {
    const phone = await browser.newContext(PHONE);
    const { page, errors } = await trackedPage(phone);
    await signIn(page, base, true);

    console.log('Run is offered for a Python file, not for a text file');
    await fileRow(page, 'notes.txt').tap();
    await page.locator('.cm-content').waitFor();
    await page.waitForTimeout(200);
    assert.ok(!(await page.locator('#run-button').isVisible()), 'Run offered for notes.txt');
    await page.locator('.editor-back').tap();
    await fileRow(page, 'ask.py').tap();
    await page.locator('#run-button').waitFor();

    console.log('one tap on Send sends the line, with the keyboard in the input line');
    await page.locator('#run-button').tap();
    const output = '.run-output';
    await rowsWhen(page, output, () => true, 500);
    await page.locator('.run-line').tap();
    await page.locator('.run-line').fill('Ada');
    await page.locator('.run-send').tap();
    let rows = await rowsWhen(page, output, (r) => r.some((row) => row.includes('hello Ada')));
    assert.ok(rows.some((row) => row.includes('hello Ada')), `one tap on Send: ${JSON.stringify(rows)}`);
    await page.locator('.run-eof').tap();
    rows = await rowsWhen(page, output, (r) => r.some((row) => row.includes('end of input')));
    assert.ok(rows.some((row) => row.includes('end of input')), `one tap on ^D: ${JSON.stringify(rows)}`);

    console.log('find and replace opens from a button and fits the phone');
    await page.locator('.find-button').tap();
    await page.locator('.cm-search input[name=search]').waitFor();
    const panelWidth = await page.locator('.cm-search').evaluate((node) => node.getBoundingClientRect().width);
    assert.ok(panelWidth <= PHONE.viewport.width, `the find panel is ${panelWidth}px wide`);
    await assertNoHorizontalScroll(page);
    await page.screenshot({ path: path.join(screenshotDir, 'phone-find.png') });
    await page.locator('.editor-back').tap();

    console.log('content search by touch finds the line and opens the file there, skipping node_modules');
    await page.getByRole('button', { name: 'Search', exact: true }).tap();
    await page.getByRole('button', { name: 'Text in files' }).tap();
    await page.locator('#search-input').fill('needle');
    const match = page.locator('.match-open');
    await match.first().waitFor();
    await page.locator('.search-status', { hasText: 'Matches: 1' }).waitFor();
    assert.equal(await match.count(), 1, 'only src/deep.txt matches; node_modules is skipped');
    assert.match(await page.locator('.match-file').first().textContent(), /deep\.txt/);
    await assertNoHorizontalScroll(page);
    await assertButtonsUsable(page);
    await page.screenshot({ path: path.join(screenshotDir, 'phone-search.png') });
    await match.first().tap();
    await page.locator('.cm-content').waitFor();
    await page.waitForFunction(() => document.querySelector('.cm-activeLine')?.textContent === 'the needle is here');
    assert.ok(await page.evaluate(() => document.activeElement.closest('.cm-editor') !== null), 'the caret is in the editor');
    await page.locator('.editor-back').tap();

    console.log('quick open: part of a name opens the file; go to line moves the caret');
    await page.getByRole('button', { name: 'Search', exact: true }).tap();
    await page.getByRole('button', { name: 'File names' }).tap();
    await page.locator('#search-input').fill('dee');
    await page.locator('.results .entry-open').first().waitFor();
    await page.locator('#search-input').press('Enter');
    await page.locator('.cm-content').waitFor();
    await page.locator('.goto-button').tap();
    await page.getByLabel(/Line number/).fill('42');
    await page.getByRole('button', { name: 'Go', exact: true }).tap();
    await page.waitForFunction(() => document.querySelector('.cm-activeLine')?.textContent === 'line 42');
    await page.locator('.editor-back').tap();

    console.log('a new file opens with the caret in the editor');
    await page.getByRole('button', { name: 'New', exact: true }).tap();
    await page.getByRole('button', { name: 'New file' }).tap();
    await page.getByLabel('Name').fill('fresh.py');
    await page.getByRole('button', { name: 'New file' }).tap();
    await page.locator('.cm-content').waitFor();
    await page.waitForFunction(() => document.activeElement && document.activeElement.closest('.cm-editor'));
    assert.ok(await page.locator('.keys.more-right').isVisible(), 'the key row shows that it scrolls');
    await page.locator('.editor-back').tap();

    console.log('server status says which modules are only stand-ins');
    await page.locator('#menu-button').tap();
    await page.getByRole('button', { name: 'Server status' }).tap();
    const chatRow = page.locator('#modules li', { hasText: /^chat/ });
    await chatRow.locator('.stand-in').waitFor();
    const gitRow = page.locator('#modules li', { hasText: /^git/ });
    await gitRow.locator('.ok').waitFor();
    assert.equal(await gitRow.locator('.stand-in').count(), 0, 'git is a real module now');
    assert.equal(await page.locator('#modules li', { hasText: /^files/ }).locator('.ok').textContent(), 'ready');
    await page.getByRole('button', { name: 'Close' }).tap();

    console.log('a Trash item is deleted for good after a confirmation');
    await fileRow(page, 'notes.txt').waitFor();
    await page.getByRole('button', { name: 'Actions for notes.txt' }).tap();
    await page.getByRole('button', { name: 'Delete', exact: true }).tap();
    await page.locator('#menu-button').tap();
    await page.getByRole('button', { name: 'Trash' }).tap();
    await page.getByRole('button', { name: 'Delete notes.txt for good' }).tap();
    await page.locator('dialog .sheet-item.danger').tap();
    await page.locator('.pane-message', { hasText: 'The Trash is empty.' }).waitFor();
    const trash = await page.evaluate(() => fetch('/api/files/trash').then((answer) => answer.json()));
    assert.deepEqual(trash.items, []);
    await page.locator('.pane-head .icon-button').first().tap();

    console.log('a setting changed on the phone is what a desktop sees');
    await page.locator('#menu-button').tap();
    await page.getByRole('button', { name: 'Settings' }).tap();
    await page.getByLabel('Editor text size').selectOption('22');
    await page.getByLabel('Colours').selectOption('dark');
    await page.getByLabel('Save by itself').selectOption('pause');
    await page.waitForFunction(() => document.documentElement.dataset.theme === 'dark');
    await assertNoHorizontalScroll(page);
    await page.screenshot({ path: path.join(screenshotDir, 'phone-settings.png') });
    await page.getByRole('button', { name: 'Close' }).tap();

    const desktop = await browser.newContext(DESKTOP);
    const second = await trackedPage(desktop);
    await signIn(second.page, base, false);
    await second.page.waitForFunction(() => document.documentElement.dataset.theme === 'dark');
    await fileRow(second.page, 'ask.py').click();
    await second.page.locator('.cm-content').waitFor();
    const size = await second.page.locator('.cm-content').evaluate((node) => getComputedStyle(node).fontSize);
    assert.equal(size, '22px');
    // Saving by itself was chosen on the phone: a pause in typing saves.
    await second.page.locator('.cm-content').click();
    await second.page.keyboard.press('Control+End');
    await second.page.keyboard.type('# saved by itself');
    const saved = () => fs.readFileSync(path.join(workspace, 'ask.py'), 'utf8').includes('# saved by itself');
    for (let tries = 0; tries < 50 && !saved(); tries += 1) await second.page.waitForTimeout(100);
    assert.ok(saved(), 'a pause in typing did not save the file');

    console.log('a terminal written at phone width reads the same when reopened on the desktop');
    await page.getByRole('button', { name: 'Terminal', exact: true }).tap();
    const shell = '.term-pane.current';
    await page.locator(`${shell} .xterm-rows`).waitFor();
    await rowsWhen(page, shell, (r) => r.some((row) => row.includes('$')));
    // 50 zeros wrap at the phone's width; a carriage return then goes to
    // the start of their second row, which the Y overwrites. Replayed at
    // the desktop's width without care, the Y would land on the first zero.
    await page.locator(shell).click();
    await page.keyboard.type("printf '%050d\\rY\\n'");
    await page.keyboard.press('Enter');
    const narrow = await rowsWhen(page, shell, (r) => r.some((row) => /^Y0+$/.test(row)));
    const cols = narrow.find((row) => /^0+$/.test(row))?.length;
    assert.ok(cols > 20 && cols < 50, `at phone width: ${JSON.stringify(narrow)}`);
    await second.page.getByRole('button', { name: 'Terminal', exact: true }).click();
    const written = `${'0'.repeat(cols)}Y${'0'.repeat(49 - cols)}`;
    const wide = await rowsWhen(second.page, shell, (r) => r.includes(written));
    assert.ok(wide.includes(written), `replayed at the desktop width: ${JSON.stringify(wide)}`);
    assert.ok(await second.page.locator('.editor-pane').isVisible(), 'the editor stays beside the terminal');
    await second.page.screenshot({ path: path.join(screenshotDir, 'desktop-terminal-beside-editor.png') });

    console.log('a new terminal takes the keyboard at once, on a touch screen too');
    await page.locator('.term-new').tap();
    await page.waitForFunction(() => document.querySelectorAll('.term-tab').length === 2);
    await page.waitForFunction(() => document.activeElement?.classList.contains('xterm-helper-textarea'));

    assert.deepEqual(errors, [], 'errors on the phone');
    assert.deepEqual(second.errors, [], 'errors on the desktop');
  } finally {
    await browser.close();
  }
}

await runInFreshWorkspace(binary, screenshotDir, 'quillo-phone-', run);
