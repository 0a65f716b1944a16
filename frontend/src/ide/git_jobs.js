// Clone, pull, push and fetch run on the server as jobs: the view follows
// one with its progress line and a Cancel button, answers git's question
// for a username and token, and says in plain words how it ended.
import { problem, request } from '../api.js';
import { t } from '../i18n/index.js';
import { el } from './dom.js';
import { cloneFolderName, jobRunning, reasonKey, validCloneUrl } from './git_model.js';
import { afterFilesChanged, git, gitProblem, loadStatus } from './git_view.js';
import { joinPath } from './paths.js';
import { cancelButton, openSheet, sheetButton, toast } from './sheet.js';
import { dom } from './state.js';

// How often a running job is asked for news.
const POLL_MS = 300;

let following = null;

export function stopFollowing() {
  if (!following) return;
  following.stopped = true;
  clearTimeout(following.timer);
  following = null;
}

// Pull, push or fetch the view's repository.
export async function startJob(kind) {
  if (git.repo === null) return;
  // The line says at once that the tap was taken (and no longer shows how
  // the last job ended).
  stopFollowing();
  dom.gitJob.node.dataset.state = 'starting';
  dom.gitJob.set(t(`gitWorking_${kind}`));
  const answer = await request(`/api/git/${kind}`, { repo: git.repo });
  // One is still running (the view was closed while it ran): follow that one.
  if (answer.status === 409 && answer.body && answer.body.reason === 'busy' && answer.body.job) {
    followJob(answer.body.job, answer.body.kind || kind, () => loadStatus());
    return;
  }
  if (answer.status !== 202 && answer.status !== 200) {
    showEnd(null, 'failed', gitProblem(answer));
    return;
  }
  followJob(answer.body.job, kind, () => {
    loadStatus();
    if (kind === 'pull') afterFilesChanged();
  });
}

// Follows job `id` until it ends, then calls `onEnd(job)`.
export function followJob(id, kind, onEnd) {
  stopFollowing();
  const job = { id, kind, since: 0, timer: null, stopped: false, answering: false, onEnd };
  following = job;
  showRunning(job, '');
  poll(job);
}

function showRunning(job, progress) {
  dom.gitJob.node.dataset.state = 'running';
  dom.gitJob.set(progress || t(`gitWorking_${job.kind}`), { label: t('gitCancelJob'), run: () => cancelJob(job) });
}

async function poll(job) {
  const answer = await request(`/api/git/jobs/${encodeURIComponent(job.id)}?since=${job.since}`);
  if (job.stopped) return;
  if (answer.status !== 200) {
    showEnd(job, 'failed', problem(answer));
    return;
  }
  const body = answer.body;
  if (typeof body.next === 'number') job.since = body.next;
  if (!jobRunning(body)) {
    finish(job, body);
    return;
  }
  showRunning(job, body.progress);
  if (body.state === 'asking' && body.ask && !job.answering) {
    job.answering = true;
    await askCredentials(job, body.ask);
    job.answering = false;
    if (job.stopped) return;
  }
  job.timer = setTimeout(() => poll(job), POLL_MS);
}

async function cancelJob(job) {
  const answer = await request(`/api/git/jobs/${encodeURIComponent(job.id)}/cancel`, {});
  if (answer.status !== 200) toast(problem(answer));
}

// What the end of a job means for the user: the page's own words for a
// known reason, else the server's.
export function endText(body) {
  if (body.state === 'done') return t(`gitDone_${body.kind}`);
  const key = reasonKey(body.reason);
  if (key) return t(key, { files: (body.conflicts || []).join(', ') });
  return body.message || t('gitFailed');
}

function finish(job, body) {
  following = null;
  showEnd(job, body.state, endText(body));
  job.onEnd(body);
}

function showEnd(job, stateName, text) {
  if (following === job) following = null;
  dom.gitJob.node.dataset.state = stateName;
  dom.gitJob.set(text, { label: t('gitDismiss'), run: () => dom.gitJob.set('') });
}

