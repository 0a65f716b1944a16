// The main menu and the server status.
import { request } from '../api.js';
import { t } from '../i18n/index.js';
import { el } from './dom.js';
import { renderFiles } from './files.js';
import { cancelButton, choose, openSheet, sheetButton, toast } from './sheet.js';
import { app, state } from './state.js';
import { forgetStreams, openTerminalView } from './terminal_view.js';
import { openBrowserView } from './browser_view.js';
import { openSettings } from './settings.js';
import { showTrash } from './trash.js';
import { openGitView } from './git_view.js';

export async function mainMenu() {
  const choice = await openSheet(t('menu'), [
    el('h2', { text: t('menu') }),
    el('div.sheet-actions', {},
      sheetButton('terminal', t('terminal')),
      sheetButton('browser', t('browser')),
      sheetButton('git', t('gitSourceControl')),
      sheetButton('trash', t('trash')),
      sheetButton('settings', t('settings')),
      sheetButton('hidden', state.showHidden ? t('hideHidden') : t('showHidden')),
      el('button.sheet-item#status-item', { type: 'submit', value: 'status', text: t('serverStatus') }),
      el('button.sheet-item#logout', { type: 'submit', value: 'logout', text: t('logOut') }),
      cancelButton()),
  ]);
  if (choice === 'terminal') {
    openTerminalView();
  } else if (choice === 'browser') {
    openBrowserView();
  } else if (choice === 'git') {
    openGitView();
  } else if (choice === 'trash') {
    showTrash();
  } else if (choice === 'settings') {
    openSettings();
  } else if (choice === 'hidden') {
    state.showHidden = !state.showHidden;
    localStorage.setItem('quillo.showHidden', state.showHidden ? '1' : '0');
    if (state.view === 'files') renderFiles();
  } else if (choice === 'status') {
    serverStatus();
  } else if (choice === 'logout') {
    if (state.tabs.some((tab) => tab.dirty)) {
      const sure = await choose(t('logOut'), t('discardAll'), [['logout', t('logOut'), 'danger']]);
      if (sure !== 'logout') return;
    }
    const error = await app.logout();
    if (error) toast(error);
    else forgetStreams();
  }
}

// The health check and each route module.
export const MODULES = ['files', 'run', 'git', 'chat', 'venv', 'update', 'server_mgmt', 'browser',
  'notebook', 'debug', 'qarn'];

export function serverStatus() {
  const rows = [[t('health'), '/api/health', (body) => body.status === 'ok']].concat(
    MODULES.map((name) => [name, `/api/${name}/module`, (body) => body.module === name]));
  const list = el('ul.status-list#modules', { 'aria-live': 'polite' });
  for (const [label, path, healthy] of rows) {
    const status = el('span', { text: '…' });
    list.append(el('li', {}, el('span', { text: label }), status));
    request(path).then((answer) => {
      const ok = answer.status === 200 && healthy(answer.body);
      // A stand-in is loaded but does nothing yet: say so rather than "ready".
      const standIn = ok && answer.body.stand_in === true;
      status.textContent = answer.status === 0 ? t('noAnswer') : t(standIn ? 'standIn' : (ok ? 'ready' : 'notLoaded'));
      status.className = standIn ? 'stand-in' : (ok ? 'ok' : 'bad');
    });
  }
  openSheet(t('serverStatus'), [
    el('h2', { text: t('serverStatus') }),
    el('p.muted', { text: t('staysSignedIn') }),
    list,
    el('div.sheet-actions.row', {}, el('button.sheet-item', { type: 'submit', value: '', text: t('close') })),
  ]);
}
