// The Source control view: the repository of the open file (else of the
// folder shown, else of the workspace), its changed files in groups, staging,
// discarding, committing, the diff of a file, and the network operations
// (git_jobs.js) and the sheets for branches, history and credentials
// (git_sheets.js).
import { problem, request } from '../api.js';
import { t } from '../i18n/index.js';
import { el, icon, iconButton, statusLine } from './dom.js';
import { navigate, reload } from './files.js';
import { aheadBehind, changeLetter, groupFiles, reasonKey, workspacePath } from './git_model.js';
import { cloneSheet, startJob, stopFollowing } from './git_jobs.js';
import { branchesSheet, credentialsSheet, historySheet } from './git_sheets.js';
import { baseName, parentOf, query } from './paths.js';
import { cancelButton, choose, openSheet, sheetButton, toast } from './sheet.js';
import { dom, isNarrow, state, touchScreen } from './state.js';
import { openFile, refreshChangeBases, showDiffIn } from './tabs.js';

export const git = {
  shown: false,
  // The path asked about, and the repository it is in ('' = the workspace
  // itself; null: in none).
  path: '',
  repo: null,
  status: null,
  diff: null,
  // A folder cloned while the view was open: the Files view shows it once
  // the view's history entry is gone, on an entry of its own.
  folderOnLeave: null,
};

const GROUP_TITLES = { staged: 'gitStaged', changed: 'gitChanges', untracked: 'gitUntracked', conflicted: 'gitConflicted' };

export function buildGitView() {
  dom.gitRepo = el('span.git-repo.muted');
  dom.gitBranch = el('button.quiet.git-branch', { type: 'button', onclick: () => branchesSheet() });
  dom.gitUpstream = el('span.git-upstream.muted');
  dom.gitActions = el('div.git-actions', { role: 'group', 'aria-label': t('gitRemote') },
    el('button.quiet.git-pull', { type: 'button', text: t('gitPull'), onclick: () => startJob('pull') }),
    el('button.quiet.git-push', { type: 'button', text: t('gitPush'), onclick: () => startJob('push') }),
    el('button.quiet.git-fetch', { type: 'button', text: t('gitFetch'), onclick: () => startJob('fetch') }),
    el('button.quiet.git-history', { type: 'button', text: t('gitHistory'), onclick: () => historySheet() }));
  dom.gitJob = statusLine('git-job');
  dom.gitJob.set('');
  dom.gitList = el('div.git-list');
  dom.gitMessageBox = el('p.git-message.muted', { role: 'status', hidden: true });
  dom.gitDiffTitle = el('h3.git-diff-title');
  dom.gitDiffHost = el('div.git-diff-host');
  dom.gitDiff = el('section.git-diff', { hidden: true, 'aria-labelledby': 'git-diff-title' },
    el('div.git-diff-head', {}, iconButton('back', t('gitBackToChanges'), () => closeDiff(), 'git-diff-back'), dom.gitDiffTitle),
    dom.gitDiffHost);
  dom.gitDiffTitle.id = 'git-diff-title';

  dom.gitCommitText = el('textarea.git-commit-text#git-commit-text', {
    rows: '2', placeholder: t('gitMessagePlaceholder'), autocapitalize: 'sentences', enterkeyhint: 'enter',
  });
  dom.gitCommitButton = el('button.primary.git-commit-button', { type: 'submit', text: t('gitCommit') });
  dom.gitCommit = el('form.git-commit', {},
    el('label.visually-hidden', { for: 'git-commit-text', text: t('gitMessage') }),
    dom.gitCommitText, dom.gitCommitButton);
  dom.gitCommit.addEventListener('submit', (event) => {
    event.preventDefault();
    commit();
  });
  // Ctrl+Enter in the message commits, as in most editors.
  dom.gitCommitText.addEventListener('keydown', (event) => {
    if (event.key === 'Enter' && (event.ctrlKey || event.metaKey)) {
      event.preventDefault();
      commit();
    }
  });

  dom.gitSummary = el('div.git-summary', {}, dom.gitBranch, dom.gitUpstream);
  dom.gitView = el('section.git-view', { 'aria-label': t('gitSourceControl'), hidden: true },
    el('div.git-head', {},
      iconButton('close', t('gitClose'), () => closeGitView(), 'git-close'),
      el('h2.git-title', {}, el('span', { text: t('gitSourceControl') }), dom.gitRepo),
      iconButton('reload', t('refresh'), () => loadStatus(), 'git-refresh'),
      iconButton('key', t('gitCredentials'), () => credentialsSheet(), 'git-keys')),
    el('div.git-main', {},
      el('div.git-side', {}, dom.gitSummary, dom.gitActions, dom.gitJob.node, dom.gitMessageBox, dom.gitList, dom.gitCommit),
      dom.gitDiff));
  // Escape leaves the diff, then the view (a sheet open handles its own).
  dom.gitView.addEventListener('keydown', (event) => {
    if (event.key !== 'Escape' || event.defaultPrevented) return;
    event.preventDefault();
    if (!dom.gitDiff.hidden) closeDiff();
    else closeGitView();
  });
  return dom.gitView;
}

