// Source control on a phone (390×844, touch): a repository cloned over
// file:// through the page, a line edited in the editor shows in the
// gutter, its diff shows the new line, and staging, committing and pushing
// through the page put the commit in the remote.
//
// Usage: node git_test.mjs <quillo binary> <screenshot directory>
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {
  PHONE, assertButtonsUsable, assertNoHorizontalScroll, launchChromium, runInFreshWorkspace, trackedPage, waitFor,
} from './harness.mjs';

const [binary, screenshotDir] = process.argv.slice(2);
if (!binary || !screenshotDir) {
  console.error('usage: node git_test.mjs <quillo binary> <screenshot directory>');
  process.exit(2);
}
const PASSWORD = 'correct horse 42';
const MESSAGE = 'Say hello to the whole world';

// git for the test's own set-up, never reading the user's configuration.
function gitIn(dir, config, ...args) {
  return execFileSync('git', args, {
    cwd: dir,
    encoding: 'utf8',
    stdio: ['ignore', 'pipe', 'pipe'],
    env: { ...process.env, GIT_CONFIG_GLOBAL: config, GIT_CONFIG_NOSYSTEM: '1', HOME: path.dirname(config) },
  }).trim();
}

// A bare repository whose one commit holds hello.txt.
function makeRemote(root) {
  const config = path.join(root, 'gitconfig');
  fs.writeFileSync(config, '[user]\n\tname = Test Author\n\temail = author@example.com\n[init]\n\tdefaultBranch = main\n');
  const bare = path.join(root, 'remote.git');
  const seed = path.join(root, 'seed');
  fs.mkdirSync(seed);
  gitIn(root, config, 'init', '--bare', bare);
  gitIn(seed, config, 'init');
  fs.writeFileSync(path.join(seed, 'hello.txt'), 'line one\nhello, world\nline three\n');
  gitIn(seed, config, 'add', 'hello.txt');
  gitIn(seed, config, 'commit', '-m', 'First');
  gitIn(seed, config, 'push', bare, 'HEAD:refs/heads/main');
  return { bare, config };
}

const jobText = (page) => page.locator('.git-job .stream-text').textContent();

// Waits for the job shown to end; fails with its words when it did not
// end as `expected`.
async function jobEnds(page, expected) {
  const stateOf = () => page.locator('.git-job').getAttribute('data-state');
  await waitFor(async () => !['starting', 'running', null].includes(await stateOf()), 'the job to end', 30000);
  assert.equal(await stateOf(), expected, `the job ended saying: ${await jobText(page)}`);
}

