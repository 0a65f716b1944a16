// The Source control view's pure logic, and that every word it may show
// exists in both languages.
import { test } from 'node:test';
import assert from 'node:assert/strict';

import en from '../src/i18n/en.js';
import zh from '../src/i18n/zh.js';
import { aheadBehind, cloneFolderName, groupFiles, reasonKey, validCloneUrl, workspacePath } from '../src/ide/git_model.js';

test('status rows are grouped in the view\'s order, sorted, empty groups left out', () => {
  const files = [
    { path: 'src/b.js', group: 'changed', change: 'modified' },
    { path: 'new.txt', group: 'untracked', change: 'untracked' },
    { path: 'src/a.js', group: 'changed', change: 'modified' },
    { path: 'src/b.js', group: 'staged', change: 'modified' },
    { path: 'Z.md', group: 'changed', change: 'deleted' },
    { path: 'odd', group: 'ignored', change: 'modified' },
  ];
  const groups = groupFiles(files);
  assert.deepEqual(groups.map((g) => g.group), ['staged', 'changed', 'untracked']);
  assert.deepEqual(groups[1].files.map((f) => f.path), ['Z.md', 'src/a.js', 'src/b.js'], 'by code point: capitals first');
  assert.equal(groups[0].files[0].path, 'src/b.js', 'a file staged and changed again shows in both groups');
  assert.deepEqual(groupFiles(undefined), []);
  assert.equal(aheadBehind(1, 2), '↑1 ↓2');
  assert.equal(aheadBehind(0, 3), '↓3');
  assert.equal(aheadBehind(0, 0), '');
  assert.equal(workspacePath('', 'a/b.txt'), 'a/b.txt');
  assert.equal(workspacePath('proj', 'a/b.txt'), 'proj/a/b.txt');
});

test('clone addresses: what git accepts, and the folder named after the repository', () => {
  for (const [url, folder] of [
    ['https://example.com/me/project.git', 'project'],
    ['http://example.com/me/project/', 'project'],
    ['ssh://git@example.com:2222/~/repos/tool.git', 'tool'],
    ['git@github.com:me/dotfiles.git', 'dotfiles'],
    ['  git@host:solo  ', 'solo'],
    ['file:///tmp/x/bare.git/', 'bare'],
  ]) {
    assert.ok(validCloneUrl(url), url);
    assert.equal(cloneFolderName(url), folder, url);
  }
  for (const url of ['', 'example.com/me/project', 'ftp://example.com/x.git', 'https://', 'file:///', '@host:path',
    'user@host', 'javascript:alert(1)', 'https://exa mple.com/x']) {
    assert.ok(!validCloneUrl(url), url);
    assert.equal(cloneFolderName(url), '', url);
  }
});

test('every job reason, change kind and job kind has its words in English and Chinese', () => {
  const reasons = ['rejected', 'conflict', 'auth', 'refused_token', 'host_key', 'no_upstream', 'not_found', 'network',
    'timeout', 'cancelled', 'busy', 'url', 'nothing', 'message', 'name'];
  const keys = reasons.map((reason) => reasonKey(reason));
  assert.ok(keys.every(Boolean), `reasons without a text: ${reasons.filter((_, i) => !keys[i])}`);
  assert.equal(new Set(keys).size, keys.length, 'two reasons share one text');
  assert.equal(reasonKey('failed'), null, 'a plain failure shows the server\'s own words');
  assert.equal(reasonKey('toString'), null);
  const changes = ['modified', 'added', 'deleted', 'renamed', 'copied', 'typechange', 'untracked', 'conflict'];
  const jobs = ['clone', 'pull', 'push', 'fetch'];
  keys.push(...changes.map((change) => `gitChange_${change}`), ...jobs.flatMap((kind) => [`gitDone_${kind}`, `gitWorking_${kind}`]));
  for (const [name, catalog] of [['en', en], ['zh', zh]]) {
    assert.deepEqual(keys.filter((key) => typeof catalog[key] !== 'string'), [], `missing in ${name}`);
  }
  assert.match(en.gitConflict, /\{files\}/);
  assert.match(zh.gitConflict, /\{files\}/);
});
