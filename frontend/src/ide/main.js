// The IDE after sign-in: builds the page and starts the views. On a phone
// the file list fills the screen and a file opens full screen; from 900px
// on, the list is on the left and the files in tabs on the right.
import { request } from '../api.js';
import { browser, buildBrowserView, hideBrowserView, openBrowserView, showBrowserView } from './browser_view.js';
import { t } from '../i18n/index.js';
import { el, icon, iconButton } from './dom.js';
import { dirFromLocation, navigate, newMenu, onEntriesClick, reload, renderFiles, uploadFiles } from './files.js';
import { mainMenu } from './menu.js';
import { buildSearchHead, showSearch } from './search.js';
import { loadSettings } from './settings.js';
import { buildRunPanel, runFile } from './run_panel.js';
import { app, dom, isNarrow, narrowQuery, state } from './state.js';
import { reconnectNow } from './stream.js';
import { askLine, buildKeys, closeTab, findInFile, layout, leaveEditor, mayLeave, save, updateHead } from './tabs.js';
import { buildTerminalView, hideTerminalView, openTerminalView, showTerminalView, terms } from './terminal_view.js';
import { emptyTrash, showFiles, showTrash } from './trash.js';
import { buildGitView, git, hideGitView, openGitView, showGitView } from './git_view.js';

export function build() {
  const shell = document.getElementById('shell');
  dom.crumbs = el('ol.crumbs');
  dom.trashHead = el('div.pane-head', { hidden: true },
    iconButton('back', t('backToFiles'), () => showFiles()),
    el('h2', { text: t('trash') }),
    dom.trashUsage = el('span.muted.usage'),
    dom.emptyTrash = el('button.quiet.empty-trash', { type: 'button', hidden: true, text: t('emptyTrash'), onclick: () => emptyTrash() }));
  dom.searchHead = buildSearchHead();
  dom.message = el('p.pane-message.muted', { role: 'status', hidden: true });
  dom.entries = el('ul.entries', { onclick: onEntriesClick });
  dom.filesPane = el('nav.files-pane', { 'aria-label': t('files') },
    el('div.crumbs-row', {}, dom.crumbs), dom.trashHead, dom.searchHead, dom.message, dom.entries, dom.results);

  dom.tabs = el('ul.tabs', { 'aria-label': t('openFiles') });
  dom.name = el('span.editor-name');
  dom.dirty = el('span.dirty', { role: 'img', 'aria-label': t('unsaved'), title: t('unsaved'), hidden: true, text: '●' });
  dom.readOnly = el('span.badge', { text: t('readOnly'), hidden: true });
  dom.saveState = el('span.save-state.muted', { role: 'status' });
  dom.save = el('button.primary.save-button#save-button', { type: 'button', onclick: () => state.active && save(state.active) }, t('save'));
  dom.run = iconButton('play', t('run'), () => state.active && runFile(state.active), 'run-button');
  dom.run.id = 'run-button';
  dom.find = iconButton('search', t('find'), () => findInFile(), 'find-button');
  dom.gotoLine = iconButton('goto', t('goToLine'), () => askLine(), 'goto-button');
  // Like the extra keys, these leave the keyboard where it is.
  for (const button of [dom.find, dom.gotoLine]) button.addEventListener('mousedown', (event) => event.preventDefault());
  // Saving leaves the focus, and so the on-screen keyboard, in the editor.
  dom.save.addEventListener('mousedown', (event) => event.preventDefault());
  dom.head = el('div.editor-head', { hidden: true },
    iconButton('back', t('backToFiles'), () => leaveEditor(), 'editor-back'),
    el('h2.editor-title', {}, dom.name, dom.dirty), dom.readOnly, dom.saveState, dom.find, dom.gotoLine, dom.run, dom.save);
  dom.host = el('div.editor-host');
  dom.keys = buildKeys();
  dom.welcome = el('p.welcome.muted', { text: t('welcome') });
  dom.runPanel = buildRunPanel();
  dom.editorPane = el('main.editor-pane', {}, dom.tabs, dom.head, dom.host, dom.runPanel, dom.keys, dom.welcome);
  dom.termView = buildTerminalView();
  dom.browserView = buildBrowserView();
  dom.gitView = buildGitView();

  dom.toastText = el('span');
  dom.toastAction = el('button.quiet', { type: 'button', hidden: true });
  dom.toast = el('div.toast', { role: 'status', 'aria-live': 'polite', hidden: true }, dom.toastText, dom.toastAction);

  dom.upload = el('input', { type: 'file', multiple: true, hidden: true, 'aria-hidden': 'true', tabindex: '-1' });
  dom.upload.addEventListener('change', () => uploadFiles([...dom.upload.files]));

  dom.ide = el('div.ide#ide', {},
    el('header.ide-top', {},
      el('div.brand', {}, el('span.logo', { 'aria-hidden': 'true', text: 'Q' }), el('span', { text: 'Quillo' })),
      el('div.bar-actions', {},
        iconButton('search', t('search'), () => showSearch()),
        iconButton('terminal', t('terminal'), () => openTerminalView()),
        iconButton('globe', t('browser'), () => openBrowserView(), 'browser-button'),
        iconButton('branch', t('gitSourceControl'), () => openGitView(), 'git-button'),
        iconButton('plus', t('newItem'), () => newMenu()),
        el('button.icon-button#menu-button', { type: 'button', 'aria-label': t('menu'), title: t('menu'), 'aria-haspopup': 'dialog', onclick: () => mainMenu() }, icon('menu')))),
    el('div.ide-body', {}, dom.filesPane, dom.editorPane),
    dom.termView, dom.browserView, dom.gitView, dom.toast, dom.upload);

  dom.dialog = el('dialog.sheet#ide-dialog');
  // A click on the backdrop of a modal dialog reaches the dialog itself.
  dom.dialog.addEventListener('click', (event) => {
    const box = dom.dialog.getBoundingClientRect();
    if (event.target === dom.dialog && (event.clientX < box.left || event.clientX > box.right
      || event.clientY < box.top || event.clientY > box.bottom)) dom.dialog.close('');
  });
  shell.replaceChildren(dom.ide, dom.dialog);

  const viewport = window.visualViewport;
  if (viewport) {
    let pending = false;
    const schedule = () => {
      if (pending) return;
      pending = true;
      requestAnimationFrame(() => { pending = false; fitToViewport(); });
    };
    viewport.addEventListener('resize', schedule);
    viewport.addEventListener('scroll', schedule);
  }
  window.addEventListener('resize', fitToViewport);
  fitToViewport();
  narrowQuery.addEventListener('change', layout);

  window.addEventListener('keydown', onShortcut);
  window.addEventListener('beforeunload', (event) => {
    if (state.tabs.some((tab) => tab.dirty)) {
      event.preventDefault();
      event.returnValue = '';
    }
  });
  window.addEventListener('popstate', onPopState);
  // A phone that wakes from its lock screen, or a network that comes
  // back, reconnects at once instead of at the end of its wait.
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState !== 'visible') return;
    reconnectNow();
    // Another device may have changed the settings meanwhile.
    loadSettings();
  });
  window.addEventListener('online', reconnectNow);
}