async function run(base, workspace, remote) {
  const browser = await launchChromium();
  try {
    const { page, errors } = await trackedPage(await browser.newContext(PHONE));
    await page.goto(`${base}/`);
    await page.fill('#setup-password', PASSWORD);
    await page.fill('#setup-confirm', PASSWORD);
    await page.click('#setup-form button[type=submit]');
    await page.locator('#ide').waitFor();
    await assertNoHorizontalScroll(page);
    // The page sets git's name and email itself when git asks (below).
    const identity = await page.evaluate(() => fetch('/api/git/identity').then((answer) => answer.json()));
    assert.deepEqual(identity, { name: '', email: '' }, 'git found a name and email outside the test\'s home');

    console.log('the workspace is in no repository: Source control offers Clone');
    await page.getByRole('button', { name: 'Source control' }).tap();
    const view = page.locator('.git-view');
    await view.getByRole('button', { name: 'Clone' }).waitFor();
    assert.ok(await view.getByRole('button', { name: 'Make a repository here' }).isVisible());
    await page.screenshot({ path: path.join(screenshotDir, 'git-no-repo.png') });

    console.log('clone over file://, the folder named after the repository');
    await view.getByRole('button', { name: 'Clone' }).tap();
    const url = page.getByLabel('Address of the repository');
    await url.fill('ftp://example.com/x.git');
    await page.locator('#ide-dialog').getByRole('button', { name: 'Clone' }).tap();
    await page.locator('#ide-dialog .form-error').filter({ hasText: 'https://' }).waitFor();
    await url.fill(`file://${remote.bare}`);
    assert.equal(await page.locator('#git-clone-dir').inputValue(), 'remote');
    await page.screenshot({ path: path.join(screenshotDir, 'git-clone.png') });
    await page.locator('#ide-dialog').getByRole('button', { name: 'Clone' }).tap();
    await jobEnds(page, 'done');
    assert.ok(fs.existsSync(path.join(workspace, 'remote', 'hello.txt')), 'the clone has no hello.txt');
    await view.locator('.git-branch').filter({ hasText: 'main' }).waitFor();
    assert.match(await view.locator('.git-upstream').textContent(), /origin\/main/);
    assert.equal(await view.locator('.git-file').count(), 0, 'a fresh clone shows changes');
    await assertNoHorizontalScroll(page);
    await assertButtonsUsable(page);
    await page.screenshot({ path: path.join(screenshotDir, 'git-cloned.png') });

    console.log('the file edited in the editor: a change mark in the gutter');
    // The Files view went to the new folder.
    await view.getByRole('button', { name: 'Close source control' }).tap();
    await page.locator('.entry[data-name="hello.txt"] .entry-open').tap();
    const content = page.locator('.cm-content');
    await content.waitFor();
    await page.locator('.cm-git-gutter').waitFor();
    assert.equal(await page.locator('.cm-git-gutter .cm-git-mark').count(), 0, 'marks on a file as committed');
    await page.locator('.cm-line', { hasText: 'hello, world' }).click();
    await page.keyboard.press('End');
    await page.keyboard.type(' and everyone in it');
    await waitFor(() => page.locator('.cm-git-gutter .cm-git-changed').count(), 'a changed-line mark');
    assert.equal(await page.locator('.cm-git-gutter .cm-git-mark').count(), 1, 'one line changed, one mark');
    await page.screenshot({ path: path.join(screenshotDir, 'git-gutter.png') });
    await page.getByRole('button', { name: 'Save', exact: true }).tap();
    await waitFor(async () => fs.readFileSync(path.join(workspace, 'remote', 'hello.txt'), 'utf8').includes('everyone'), 'the save');

    console.log('the diff from the Source control view shows the changed line');
    await page.locator('.editor-back').tap();
    await page.locator('#menu-button').tap();
    await page.locator('#ide-dialog').getByRole('button', { name: 'Source control' }).tap();
    const row = view.locator('.git-file[data-path="hello.txt"][data-group="changed"]');
    await row.waitFor();
    await row.locator('.git-file-open').tap();
    const diff = view.locator('.git-diff');
    await diff.locator('.cm-changedLine', { hasText: 'hello, world and everyone in it' }).waitFor();
    assert.ok(await diff.locator('.cm-deletedChunk', { hasText: 'hello, world' }).count(), 'the old line is not shown as removed');
    await assertNoHorizontalScroll(page);
    await page.screenshot({ path: path.join(screenshotDir, 'git-diff.png') });
    await diff.getByRole('button', { name: 'Back to the changes' }).tap();

    console.log('stage, commit (git asks for a name and email first), push');
    await row.getByRole('button', { name: 'Stage hello.txt' }).tap();
    await view.locator('.git-file[data-path="hello.txt"][data-group="staged"]').waitFor();
    assert.equal(await view.locator('.git-file[data-group="changed"]').count(), 0);
    const message = view.getByLabel('Commit message');
    assert.equal(await message.evaluate((box) => getComputedStyle(box).fontSize), '16px');
    await message.fill(MESSAGE);
    await view.getByRole('button', { name: 'Commit', exact: true }).tap();
    const identityField = page.locator('#git-identity-name');
    await waitFor(async () => (await identityField.isVisible()) || view.locator('.git-clean').isVisible(),
      'the question for a name and email, or the commit');
    assert.ok(await identityField.isVisible(), 'git committed without a name and email of the user\'s');
    await page.locator('#git-identity-name').fill('Page Author');
    await page.locator('#git-identity-email').fill('page@example.com');
    await page.locator('#ide-dialog').getByRole('button', { name: 'Save' }).tap();
    await view.locator('.git-clean').waitFor();
    await waitFor(async () => /↑1/.test(await view.locator('.git-upstream').textContent()), 'one commit to push');
    await page.screenshot({ path: path.join(screenshotDir, 'git-committed.png') });
    await view.getByRole('button', { name: 'Push' }).tap();
    await jobEnds(page, 'done');
    await page.screenshot({ path: path.join(screenshotDir, 'git-pushed.png') });
    assert.equal(gitIn(os.tmpdir(), remote.config, `--git-dir=${remote.bare}`, 'log', '-1', '--format=%s'), MESSAGE);
    assert.equal(gitIn(os.tmpdir(), remote.config, `--git-dir=${remote.bare}`, 'log', '-1', '--format=%an <%ae>'),
      'Page Author <page@example.com>');
    await waitFor(async () => !/↑/.test(await view.locator('.git-upstream').textContent()), 'nothing left to push');

    console.log('the history lists the commit');
    await view.getByRole('button', { name: 'History' }).tap();
    const commits = page.locator('#ide-dialog .git-commit-subject');
    await commits.first().waitFor();
    assert.deepEqual(await commits.allTextContents(), [MESSAGE, 'First']);
    await assertButtonsUsable(page);
    assert.deepEqual(errors, []);
  } finally {
    await browser.close();
  }
}

const root = fs.mkdtempSync(path.join(os.tmpdir(), 'quillo-git-remote-'));
try {
  const remote = makeRemote(root);
  await runInFreshWorkspace(binary, screenshotDir, 'quillo-git-', (base, workspace) => run(base, workspace, remote));
} finally {
  fs.rmSync(root, { recursive: true, force: true });
}
