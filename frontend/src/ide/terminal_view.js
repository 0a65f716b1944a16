// The Terminal view: shells on the server, each in a tab, with the keys a
// phone keyboard lacks. xterm.js (/terminal.js) loads when first needed.
// xterm.js (/terminal.js) and its style sheet come the first time a
// terminal or the output of a run is shown.
import { problem, request } from '../api.js';
import { t } from '../i18n/index.js';
import { el, iconButton, statusLine } from './dom.js';
import { openBrowserView } from './browser_view.js';
import { runs, setRunning } from './run_panel.js';
import { cancelButton, openSheet, sheetButton, toast } from './sheet.js';
import { fillRow, showOverflow } from './keys.js';
import { CLIENT, SERVER } from './protocol.js';
import { onSettings, settings } from './settings.js';
import { app, dom, state, touchScreen } from './state.js';
import { Stream, encoder } from './stream.js';

export let terminalModule = null;
export function loadTerminal() {
  if (!terminalModule) {
    const link = el('link', { rel: 'stylesheet', href: `/terminal.css?v=${app.version}` });
    const styled = new Promise((resolve, reject) => {
      link.addEventListener('load', resolve, { once: true });
      link.addEventListener('error', reject, { once: true });
    });
    document.head.append(link);
    terminalModule = Promise.all([import(`/terminal.js?v=${app.version}`), styled]).then(([module]) => {
      terminalModule = module;
      module.setTheme(settings.theme);
      return module;
    }, (error) => {
      terminalModule = null;
      link.remove();
      throw error;
    });
  }
  return Promise.resolve(terminalModule);
}

// Fits a terminal to its box whenever the box changes size: the screen
// turns, the on-screen keyboard opens, a panel opens beside it.
export function fitOnResize(box, fit) {
  let pending = false;
  new ResizeObserver(() => {
    if (pending) return;
    pending = true;
    requestAnimationFrame(() => {
      pending = false;
      fit();
    });
  }).observe(box);
}

export const terms = { shown: false, sessions: [], active: null, counter: 0, loaded: false };

export function buildTerminalView() {
  dom.termTabs = el('ul.term-tabs', { 'aria-label': t('terminals') });
  dom.termStatus = statusLine('term-status');
  dom.termEmpty = el('p.muted.term-empty', { text: t('noTerminals'), hidden: true });
  dom.termHost = el('div.term-host', {}, dom.termEmpty);
  fitOnResize(dom.termHost, () => terms.active && terms.active.handle && terms.active.handle.fit());
  dom.termKeys = buildTerminalKeys();
  return el('section.term-view', { 'aria-label': t('terminal'), hidden: true },
    el('div.term-head', {},
      iconButton('back', t('backToFiles'), () => closeTerminalView(), 'term-back'),
      el('h2.visually-hidden', { text: t('terminal') }),
      dom.termTabs,
      iconButton('plus', t('newTerminal'), () => newTerminal(), 'term-new')),
    dom.termStatus.node, dom.termHost, dom.termKeys);
}

// Keys a phone keyboard lacks, as the settings choose them. Ctrl stays
// pressed for the next key typed.
export function buildTerminalKeys() {
  const row = el('div.keys.term-keys', { role: 'toolbar', 'aria-label': t('terminalKeys') });
  const update = showOverflow(row);
  onSettings((current) => {
    fillRow(row, current.terminalKeys, (key) => {
      if (key === 'paste') {
        pasteIntoTerminal();
        return;
      }
      const handle = terms.active && terms.active.handle;
      if (!handle) return;
      if (key === 'ctrl') handle.setCtrl(!handle.ctrl);
      else handle.key(key);
    });
    dom.ctrlKey = row.querySelector('[data-key="ctrl"]');
    if (dom.ctrlKey) dom.ctrlKey.setAttribute('aria-pressed', 'false');
    update();
  });
  return row;
}

export function showCtrl() {
  const handle = terms.active && terms.active.handle;
  if (dom.ctrlKey) dom.ctrlKey.setAttribute('aria-pressed', handle && handle.ctrl ? 'true' : 'false');
}

export async function pasteIntoTerminal() {
  const session = terms.active;
  if (!session || !session.handle) return;
  let text = null;
  try {
    text = await navigator.clipboard.readText();
  } catch (_) {
    // No permission, or a page without a secure context: ask for it.
  }
  if (text === null) text = await askPaste();
  if (text && terms.active === session) {
    session.handle.paste(text);
    session.handle.focus();
  }
}