// The path the view is about: the open file, else the folder shown.
function currentPath() {
  const tab = state.active;
  if (tab && !tab.entry.raw) return tab.entry.path;
  return state.dir.raw ? '' : state.dir.path;
}

// Opens the view as a history entry of its own: the device's Back closes it.
export function openGitView(path = currentPath()) {
  git.path = path;
  if (!git.shown) {
    history.pushState({ ...(history.state || {}), git: true }, '');
    showGitView();
  } else {
    loadStatus();
  }
}

export function closeGitView() {
  leaveThen(() => {});
}

// Closes the view, then does `action` once the page's history is back on
// the entry below the view's (a new entry pushed sooner would be lost).
function leaveThen(action) {
  if (history.state && history.state.git) {
    window.addEventListener('popstate', () => setTimeout(action, 0), { once: true });
    history.back();
  } else {
    hideGitView();
    action();
  }
}

export function showGitView() {
  git.shown = true;
  dom.ide.classList.add('git-open');
  dom.gitView.hidden = false;
  if (dom.dialog.open) dom.dialog.close('');
  closeDiff();
  loadStatus();
  // On a phone the focus would bring up the keyboard unasked.
  if (!touchScreen()) dom.gitView.querySelector('.git-close').focus();
}

export function hideGitView() {
  git.shown = false;
  dom.ide.classList.remove('git-open');
  dom.gitView.hidden = true;
  stopFollowing();
  closeDiff();
  if (git.folderOnLeave !== null) {
    navigate({ path: git.folderOnLeave, raw: null });
    git.folderOnLeave = null;
  }
}

function showViewMessage(text) {
  dom.gitMessageBox.textContent = text || '';
  dom.gitMessageBox.hidden = !text;
}

// The page's words for a refused change, else the server's.
export function gitProblem(answer, params) {
  const key = reasonKey(answer.body && answer.body.reason);
  return key ? t(key, params) : problem(answer);
}

export async function loadStatus() {
  const path = git.path;
  const answer = await request(`/api/git/status?path=${encodeURIComponent(path)}`);
  if (!git.shown || path !== git.path) return;
  if (answer.status !== 200) {
    showViewMessage(problem(answer));
    return;
  }
  showStatus(answer.body);
}

// Every change answers the fresh status: shown as it comes.
export function showStatus(status) {
  git.status = status;
  git.repo = status.repo;
  showViewMessage('');
  const inRepo = status.repo !== null && status.repo !== undefined;
  dom.gitView.classList.toggle('no-repo', !inRepo);
  dom.gitSummary.hidden = !inRepo;
  dom.gitActions.hidden = !inRepo;
  dom.gitCommit.hidden = !inRepo;
  if (!inRepo) {
    dom.gitRepo.textContent = '';
    showNoRepository();
    return;
  }
  dom.gitRepo.textContent = status.repo || t('workspace');
  const branch = status.branch || (status.head ? t('gitDetached', { head: status.head }) : t('gitNoBranch'));
  dom.gitBranch.textContent = '';
  dom.gitBranch.append(icon('branch'), el('span', { text: branch }));
  dom.gitBranch.setAttribute('aria-label', t('gitBranchLabel', { branch }));
  const counts = aheadBehind(status.ahead, status.behind);
  dom.gitUpstream.textContent = status.upstream ? [status.upstream, counts].filter(Boolean).join(' ') : t('gitNoUpstreamShort');
  dom.gitUpstream.title = status.upstream ? t('gitAheadBehind', { ahead: status.ahead, behind: status.behind }) : '';
  renderGroups(status);
}

function showNoRepository() {
  const folder = state.active && state.active.entry.path === git.path ? parentOf(git.path) : git.path;
  dom.gitList.replaceChildren(el('div.git-empty', {},
    el('p', { text: t('gitNoRepo', { folder: folder || t('workspace') }) }),
    el('button.primary.git-clone', { type: 'button', text: t('gitClone'), onclick: () => cloneSheet(folder) }),
    el('button.quiet.git-init', { type: 'button', text: t('gitInit'), onclick: () => initHere(folder) })));
}