// git asks for a username and a token (a password) for `ask.host`.
async function askCredentials(job, ask) {
  const username = el('input#git-ask-user', {
    type: 'text', value: ask.username || '', autocomplete: 'username', autocapitalize: 'off', spellcheck: 'false',
  });
  const token = el('input#git-ask-token', { type: 'password', autocomplete: 'current-password' });
  const save = el('input#git-ask-save', { type: 'checkbox', checked: true });
  const label = el('input#git-ask-name', { type: 'text', value: ask.host, autocomplete: 'off' });
  const shown = openSheet(t('gitAskTitle', { host: ask.host }), [
    el('h2', { text: t('gitAskTitle', { host: ask.host }) }),
    ask.refused ? el('p.form-error', { role: 'alert', text: t('gitAskRefused') }) : null,
    el('label', { for: 'git-ask-user', text: t('gitUsername') }), username,
    el('label', { for: 'git-ask-token', text: t('gitToken') }), token,
    el('label.git-check', { for: 'git-ask-save' }, save, el('span', { text: t('gitSaveToken') })),
    el('label', { for: 'git-ask-name', text: t('gitTokenName') }), label,
    el('div.sheet-actions.row', {}, sheetButton('ok', t('gitSend'), '.primary'), cancelButton()),
  ]);
  (ask.username ? token : username).focus();
  const ok = (await shown) === 'ok';
  const answer = await request(`/api/git/jobs/${encodeURIComponent(job.id)}/answer`, ok
    ? { username: username.value.trim(), token: token.value, save: save.checked, name: label.value.trim() || ask.host }
    : { decline: true });
  if (answer.status !== 200 && !job.stopped) toast(problem(answer));
}

// Clone a repository into a new folder inside `parent`.
export async function cloneSheet(parent) {
  const url = el('input#git-clone-url', {
    type: 'url', inputmode: 'url', autocapitalize: 'off', autocomplete: 'off', spellcheck: 'false',
    placeholder: 'https://example.com/me/project.git', enterkeyhint: 'next',
  });
  const folder = el('input#git-clone-dir', { type: 'text', autocapitalize: 'off', autocomplete: 'off', spellcheck: 'false', enterkeyhint: 'go' });
  const error = el('p.form-error', { role: 'alert', hidden: true });
  let named = false;
  folder.addEventListener('input', () => { named = folder.value.trim() !== ''; });
  url.addEventListener('input', () => {
    if (!named) folder.value = cloneFolderName(url.value);
  });
  const showError = (text) => {
    error.textContent = text;
    error.hidden = !text;
  };
  let started = null;
  const shown = openSheet(t('gitClone'), [
    el('h2', { text: t('gitClone') }),
    el('label', { for: 'git-clone-url', text: t('gitCloneUrl') }), url,
    el('label', { for: 'git-clone-dir', text: t('gitCloneDir', { parent: parent || t('workspace') }) }), folder,
    error,
    el('div.sheet-actions.row', {}, sheetButton('ok', t('gitClone'), '.primary'), cancelButton()),
  ], async (event) => {
    if (event.submitter && event.submitter.value !== 'ok') return;
    event.preventDefault();
    const name = folder.value.trim();
    if (!validCloneUrl(url.value)) return showError(t('gitBadUrl'));
    if (!name || name === '.' || name === '..' || name.includes('/')) return showError(t('badName'));
    const dir = joinPath(parent, name);
    const answer = await request('/api/git/clone', { url: url.value.trim(), dir });
    if (answer.status !== 202 && answer.status !== 200) return showError(gitProblem(answer));
    started = { job: answer.body.job, dir };
    dom.dialog.close('ok');
    return undefined;
  });
  url.focus();
  await shown;
  if (!started) return;
  const { job, dir } = started;
  followJob(job, 'clone', (body) => {
    if (body.state !== 'done') return;
    git.path = dir;
    git.folderOnLeave = dir;
    loadStatus();
  });
}
