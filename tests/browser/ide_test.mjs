// The IDE in a real browser: headless Chromium on a phone-sized screen
// against the built server, with a workspace this test also writes to
// directly, as another program on the machine would.
//
// Usage: node ide_test.mjs <quillo binary> <screenshot directory>
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { PHONE, assertNoHorizontalScroll, launchChromium, runInFreshWorkspace, trackedPage } from './harness.mjs';

const [binary, screenshotDir] = process.argv.slice(2);
if (!binary || !screenshotDir) {
  console.error('usage: node ide_test.mjs <quillo binary> <screenshot directory>');
  process.exit(2);
}
const PASSWORD = 'correct horse 42';

// The lines the editor shows (all of them, for a short file).
const editorText = (page) => page.locator('.editor-panel:not([hidden]) .cm-line').allTextContents()
  .then((lines) => lines.join('\n'));

async function run(base, workspace) {
  const browser = await launchChromium();
  try {
    const context = await browser.newContext(PHONE);
    const { page, loaded, errors } = await trackedPage(context);

    console.log('the sign-in page loads neither the IDE nor the editor');
    await page.goto(base + '/');
    await page.locator('#setup-form').waitFor();
    assert.deepEqual(loaded.filter((p) => /^\/(ide\.css|app-chunks\/main-|editor)/.test(p)), []);

    console.log('after sign-in the file list shows the empty workspace');
    await page.fill('#setup-password', PASSWORD);
    await page.fill('#setup-confirm', PASSWORD);
    await page.click('#setup-form button[type=submit]');
    await page.locator('.pane-message', { hasText: 'This folder is empty.' }).waitFor();
    assert.ok(loaded.some((p) => p.startsWith('/app-chunks/main-')), 'the IDE was not loaded');
    assert.ok(!loaded.some((p) => p.startsWith('/editor')), 'the editor loaded before a file was opened');

    console.log('a new file made through the UI opens in the editor');
    await page.getByRole('button', { name: 'New', exact: true }).click();
    await page.getByRole('button', { name: 'New file' }).click();
    await page.getByLabel('Name').fill('hello.py');
    await page.getByRole('button', { name: 'New file' }).click();
    await page.locator('.cm-content').waitFor();
    assert.equal(fs.readFileSync(path.join(workspace, 'hello.py'), 'utf8'), '');
    assert.ok(loaded.includes('/editor.js'));

    console.log('typing marks the file unsaved; Ctrl+S writes it');
    await page.locator('.cm-content').click();
    await page.keyboard.type('def greet():\nprint("hello")');
    await page.locator('.editor-head .dirty').waitFor();
    await page.keyboard.press('Control+s');
    await page.locator('.editor-head .dirty').waitFor({ state: 'hidden' });
    // Python's indentation came from the editor, the closing quote and
    // parenthesis from typing over the ones it inserted.
    const saved = 'def greet():\n    print("hello")';
    assert.equal(fs.readFileSync(path.join(workspace, 'hello.py'), 'utf8'), saved);
    await assertNoHorizontalScroll(page);
    await page.screenshot({ path: path.join(screenshotDir, 'ide-phone-editor.png') });

    console.log('after a reload the file opens with what was saved');
    await page.reload();
    await page.locator('.entry[data-name="hello.py"] .entry-open').click();
    await page.locator('.cm-line', { hasText: 'print' }).waitFor();
    assert.equal(await editorText(page), saved);

    console.log('a change on disk since opening: saving offers "Load theirs" or "Overwrite"');
    fs.writeFileSync(path.join(workspace, 'hello.py'), 'changed on disk\n');
    await page.locator('.cm-line').last().click();
    await page.keyboard.press('End');
    await page.locator('.key[data-key=")"]').click(); // the extra keys row types too
    await page.locator('#save-button').click();
    const conflict = page.locator('dialog[open]');
    await conflict.getByRole('button', { name: 'Overwrite' }).waitFor();
    await conflict.getByRole('button', { name: 'Load theirs' }).click();
    await page.locator('.cm-line', { hasText: 'changed on disk' }).waitFor();
    assert.equal(await editorText(page), 'changed on disk\n');
    assert.ok(await page.locator('.editor-head .dirty').isHidden(), 'the version on disk counts as saved');

    fs.writeFileSync(path.join(workspace, 'hello.py'), 'changed again\n');
    await page.locator('.cm-line').first().click();
    await page.keyboard.press('End');
    await page.keyboard.type(' by me');
    await page.keyboard.press('Control+s');
    await conflict.getByRole('button', { name: 'Load theirs' }).waitFor();
    await assertNoHorizontalScroll(page);
    await page.screenshot({ path: path.join(screenshotDir, 'ide-phone-conflict.png') });
    await conflict.getByRole('button', { name: 'Overwrite' }).click();
    await page.locator('.editor-head .dirty').waitFor({ state: 'hidden' });
    assert.equal(fs.readFileSync(path.join(workspace, 'hello.py'), 'utf8'), 'changed on disk by me\n');

    console.log('leaving a file with unsaved changes asks first');
    await page.keyboard.type('!');
    await page.getByRole('button', { name: 'Back to the files' }).click();
    await conflict.getByRole('button', { name: 'Discard changes' }).click();
    await page.locator('.entry[data-name="hello.py"]').waitFor();
    assert.equal(fs.readFileSync(path.join(workspace, 'hello.py'), 'utf8'), 'changed on disk by me\n');
    await assertNoHorizontalScroll(page);
    await page.screenshot({ path: path.join(screenshotDir, 'ide-phone-files.png') });

    console.log('when the on-screen keyboard takes the lower half, the line being edited stays in sight');
    fs.writeFileSync(path.join(workspace, 'long.py'), Array.from({ length: 80 }, (_, i) => `line_${i} = ${i}\n`).join(''));
    await page.reload();
    await page.locator('.entry[data-name="long.py"] .entry-open').click();
    await page.locator('.cm-line', { hasText: 'line_30 ' }).click();
    await page.keyboard.press('End');
    await page.setViewportSize({ width: PHONE.viewport.width, height: 420 });
    await page.waitForFunction(() => window.visualViewport.height === 420);
    await page.waitForTimeout(300);
    const sight = await page.evaluate(() => {
      const box = (selector) => document.querySelector(selector).getBoundingClientRect();
      return {
        line: box('.cm-activeLine'), editor: box('.editor-host'), keys: box('.keys'),
        text: document.querySelector('.cm-activeLine').textContent,
      };
    });
    assert.equal(sight.text, 'line_30 = 30');
    assert.ok(sight.line.top >= sight.editor.top && sight.line.bottom <= sight.keys.top,
      `the line being edited (${sight.line.top}-${sight.line.bottom}px) is not between the top of the editor (${sight.editor.top}px) and the extra keys (${sight.keys.top}px)`);
    assert.ok(sight.keys.bottom <= 420, 'the extra keys are below the visible part of the screen');
    await page.setViewportSize(PHONE.viewport);
    await page.getByRole('button', { name: 'Back to the files' }).click();

    console.log('a renamed file is renamed on disk');
    await page.getByRole('button', { name: 'Actions for hello.py' }).click();
    await page.getByRole('button', { name: 'Rename' }).click();
    await page.getByLabel('New name').fill('greeting.py');
    await page.getByRole('button', { name: 'Rename' }).click();
    await page.locator('.entry[data-name="greeting.py"]').waitFor();
    assert.ok(!fs.existsSync(path.join(workspace, 'hello.py')));
    assert.equal(fs.readFileSync(path.join(workspace, 'greeting.py'), 'utf8'), 'changed on disk by me\n');

    console.log('a deleted file goes to the Trash and comes back from it');
    await page.getByRole('button', { name: 'Actions for greeting.py' }).click();
    await page.getByRole('button', { name: 'Delete' }).click();
    await page.locator('.entry[data-name="greeting.py"]').waitFor({ state: 'detached' });
    assert.ok(!fs.existsSync(path.join(workspace, 'greeting.py')));
    await page.getByRole('button', { name: 'Menu' }).click();
    await page.getByRole('button', { name: 'Trash' }).click();
    await page.getByRole('button', { name: 'Restore greeting.py' }).click();
    await page.locator('.toast', { hasText: 'is back' }).waitFor();
    assert.equal(fs.readFileSync(path.join(workspace, 'greeting.py'), 'utf8'), 'changed on disk by me\n');

    assert.deepEqual(errors, [], 'errors in the page');
  } finally {
    await browser.close();
  }
}

await runInFreshWorkspace(binary, screenshotDir, 'quillo-ide-', run);