export async function askPaste() {
  const id = `paste-${Date.now()}`;
  const area = el('textarea.paste-area', { id, rows: '4', autocapitalize: 'off', autocomplete: 'off', spellcheck: 'false' });
  const shown = openSheet(t('paste'), [
    el('h2', { text: t('paste') }),
    el('label', { for: id, text: t('pasteLabel') }), area,
    el('div.sheet-actions.row', {}, sheetButton('ok', t('paste'), '.primary'), cancelButton()),
  ]);
  area.focus();
  return (await shown) === 'ok' ? area.value : null;
}

export function openTerminalView() {
  if (terms.shown) return;
  history.pushState({ ...(history.state || {}), terminal: true }, '');
  showTerminalView();
}

export function closeTerminalView() {
  if (history.state && history.state.terminal) history.back();
  else hideTerminalView();
}

export async function showTerminalView() {
  terms.shown = true;
  dom.ide.classList.add('terminal-open');
  dom.termView.hidden = false;
  if (dom.dialog.open) dom.dialog.close('');
  try {
    await loadTerminal();
  } catch (_) {
    dom.termStatus.set(t('terminalFailed'));
    return;
  }
  if (!terms.shown) return;
  if (!terms.loaded) {
    terms.loaded = true;
    // Terminals opened before a reload, or in another window, are still
    // there: list them and attach to each.
    const answer = await request('/api/run/terminals');
    if (answer.status === 200) {
      const known = new Set(terms.sessions.map((session) => session.id));
      const found = (answer.body.terminals || []).filter((info) => !known.has(info.id))
        .sort((a, b) => (a.created || 0) - (b.created || 0));
      for (const info of found) addSession(info);
    } else {
      terms.loaded = false;
      dom.termStatus.set(problem(answer));
    }
    if (!terms.sessions.length && terms.loaded) await newTerminal();
  }
  const session = terms.active || terms.sessions[0];
  if (session) activateSession(session);
  renderTermLayout();
}

export function hideTerminalView() {
  terms.shown = false;
  dom.ide.classList.remove('terminal-open');
  dom.termView.hidden = true;
}

export function renderTermLayout() {
  dom.termEmpty.hidden = terms.sessions.length > 0;
  dom.termKeys.hidden = !terms.active;
  if (!terms.active) dom.termStatus.set('');
}

export async function newTerminal() {
  try {
    await loadTerminal();
  } catch (_) {
    toast(t('terminalFailed'));
    return;
  }
  // The new shell starts at the size a terminal has here.
  const size = terms.active && terms.active.handle
    ? { cols: terms.active.handle.cols, rows: terms.active.handle.rows } : {};
  const answer = await request('/api/run/terminals', size);
  if (answer.status !== 201) {
    toast(problem(answer));
    return;
  }
  // The user asked for a shell: the keyboard goes to it at once.
  activateSession(addSession(answer.body), { focus: true });
  renderTermLayout();
}

export function addSession(info) {
  terms.counter += 1;
  const session = {
    id: info.id, n: terms.counter, state: 'connecting', exit: null, handle: null, stream: null,
    pane: el('div.term-pane', { 'data-terminal': info.id }),
    item: null,
  };
  dom.termHost.append(session.pane);
  session.handle = terminalModule.createTerminal(session.pane, {
    label: t('terminalInput', { n: session.n }),
    onData: (text) => session.stream && session.stream.send(encoder.encode(text)),
    onResize: () => sendSize(session),
    onCtrlChange: () => { if (terms.active === session) showCtrl(); },
    // xterm is behind (a flood of output): the server waits until it caught up.
    onPause: () => session.stream && session.stream.signal(JSON.stringify({ type: CLIENT.pause })),
    onResume: () => session.stream && session.stream.signal(JSON.stringify({ type: CLIENT.resume })),
    fontSize: settings.terminalFontSize,
    onLink: (url) => openBrowserView(url),
  });
  session.handle.fit();
  const label = t('terminalN', { n: session.n });
  session.item = el('li.term-tab', { 'data-terminal': info.id },
    el('button.term-tab-name', { type: 'button', 'aria-label': label, onclick: () => activateSession(session) }, label),
    iconButton('close', t('closeTerminal', { n: session.n }), () => closeSession(session), 'tab-close'));
  dom.termTabs.append(session.item);
  terms.sessions.push(session);
  session.stream = new Stream(`/api/run/terminals/${encodeURIComponent(info.id)}/ws`, {
    // Each new socket replays what the server kept: first the size it was
    // written at, then the output. The terminal shows it at that size and
    // then fits itself and sends its own size (see terminal.js).
    onOpen: () => {
      session.handle.clear();
      // Until the size message comes, the replay is at the present size;
      // either way its end sends this terminal's size.
      session.handle.beginReplay({});
    },
    onBinary: (bytes) => session.handle.writeOutput(bytes),
    onText: (message) => {
      if (message.type === SERVER.size) session.handle.beginReplay(message);
      else if (message.type === SERVER.exit) session.exit = message;
    },
    onStatus: (status) => {
      session.state = status;
      if (terms.active === session) showSessionStatus(session);
    },
    exists: async () => {
      const answer = await request('/api/run/terminals');
      if (answer.status !== 200) return null;
      return (answer.body.terminals || []).some((item) => item.id === session.id);
    },
  });
  return session;
}

