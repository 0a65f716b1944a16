// The editor and terminal bundles on their own, in headless Chromium on a
// phone-sized screen: loaded from the built server the way the IDE loads
// them, and driven through the functions they export.
//
// Usage: node editor_test.mjs <quillo binary> <screenshot directory>
import assert from 'node:assert/strict';
import path from 'node:path';
import { PHONE, launchChromium, runInFreshWorkspace, trackedPage } from './harness.mjs';

const [binary, screenshotDir] = process.argv.slice(2);
if (!binary || !screenshotDir) {
  console.error('usage: node editor_test.mjs <quillo binary> <screenshot directory>');
  process.exit(2);
}

// Loads a bundle into the page as window.<name>, with the cache-busting
// query the page's own scripts carry, and a fresh full-screen host element.
async function loadBundle(page, name) {
  await page.evaluate(async (bundle) => {
    const version = new URL(document.querySelector('script[src^="/app.js"]').src).searchParams.get('v');
    window[bundle] = await import(`/${bundle}.js?v=${version}`);
    if (bundle === 'terminal') {
      const link = Object.assign(document.createElement('link'), { rel: 'stylesheet', href: `/terminal.css?v=${version}` });
      const loaded = new Promise((resolve) => { link.onload = resolve; });
      document.head.append(link);
      await loaded;
    }
  }, name);
}

// A new editor for `name` in a host filling the screen, as window.ed.
async function newEditor(page, name, text = '') {
  await page.evaluate(async ([fileName, content]) => {
    if (window.ed) window.ed.destroy();
    document.getElementById('host')?.remove();
    const host = Object.assign(document.createElement('div'), { id: 'host' });
    host.style.cssText = 'position:fixed;inset:0;z-index:10;background:canvas;';
    document.body.append(host);
    const language = await window.editor.loadLanguage(fileName);
    window.ed = window.editor.createEditor({
      parent: host, text: content, name: fileName, language, label: fileName, onChange() {}, onSave() {},
    });
  }, [name, text]);
}

const docText = (page) => page.evaluate(() => window.ed.view.state.doc.toString());
// The caret as [line, column], both from 1.
const caret = (page) => page.evaluate(() => {
  const { state } = window.ed.view;
  const line = state.doc.lineAt(state.selection.main.head);
  return [line.number, state.selection.main.head - line.from + 1];
});
const settle = (page) => page.evaluate(() => new Promise((resolve) => {
  requestAnimationFrame(() => requestAnimationFrame(resolve));
}));

async function editorChecks(page) {
  console.log('a new editor takes the caret; typing a closing tag by hand leaves one');
  await newEditor(page, 'index.html');
  await page.evaluate(() => window.editor.focusEditor(window.ed));
  assert.ok(await page.evaluate(() => window.ed.view.hasFocus), 'focusEditor left the focus elsewhere');
  await page.keyboard.type('<h1>Hi</h1>');
  assert.equal(await docText(page), '<h1>Hi</h1>');
  await page.keyboard.type('\n<ul><li>a</li>');
  assert.equal(await docText(page), '<h1>Hi</h1>\n<ul><li>a</li></ul>', 'tags not closed by hand are still closed');

  console.log('home and end of the extra keys row; go to a line, centred');
  await newEditor(page, 'notes.py', Array.from({ length: 300 }, (_, i) => `    line ${i + 1}`).join('\n'));
  await page.evaluate(() => window.editor.goToLine(window.ed, 250, 8));
  assert.deepEqual(await caret(page), [250, 8]);
  await settle(page);
  const placement = await page.evaluate(() => {
    const { view } = window.ed;
    const scroller = view.scrollDOM.getBoundingClientRect();
    const at = view.coordsAtPos(view.state.selection.main.head);
    return { focused: view.hasFocus, fraction: at ? (at.top - scroller.top) / scroller.height : -1 };
  });
  assert.ok(placement.focused, 'goToLine left the focus elsewhere');
  assert.ok(placement.fraction > 0.2 && placement.fraction < 0.8,
    `line 250 is at ${placement.fraction} of the editor's height, not near its middle`);
  await page.evaluate(() => window.editor.pressKey(window.ed, 'home'));
  assert.deepEqual(await caret(page), [250, 5], 'home goes to the end of the indentation first');
  await page.evaluate(() => window.editor.pressKey(window.ed, 'end'));
  assert.deepEqual(await caret(page), [250, 13]);
  await page.evaluate(() => window.editor.pressKey(window.ed, 'pageUp'));
  const [afterPageUp] = await caret(page);
  assert.ok(afterPageUp < 240, `page up went from line 250 to ${afterPageUp}`);
  assert.equal(await docText(page).then((text) => text.split('\n')[249]), '    line 250', 'the keys typed text');

  console.log('find and replace fits the phone and speaks Chinese on a Chinese page');
  await page.evaluate(() => { document.documentElement.lang = 'zh-CN'; });
  await newEditor(page, 'notes.py', 'print("你好")\n'.repeat(50));
  await page.evaluate(() => window.editor.openSearch(window.ed));
  const panel = await page.evaluate(() => {
    const search = document.querySelector('.cm-search');
    const controls = [...search.querySelectorAll('button, label, .cm-textfield')];
    return {
      width: search.getBoundingClientRect().width,
      right: Math.max(...controls.map((control) => control.getBoundingClientRect().right)),
      lowest: Math.min(...controls.map((control) => control.getBoundingClientRect().height)),
      pageWidth: document.scrollingElement.scrollWidth,
      focused: document.activeElement === search.querySelector('input[main-field]'),
      text: search.innerText,
      placeholder: search.querySelector('input[main-field]').placeholder,
    };
  });
  await page.screenshot({ path: path.join(screenshotDir, 'editor-phone-search-zh.png') });
  const phone = PHONE.viewport.width;
  assert.ok(panel.width <= phone && panel.right <= phone, `the search panel reaches ${panel.right}px`);
  assert.ok(panel.pageWidth <= phone, `the page is ${panel.pageWidth}px wide`);
  assert.ok(panel.lowest >= 44, `a control of the search panel is ${panel.lowest}px tall`);
  assert.ok(panel.focused, 'the search field is not focused');
  assert.equal(panel.placeholder, '查找');
  for (const word of ['下一个', '区分大小写', '全部替换']) assert.ok(panel.text.includes(word), `no ${word} in ${panel.text}`);
  assert.ok(!/next|match case|replace/.test(panel.text), `English left in ${panel.text}`);
}