// Ctrl (or Cmd) with S saves, P opens a file by name, Shift+F searches
// the files' text. (In the editor, Ctrl+F finds, Ctrl+Alt+G goes to a line.)
function onShortcut(event) {
  if (!(event.ctrlKey || event.metaKey) || event.altKey || event.defaultPrevented) return;
  const key = event.key.toLowerCase();
  const run = {
    s: () => state.active && save(state.active),
    p: () => showSearch('names'),
    f: event.shiftKey ? () => showSearch('text') : null,
  }[key];
  if (!run || (key === 's' && !state.active)) return;
  event.preventDefault();
  run();
}

// What the run module would run (Run is offered for those files only).
async function loadLaunchRules() {
  const answer = await request('/api/run/module');
  if (answer.status === 200 && answer.body.launch) {
    state.launchRules = answer.body.launch;
    updateHead();
  }
}

// The IDE takes the visible part of the screen: when the on-screen
// keyboard opens, the editor shrinks above it and the line being edited
// stays in sight.
export function fitToViewport() {
  const viewport = window.visualViewport;
  const height = viewport ? viewport.height : window.innerHeight;
  const top = viewport ? viewport.offsetTop : 0;
  dom.ide.style.setProperty('--view-height', `${Math.round(height)}px`);
  dom.ide.style.setProperty('--view-top', `${Math.round(top)}px`);
  const tab = state.active;
  if (tab && tab.editor && tab.editor.view.hasFocus) {
    requestAnimationFrame(() => tab.editor && tab.editor.revealCursor());
  }
}

export async function onPopState(event) {
  const next = event.state || {};
  // The Browser view covers the other views: it opens and closes first.
  if (browser.shown !== Boolean(next.browser)) {
    if (next.browser) showBrowserView();
    else hideBrowserView();
    return;
  }
  if (git.shown !== Boolean(next.git)) {
    if (next.git) showGitView();
    else hideGitView();
    return;
  }
  if (terms.shown !== Boolean(next.terminal)) {
    if (next.terminal) showTerminalView();
    else hideTerminalView();
    return;
  }
  if (state.active && isNarrow() && !next.editor) {
    const tab = state.active;
    if (!(await mayLeave(tab))) {
      history.pushState({ ...next, editor: true }, '');
      return;
    }
    state.focusAfterRender = tab.entry;
    await closeTab(tab, true);
    state.active = null;
    layout();
  }
  const dir = next.dir || dirFromLocation();
  if (state.view !== 'files' || dir.path !== state.dir.path || (dir.raw || null) !== state.dir.raw) {
    navigate(dir, 'none');
  } else {
    renderFiles();
  }
}

let built = false;

// Called by the sign-in flow each time the IDE is shown: the first time it
// builds the page, later it brings the current view up to date.
export function start({ version, refresh, logout }) {
  Object.assign(app, { version, refresh, logout });
  if (!built) {
    built = true;
    build();
    loadSettings();
    loadLaunchRules();
    navigate(dirFromLocation(), 'replace');
    // A reload in the Terminal or the Browser view comes back to it.
    if (history.state && history.state.terminal) showTerminalView();
    if (history.state && history.state.browser) showBrowserView();
    if (history.state && history.state.git) showGitView();
  } else if (state.view === 'trash') {
    showTrash();
  } else {
    reload();
  }
}