export function sendSize(session) {
  const { handle, stream } = session;
  if (stream) stream.signal(JSON.stringify({ type: CLIENT.resize, cols: handle.cols, rows: handle.rows }));
}

export function showSessionStatus(session) {
  const closeIt = { label: t('close'), run: () => closeSession(session) };
  if (session.exit) {
    const { code, signal } = session.exit;
    const text = signal ? t('shellKilled', { signal })
      : (typeof code === 'number' ? t('shellExited', { code }) : t('shellEnded'));
    dom.termStatus.set(text, closeIt);
  } else if (session.state === 'retrying') {
    dom.termStatus.set(t('reconnecting'));
  } else if (session.state === 'taken') {
    dom.termStatus.set(t('takenOver'), { label: t('takeBack'), run: () => session.stream.reclaim() });
  } else if (session.state === 'gone') {
    dom.termStatus.set(t('terminalGone'), closeIt);
  } else if (session.state === 'ended') {
    dom.termStatus.set(t('shellEnded'), closeIt);
  } else {
    dom.termStatus.set('');
  }
}

export function activateSession(session, { focus = false } = {}) {
  terms.active = session;
  for (const other of terms.sessions) {
    other.pane.classList.toggle('current', other === session);
    const name = other.item.querySelector('.term-tab-name');
    if (other === session) name.setAttribute('aria-current', 'true');
    else name.removeAttribute('aria-current');
  }
  session.item.scrollIntoView({ block: 'nearest', inline: 'nearest' });
  session.handle.fit();
  showSessionStatus(session);
  showCtrl();
  renderTermLayout();
  if (focus || !touchScreen()) session.handle.focus();
}

export async function closeSession(session) {
  const index = terms.sessions.indexOf(session);
  if (index < 0) return;
  terms.sessions.splice(index, 1);
  session.stream.close();
  session.handle.dispose();
  session.pane.remove();
  session.item.remove();
  if (terms.active === session) {
    terms.active = null;
    const next = terms.sessions[Math.min(index, terms.sessions.length - 1)];
    if (next) activateSession(next);
  }
  renderTermLayout();
  const answer = await request(`/api/run/terminals/${encodeURIComponent(session.id)}`, undefined, 'DELETE');
  if (answer.status !== 200 && answer.status !== 404) toast(problem(answer));
}

// Signed out: the sockets go, the shells and programs go on on the server,
// and the Terminal view finds them again after the next sign-in.
export function forgetStreams() {
  for (const session of terms.sessions) {
    session.stream.close();
    session.handle.dispose();
    session.pane.remove();
    session.item.remove();
  }
  Object.assign(terms, { sessions: [], active: null, counter: 0, loaded: false });
  if (terms.shown) closeTerminalView();
  renderTermLayout();
  if (runs.stream) runs.stream.close();
  runs.stream = null;
  runs.info = null;
  setRunning(false);
  dom.runPanel.hidden = true;
}

// Terminals (and the run's output) follow the settings' text size and colours.
onSettings((current) => {
  if (!terminalModule || terminalModule instanceof Promise) return;
  terminalModule.setTheme(current.theme);
  for (const session of terms.sessions) session.handle.setFontSize(current.terminalFontSize);
  if (runs.handle) runs.handle.setFontSize(current.terminalFontSize);
});