async function terminalChecks(page) {
  console.log('output kept at 44 columns replays at 44, then reflows to the desktop width');
  await page.setViewportSize({ width: 1280, height: 800 });
  await page.evaluate(async () => {
    const host = Object.assign(document.createElement('div'), { id: 'term-host' });
    host.style.cssText = 'position:fixed;inset:0;z-index:20;';
    document.body.append(host);
    window.sizes = [];
    window.flowEvents = [];
    window.th = window.terminal.createTerminal(host, {
      onResize: (size) => window.sizes.push(size),
      onPause: () => window.flowEvents.push('pause'),
      onResume: () => window.flowEvents.push('resume'),
    });
    window.th.fit();
    window.sizes = [];
    window.terminal.beginReplay(window.th, { cols: 44, rows: 12 });
    window.replayCols = window.th.cols;
    // A line of 50 that the program, knowing it wraps at 44, overwrites
    // from the start of its second row; the cursor's own line is the
    // shell's to redraw, so the output moves on.
    window.terminal.writeOutput(window.th, new TextEncoder().encode(`${'x'.repeat(50)}\rY\r\n$ `));
    await window.terminal.endReplay(window.th);
  });
  const replay = await page.evaluate(() => ({
    during: window.replayCols,
    cols: window.th.cols,
    sizes: window.sizes,
    first: window.th.lines()[0],
  }));
  assert.equal(replay.during, 44);
  assert.ok(replay.cols > 60, `after the replay the terminal is ${replay.cols} columns wide`);
  assert.deepEqual(replay.sizes.map((size) => size.cols), [replay.cols], 'the server hears the new size once');
  assert.equal(replay.first, `${'x'.repeat(44)}Yxxxxx`);

  console.log('a flood of output pauses the sender once and resumes it once');
  const events = await page.evaluate(async () => {
    const chunk = new Uint8Array(64 * 1024).fill(0x61);
    for (let i = 0; i < 16; i += 1) window.terminal.writeOutput(window.th, chunk);
    const paused = [...window.flowEvents];
    await new Promise((resolve) => { window.th.term.write('', resolve); });
    return { paused, after: window.flowEvents };
  });
  assert.deepEqual(events.paused, ['pause']);
  assert.deepEqual(events.after, ['pause', 'resume']);
}

async function run(base) {
  const browser = await launchChromium();
  try {
    const context = await browser.newContext({ ...PHONE, locale: 'en-US' });
    const { page, errors } = await trackedPage(context);
    await page.goto(base + '/');
    await page.locator('#setup-form').waitFor();
    const setup = await page.evaluate(() => fetch('/api/auth/setup', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ password: 'correct horse 42' }),
    }).then((response) => response.status));
    assert.equal(setup, 200, 'signing in through the API');
    await loadBundle(page, 'editor');
    await loadBundle(page, 'terminal');
    await editorChecks(page);
    await terminalChecks(page);
    assert.deepEqual(errors, [], 'errors in the page');
  } finally {
    await browser.close();
  }
}

await runInFreshWorkspace(binary, screenshotDir, 'quillo-editor-', run);
