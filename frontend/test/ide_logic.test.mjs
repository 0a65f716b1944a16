// The IDE's pure modules: what runs without a browser.
import { test } from 'node:test';
import assert from 'node:assert/strict';

import { pickLanguage, translator } from '../src/i18n/index.js';
import { canRun, extensionOf } from '../src/ide/launch_rules.js';
import { LineSplitter, matchRange, parseSearchLine } from '../src/ide/search_results.js';
import { DEFAULTS, normalize } from '../src/ide/settings_model.js';
import { childAddress, parentDir, rawAncestors } from '../src/ide/paths.js';

test('texts fall back to English, then to the key, and fill in their parameters', () => {
  const t = translator('zh', { en: { hello: 'Hello {name}', only: 'English only' }, zh: { hello: '你好 {name}' } });
  assert.equal(t('hello', { name: 'A' }), '你好 A');
  assert.equal(t('only'), 'English only');
  assert.equal(t('missing'), 'missing');
  assert.equal(t('hello'), '你好 {name}', 'no parameters: the text as it is');
  assert.equal(pickLanguage(['zh-TW', 'en']), 'zh');
  assert.equal(pickLanguage(['en-GB', 'zh']), 'en');
  assert.equal(pickLanguage([]), 'en');
});

test('Run is offered exactly where the run module says it would run the file', () => {
  const rules = { extensions: ['.py', '.js', '.c'], executable: true };
  assert.equal(extensionOf('a.tar.PY'), '.py');
  assert.equal(extensionOf('.bashrc'), '');
  assert.ok(canRun({ name: 'main.PY' }, rules));
  assert.ok(!canRun({ name: 'notes.txt' }, rules));
  assert.ok(!canRun({ name: 'index.html' }, rules));
  assert.ok(!canRun({ name: '.py' }, rules), 'a leading dot is a hidden name, not an extension');
  assert.ok(canRun({ name: 'build', executable: true }, rules));
  assert.ok(!canRun({ name: 'build', executable: true }, { ...rules, executable: false }));
  assert.ok(!canRun({ name: 'x.py', raw: 'eA' }, rules), 'a name that is not UTF-8 cannot be run');
  assert.ok(!canRun({ name: 'x.py' }, null), 'nothing is offered before the rules are known');
});

test('streamed search results are parsed whatever the chunk boundaries', () => {
  const lines = [];
  const splitter = new LineSplitter((line) => lines.push(parseSearchLine(line)));
  const answer = '{"path":"a.py","line":3,"col":5,"text":"x = \\"ü\\""}\n\n{"path":"b/c.js","li'
    + 'ne":10,"col":1,"text":"y"}\nnot json\n{"path":"d","line":0}\n{"done":true,"truncated":true,"files":7,"matches":2}';
  for (let i = 0; i < answer.length; i += 7) splitter.push(answer.slice(i, i + 7));
  splitter.end();
  assert.deepEqual(lines, [
    { kind: 'match', path: 'a.py', line: 3, col: 5, text: 'x = "ü"' },
    { kind: 'match', path: 'b/c.js', line: 10, col: 1, text: 'y' },
    null,
    null,
    { kind: 'done', truncated: true, files: 7, matches: 2 },
  ]);
  assert.deepEqual(matchRange('  Print(x)', 'print', 3), [2, 7]);
  assert.deepEqual(matchRange('a print', 'PRINT', 99), [2, 7], 'a wrong column falls back to a search');
  assert.equal(matchRange('abc', 'z', 1), null);
});

test('settings from the server are read safely, with defaults for what is missing or wrong', () => {
  assert.deepEqual(normalize(null), { ...DEFAULTS });
  const read = normalize({ editorFontSize: 20, theme: 'purple', tabSize: '4', wordWrap: false,
    editorKeys: ['redo', 'tab', 'bogus', 'tab'], terminalKeys: [] });
  assert.equal(read.editorFontSize, 20);
  assert.equal(read.theme, 'system');
  assert.equal(read.tabSize, DEFAULTS.tabSize, 'a string is not a tab size');
  assert.equal(read.wordWrap, false);
  assert.deepEqual(read.editorKeys, ['tab', 'redo'], 'known keys only, once each, in the usual order');
  assert.deepEqual(read.terminalKeys, [], 'a row may be turned off');
});

test('names that are not UTF-8 keep their bytes on the way to the API', () => {
  // "d\xff/f.txt" as base64url
  const raw = Buffer.from([0x64, 0xff, 0x2f, 0x66, 0x2e, 0x74, 0x78, 0x74]).toString('base64url');
  const [folder, file] = rawAncestors(raw);
  assert.equal(folder.raw, Buffer.from([0x64, 0xff]).toString('base64url'));
  assert.equal(file.path, 'd\ufffd/f.txt');
  assert.deepEqual(parentDir({ path: 'd\ufffd/f.txt', raw }), folder);
  const inside = childAddress(folder, 'g.txt', 'to');
  assert.equal(Buffer.from(inside.to_raw, 'base64url').toString('latin1'), 'd\xff/g.txt');
  assert.deepEqual(childAddress({ path: 'a', raw: null }, 'b', 'path'), { path: 'a/b' });
});
