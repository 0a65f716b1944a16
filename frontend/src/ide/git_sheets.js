// The Source control view's sheets: branches, the history of the current
// branch, and the saved tokens with the SSH key.
import { problem, request } from '../api.js';
import { LOCALE, t } from '../i18n/index.js';
import { el, iconButton } from './dom.js';
import { afterFilesChanged, git, gitProblem, showStatus } from './git_view.js';
import { choose, openSheet, toast } from './sheet.js';
import { dom } from './state.js';

const closeButton = () => el('div.sheet-actions.row', {},
  el('button.sheet-item', { type: 'submit', value: '', text: t('close') }));

const repoQuery = () => `repo=${encodeURIComponent(git.repo)}`;

// Local branches (the current one marked), remote ones, and a new one.
export async function branchesSheet() {
  if (git.repo === null) return;
  const answer = await request(`/api/git/branches?${repoQuery()}`);
  if (answer.status !== 200) {
    toast(gitProblem(answer));
    return;
  }
  const { branches = [], remote = [] } = answer.body;
  const error = el('div.form-error.git-switch-error', { role: 'alert', hidden: true });
  const showError = (text, files) => {
    error.replaceChildren(el('p', { text }), files && files.length
      ? el('ul.git-error-files', {}, ...files.map((file) => el('li', { text: file }))) : null);
    error.hidden = false;
  };
  const switchTo = async (name) => {
    const result = await request('/api/git/switch', { repo: git.repo, name });
    if (result.status === 409 && result.body.reason === 'would_overwrite') {
      showError(t('gitWouldOverwrite', { name }), result.body.files);
    } else if (result.status !== 200) {
      showError(gitProblem(result));
    } else {
      dom.dialog.close('');
      showStatus(result.body);
      afterFilesChanged();
      toast(t('gitSwitched', { name }));
    }
  };
  const branchButton = (name, current) => el('button.sheet-item.git-branch-item', {
    type: 'button', 'aria-current': current ? 'true' : null,
    'aria-label': current ? t('gitCurrentBranch', { name }) : t('gitSwitchTo', { name }),
    onclick: () => !current && switchTo(name),
  }, el('span', { 'aria-hidden': 'true', text: current ? '✓ ' : '' }), el('span', { text: name }));

  const nameInput = el('input#git-new-branch', { type: 'text', autocapitalize: 'off', autocomplete: 'off', spellcheck: 'false', enterkeyhint: 'done' });
  const create = async () => {
    const name = nameInput.value.trim();
    if (!name) {
      nameInput.focus();
      return;
    }
    const result = await request('/api/git/branch', { repo: git.repo, name, switch: true });
    if (result.status !== 200) {
      showError(result.body.reason === 'exists' ? t('gitBranchExists', { name }) : gitProblem(result));
      return;
    }
    dom.dialog.close('');
    showStatus(result.body);
    toast(t('gitSwitched', { name }));
  };
  nameInput.addEventListener('keydown', (event) => {
    if (event.key === 'Enter') {
      event.preventDefault();
      create();
    }
  });
  openSheet(t('gitBranches'), [
    el('h2', { text: t('gitBranches') }),
    error,
    el('h3.sheet-subhead', { text: t('gitLocalBranches') }),
    el('div.sheet-actions.git-branch-list', {}, ...branches.map((branch) => branchButton(branch.name, branch.current))),
    remote.length ? el('h3.sheet-subhead', { text: t('gitRemoteBranches') }) : null,
    remote.length ? el('div.sheet-actions.git-branch-list', {}, ...remote.map((name) => branchButton(name, false))) : null,
    el('label', { for: 'git-new-branch', text: t('gitNewBranch') }),
    el('div.git-inline-form', {}, nameInput,
      el('button.primary.git-create-branch', { type: 'button', text: t('create'), onclick: create })),
    closeButton(),
  ]);
}

const dateFormat = new Intl.DateTimeFormat(LOCALE, { dateStyle: 'medium', timeStyle: 'short' });
const when = (iso) => {
  const date = new Date(iso);
  return Number.isNaN(date.getTime()) ? '' : dateFormat.format(date);
};

// The current branch's commits, newest first, 30 at a time; a commit
// shows the files it changed.
export async function historySheet() {
  if (git.repo === null) return;
  const list = el('ul.git-log');
  const more = el('button.quiet.git-more', { type: 'button', text: t('gitMore'), hidden: true });
  const status = el('p.muted', { role: 'status', text: t('loading') });
  const body = el('div.git-history', {}, status, list, more);
  let skip = 0;
  const loadMore = async () => {
    more.disabled = true;
    const answer = await request(`/api/git/log?${repoQuery()}&skip=${skip}&limit=30`);
    more.disabled = false;
    if (answer.status !== 200) {
      status.textContent = gitProblem(answer);
      return;
    }
    const commits = answer.body.commits || [];
    skip += commits.length;
    status.textContent = skip ? '' : t('gitNoCommits');
    status.hidden = skip > 0;
    list.append(...commits.map((entry) => el('li', {}, el('button.git-commit-row', {
      type: 'button', 'data-hash': entry.hash, onclick: () => showCommit(body, entry.hash),
    },
    el('span.git-commit-subject', { text: entry.subject }),
    el('span.git-commit-meta', { text: `${entry.short} · ${entry.author} · ${when(entry.date)}` })))));
    more.hidden = !answer.body.more;
  };
  more.addEventListener('click', loadMore);
  openSheet(t('gitHistory'), [el('h2', { text: t('gitHistory') }), body, closeButton()]);
  loadMore();
}

