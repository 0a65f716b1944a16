// What the Source control view shows, worked out from the git module's
// answers: pure functions, no page.

// The groups of the status list, in the order shown.
export const GROUPS = ['staged', 'changed', 'untracked', 'conflicted'];

// The status's files as [{group, files}], non-empty groups only, each
// sorted by path (by code point, so the order is the same everywhere).
export function groupFiles(files) {
  const byGroup = new Map(GROUPS.map((group) => [group, []]));
  for (const file of files || []) {
    if (byGroup.has(file.group)) byGroup.get(file.group).push(file);
  }
  return GROUPS.filter((group) => byGroup.get(group).length).map((group) => ({
    group,
    files: byGroup.get(group).sort((a, b) => (a.path < b.path ? -1 : (a.path > b.path ? 1 : 0))),
  }));
}

// "↑1 ↓2": commits to push and to pull; '' when in step with the upstream.
export function aheadBehind(ahead, behind) {
  const parts = [];
  if (ahead > 0) parts.push(`↑${ahead}`);
  if (behind > 0) parts.push(`↓${behind}`);
  return parts.join(' ');
}

// git's own one-letter marks, the same in every language.
const CHANGE_LETTERS = {
  modified: 'M', added: 'A', deleted: 'D', renamed: 'R', copied: 'C', typechange: 'T', untracked: 'U', conflict: '!',
};
export const changeLetter = (change) => CHANGE_LETTERS[change] || '?';

// Where a file of the repository is in the workspace.
export const workspacePath = (repo, path) => (repo ? `${repo}/${path}` : path);

// https://, http://, ssh:// and file:// addresses with something after the
// scheme, and scp-like user@host:path (what git itself accepts as ssh).
const URL_SCHEMES = /^(https?|ssh|file):\/\/\S+$/i;
const SCP_LIKE = /^[^\s@/:]+@[^\s/:]+:\S+$/;

export function validCloneUrl(url) {
  const text = (url || '').trim();
  if (URL_SCHEMES.test(text)) {
    const rest = text.replace(/^[a-z]+:\/\//i, '');
    return /[^/]/.test(rest);
  }
  return SCP_LIKE.test(text);
}

// The folder a clone goes to by default: the repository's own name, as
// git names it ("proj" for git@host:me/proj.git or https://host/proj/).
export function cloneFolderName(url) {
  if (!validCloneUrl(url)) return '';
  let text = url.trim().replace(/[?#].*$/, '').replace(/\/+$/, '');
  text = text.replace(/\.git$/i, '').replace(/\/+$/, '');
  const last = text.split(/[/:]/).pop();
  return last && last !== '.' && last !== '..' && !/@/.test(last) ? last : '';
}

// The page's own text for a finished job's reason and for the reasons of
// refused changes; null: show the server's words.
const REASON_KEYS = {
  rejected: 'gitRejected',
  conflict: 'gitConflict',
  auth: 'gitAuth',
  refused_token: 'gitRefusedToken',
  host_key: 'gitHostKey',
  no_upstream: 'gitNoUpstream',
  not_found: 'gitNotFound',
  network: 'gitNetwork',
  timeout: 'gitTimeout',
  cancelled: 'gitCancelled',
  busy: 'gitBusy',
  url: 'gitBadUrl',
  nothing: 'gitNothing',
  message: 'gitNoMessage',
  name: 'gitBadBranchName',
};

export const reasonKey = (reason) => (Object.hasOwn(REASON_KEYS, reason || '') ? REASON_KEYS[reason] : null);

// A job is followed while git works or waits for an answer.
export const jobRunning = (job) => job.state === 'running' || job.state === 'asking';