async function initHere(folder) {
  const answer = await request('/api/git/init', { path: folder });
  if (answer.status !== 200) {
    toast(gitProblem(answer));
    return;
  }
  git.path = folder;
  showStatus(answer.body);
}

function renderGroups(status) {
  const groups = groupFiles(status.files);
  if (!groups.length) {
    dom.gitList.replaceChildren(el('p.git-clean.muted', { text: status.merging ? t('gitMergeReady') : t('gitClean') }));
    return;
  }
  dom.gitList.replaceChildren(...groups.map(({ group, files }) => {
    const headingId = `git-group-${group}`;
    const all = group === 'staged'
      ? el('button.quiet.git-unstage-all', { type: 'button', text: t('gitUnstageAll'), onclick: () => change('unstage', { all: true }) })
      : (group === 'conflicted' ? null
        : el('button.quiet.git-stage-all', { type: 'button', text: t('gitStageAll'), onclick: () => change('stage', { all: true }) }));
    return el(`section.git-group.git-group-${group}`, { 'aria-labelledby': headingId },
      el('div.git-group-head', {},
        el(`h3#${headingId}`, { text: `${t(GROUP_TITLES[group])} (${files.length})` }), all),
      el('ul.git-files', {}, ...files.map((file) => fileRow(file))));
  }));
}

function fileRow(file) {
  const name = baseName(file.path);
  const folder = parentOf(file.path);
  const kind = t(`gitChange_${file.change}`);
  const from = file.from ? ` ← ${file.from}` : '';
  const open = el('button.git-file-open', {
    type: 'button',
    'aria-label': t('gitFileLabel', { path: file.path, kind }),
    onclick: () => (file.group === 'conflicted' ? openConflicted(file) : openDiff(file)),
  },
  el('span.git-kind', { 'data-change': file.change, 'aria-hidden': 'true', text: changeLetter(file.change) }),
  el('span.git-file-text', {},
    el('span.git-file-name', { text: name }),
    el('span.git-file-meta', { text: [kind, folder, from].filter(Boolean).join(' · ') })));
  const actions = [];
  if (file.group === 'staged') {
    actions.push(textButton('−', t('gitUnstageFile', { name }), 'git-unstage', () => change('unstage', { paths: [file.path] })));
  } else if (file.group === 'conflicted') {
    actions.push(el('button.quiet.git-resolve', {
      type: 'button', 'aria-label': t('gitResolveFile', { name }), text: t('gitResolve'), onclick: () => resolve(file),
    }));
  } else {
    actions.push(iconButton('undo', t('gitDiscardFile', { name }), () => discard(file), 'git-discard'));
    actions.push(textButton('+', t('gitStageFile', { name }), 'git-stage', () => change('stage', { paths: [file.path] })));
  }
  return el('li.git-file', { 'data-path': file.path, 'data-group': file.group }, open, ...actions);
}

const textButton = (text, label, className, onclick) => el(`button.icon-button.git-sign.${className}`, {
  type: 'button', 'aria-label': label, title: label, onclick,
}, el('span', { 'aria-hidden': 'true', text }));

// Stage or unstage: `what` is {paths} or {all: true}.
async function change(action, what) {
  const answer = await request(`/api/git/${action}`, { repo: git.repo, ...what });
  if (answer.status !== 200) {
    toast(gitProblem(answer));
    return;
  }
  showStatus(answer.body);
}

// Discarding moves the file as it is now to the Trash, then brings back
// the version git has (a new file has none: the move is all).
async function discard(file) {
  const name = baseName(file.path);
  const sure = await choose(t('gitDiscardTitle'), t('gitDiscardText', { name }), [['discard', t('gitDiscard'), 'danger']]);
  if (sure !== 'discard') return;
  const path = workspacePath(git.repo, file.path);
  const gone = await request(`/api/files/delete?${query({ path })}`, undefined, 'DELETE');
  if (gone.status !== 200 && !(gone.status === 404 && file.change === 'deleted')) {
    toast(problem(gone));
    return;
  }
  if (file.group !== 'untracked') {
    const answer = await request('/api/git/restore', { repo: git.repo, path: file.path });
    if (answer.status !== 200) {
      toast(gitProblem(answer));
      loadStatus();
      return;
    }
    showStatus(answer.body);
  } else {
    loadStatus();
  }
  afterFilesChanged();
}

async function resolve(file, force = false) {
  const answer = await request('/api/git/resolve', { repo: git.repo, path: file.path, force });
  if (answer.status === 409 && answer.body.reason === 'markers' && !force) {
    const sure = await choose(t('gitResolve'), t('gitStillMarkers', { name: baseName(file.path) }), [['force', t('gitResolveAnyway'), 'danger']]);
    if (sure === 'force') resolve(file, true);
    return;
  }
  if (answer.status !== 200) {
    toast(gitProblem(answer));
    return;
  }
  showStatus(answer.body);
}