async function showCommit(body, hash) {
  const answer = await request(`/api/git/show?${repoQuery()}&hash=${encodeURIComponent(hash)}`);
  if (answer.status !== 200) {
    toast(gitProblem(answer));
    return;
  }
  const commit = answer.body;
  const back = iconButton('back', t('gitBackToHistory'), () => {
    detail.remove();
    for (const child of body.children) child.hidden = child.dataset.hidden === '1';
    const row = [...body.querySelectorAll('.git-commit-row')].find((button) => button.dataset.hash === hash);
    if (row) row.focus();
  }, 'git-history-back');
  for (const child of body.children) {
    child.dataset.hidden = child.hidden ? '1' : '0';
    child.hidden = true;
  }
  const detail = el('div.git-commit-detail', {},
    el('div.git-commit-detail-head', {}, back, el('h3', { text: commit.subject })),
    el('p.muted', { text: `${commit.short} · ${commit.author} · ${when(commit.date)}` }),
    commit.body ? el('pre.git-commit-body', { text: commit.body }) : null,
    el('ul.git-commit-files', {}, ...(commit.files || []).map((file) => el('li', {},
      el('span.git-kind', { 'data-change': file.change, text: t(`gitChange_${file.change}`) }),
      el('span.git-commit-path', { text: file.from ? `${file.from} → ${file.path}` : file.path })))));
  body.append(detail);
  back.focus();
}

// Saved tokens (never shown again), adding one, and this device's SSH key.
export async function credentialsSheet() {
  const [tokens, key] = await Promise.all([request('/api/git/tokens'), request('/api/git/ssh-key')]);
  if (tokens.status !== 200) {
    toast(gitProblem(tokens));
    return;
  }
  const list = (tokens.body.tokens || []).map((token) => el('li.git-token', {},
    el('span.git-token-text', {},
      el('span.git-token-host', { text: token.host }),
      el('span.muted', { text: [token.name, token.username].filter(Boolean).join(' · ') })),
    iconButton('trash', t('gitDeleteToken', { host: token.host, name: token.name || token.username }),
      () => deleteToken(token), 'git-delete-token')));
  const field = (id, label, attrs) => [el('label', { for: id, text: label }),
    el(`input#${id}`, { type: 'text', autocapitalize: 'off', autocomplete: 'off', spellcheck: 'false', ...attrs })];
  const error = el('p.form-error', { role: 'alert', hidden: true });
  const add = el('details.git-add-token', {},
    el('summary', { text: t('gitAddToken') }),
    ...field('git-token-host', t('gitTokenHost'), { placeholder: 'github.com' }),
    ...field('git-token-name', t('gitTokenName')),
    ...field('git-token-user', t('gitUsername')),
    ...field('git-token-value', t('gitToken'), { type: 'password', autocomplete: 'new-password' }),
    error,
    el('button.primary.git-save-token', { type: 'button', text: t('save'), onclick: () => saveToken(add, error) }));
  const publicKey = key.status === 200 ? key.body.public_key : null;
  const sshPart = publicKey
    ? [el('pre.git-ssh-key', { text: publicKey }),
      el('button.quiet.git-copy-key', { type: 'button', text: t('gitCopyKey'), onclick: () => copyKey(publicKey) })]
    : [el('p.muted', { text: key.status === 200 ? t('gitNoKey') : problem(key) }),
      key.status === 200 ? el('button.quiet.git-create-key', { type: 'button', text: t('gitCreateKey'), onclick: () => createKey() }) : null];
  openSheet(t('gitCredentials'), [
    el('h2', { text: t('gitCredentials') }),
    el('h3.sheet-subhead', { text: t('gitTokens') }),
    list.length ? el('ul.git-tokens', {}, ...list) : el('p.muted', { text: t('gitNoTokens') }),
    add,
    el('h3.sheet-subhead', { text: t('gitSshKey') }),
    ...sshPart,
    closeButton(),
  ]);
}

async function saveToken(form, error) {
  const value = (id) => form.querySelector(`#${id}`).value.trim();
  const host = value('git-token-host');
  const token = { host, name: value('git-token-name') || host, username: value('git-token-user'),
    token: form.querySelector('#git-token-value').value };
  if (!token.host || !token.username || !token.token) {
    error.textContent = t('gitTokenMissing');
    error.hidden = false;
    return;
  }
  const answer = await request('/api/git/tokens', token);
  if (answer.status !== 200) {
    error.textContent = gitProblem(answer);
    error.hidden = false;
    return;
  }
  toast(t('gitTokenSaved', { host: token.host }));
  credentialsSheet();
}

async function deleteToken(token) {
  const sure = await choose(t('gitDeleteTokenTitle'), t('gitDeleteTokenText', { host: token.host, name: token.name || token.username }),
    [['delete', t('delete'), 'danger']]);
  if (sure === 'delete') {
    const answer = await request(`/api/git/tokens/${encodeURIComponent(token.id)}`, undefined, 'DELETE');
    if (answer.status !== 200) toast(problem(answer));
  }
  credentialsSheet();
}

async function copyKey(text) {
  try {
    await navigator.clipboard.writeText(text);
    toast(t('gitKeyCopied'));
  } catch (_) {
    // No clipboard without a secure context: the key is selected instead.
    const pre = dom.dialog.querySelector('.git-ssh-key');
    if (pre) window.getSelection().selectAllChildren(pre);
    toast(t('gitKeySelected'));
  }
}

async function createKey() {
  const answer = await request('/api/git/ssh-key', {});
  if (answer.status !== 200) toast(gitProblem(answer));
  credentialsSheet();
}