// A conflicted file opens in the editor, where its markers show.
function openConflicted(file) {
  const path = workspacePath(git.repo, file.path);
  leaveThen(() => openFile({ path, name: baseName(path), type: 'file' }));
}

export async function commit() {
  const message = dom.gitCommitText.value.trim();
  if (!message) {
    toast(t('gitNoMessage'));
    dom.gitCommitText.focus();
    return;
  }
  dom.gitCommitButton.disabled = true;
  const answer = await request('/api/git/commit', { repo: git.repo, message });
  dom.gitCommitButton.disabled = false;
  if (answer.status === 409 && answer.body.reason === 'identity') {
    if (await askIdentity()) commit();
    return;
  }
  if (answer.status !== 200) {
    toast(gitProblem(answer));
    return;
  }
  dom.gitCommitText.value = '';
  toast(t('gitCommitted', { commit: answer.body.commit }));
  if (answer.body.status) showStatus(answer.body.status);
  else loadStatus();
  refreshChangeBases();
}

// git needs a name and an email for its commits; resolves true once set.
async function askIdentity() {
  const current = await request('/api/git/identity');
  const known = current.status === 200 ? current.body : {};
  const name = el('input#git-identity-name', { type: 'text', autocomplete: 'name', value: known.name || '', required: true });
  const email = el('input#git-identity-email', { type: 'email', autocomplete: 'email', value: known.email || '', required: true });
  const shown = openSheet(t('gitIdentity'), [
    el('h2', { text: t('gitIdentity') }),
    el('p', { text: t('gitIdentityText') }),
    el('label', { for: 'git-identity-name', text: t('gitIdentityName') }), name,
    el('label', { for: 'git-identity-email', text: t('gitIdentityEmail') }), email,
    el('div.sheet-actions.row', {}, sheetButton('ok', t('save'), '.primary'), cancelButton()),
  ]);
  name.focus();
  if ((await shown) !== 'ok') return false;
  const answer = await request('/api/git/identity', { name: name.value.trim(), email: email.value.trim() }, 'PUT');
  if (answer.status !== 200) {
    toast(gitProblem(answer));
    return false;
  }
  return true;
}

// The diff of one file: beside the list from 900px, over it on a phone.
async function openDiff(file) {
  closeDiff();
  const staged = file.group === 'staged' ? 1 : 0;
  const token = {};
  git.diff = token;
  dom.gitDiffTitle.textContent = file.path;
  dom.gitDiffHost.replaceChildren(el('p.muted.git-diff-note', { text: t('loading') }));
  dom.gitDiff.hidden = false;
  dom.gitView.classList.add('showing-diff');
  dom.gitDiff.querySelector('.git-diff-back').focus();
  const answer = await request(`/api/git/diff?repo=${encodeURIComponent(git.repo)}&path=${encodeURIComponent(file.path)}&staged=${staged}`);
  if (git.diff !== token) return;
  const note = (text) => dom.gitDiffHost.replaceChildren(el('p.git-diff-note', { text }));
  if (answer.status !== 200) {
    note(gitProblem(answer));
    return;
  }
  if (answer.body.binary || answer.body.too_large) {
    note(t(answer.body.binary ? 'gitBinary' : 'gitTooLarge'));
    return;
  }
  const box = el('div.git-diff-box');
  try {
    const shown = await showDiffIn(box, {
      before: answer.body.old ?? '', after: answer.body.new ?? '', name: baseName(file.path), sideBySide: !isNarrow(),
    });
    if (git.diff !== token) {
      shown.destroy();
      return;
    }
    token.view = shown;
    dom.gitDiffHost.replaceChildren(box);
  } catch (_) {
    note(t('editorFailed'));
  }
}

export function closeDiff() {
  if (git.diff && git.diff.view) git.diff.view.destroy();
  git.diff = null;
  if (!dom.gitDiff) return;
  const hadDiff = !dom.gitDiff.hidden;
  dom.gitDiff.hidden = true;
  dom.gitDiffHost.replaceChildren();
  dom.gitView.classList.remove('showing-diff');
  if (hadDiff && git.shown) {
    const row = dom.gitList.querySelector(`.git-file[data-path="${CSS.escape(dom.gitDiffTitle.textContent)}"] .git-file-open`);
    if (row) row.focus();
  }
}

// A pull, a switch or a discard changed files on disk.
export function afterFilesChanged() {
  refreshChangeBases();
  if (state.view === 'files') reload();
}
