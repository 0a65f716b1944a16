// Searching the workspace from the files pane: by file name (quick open,
// Ctrl+P) and by the text inside files (Ctrl+Shift+F), whose results stream
// in while the server searches and open the file at the line.
import { problem, request } from '../api.js';
import { t } from '../i18n/index.js';
import { el, icon, iconButton, statusLine } from './dom.js';
import { cancelRender, openEntry, reload, showPane } from './files.js';
import { baseName, parentOf } from './paths.js';
import { LineSplitter, matchRange, parseSearchLine } from './search_results.js';
import { app, dom, isNarrow, state } from './state.js';
import { openFile } from './tabs.js';

const search = { mode: 'names', timer: null, token: 0, controller: null };

export function buildSearchHead() {
  dom.searchInput = el('input.search-input#search-input', {
    type: 'search', autocomplete: 'off', autocapitalize: 'off', autocorrect: 'off', spellcheck: 'false',
    enterkeyhint: 'search', 'aria-label': t('searchFiles'),
  });
  dom.searchInput.addEventListener('input', () => schedule());
  const form = el('form.search-form', { role: 'search' }, dom.searchInput);
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    if (search.mode === 'names') openFirstName();
    else run();
  });
  dom.searchModes = ['names', 'text'].map((mode) => el('button.search-mode', {
    type: 'button', 'data-mode': mode, 'aria-pressed': 'false', text: t(mode === 'names' ? 'searchNames' : 'searchText'),
    onclick: () => setMode(mode, true),
  }));
  dom.searchStop = el('button.quiet.search-stop', { type: 'button', hidden: true, text: t('searchStop'), onclick: () => stopSearch(true) });
  dom.searchStatus = statusLine('search-status');
  dom.results = el('ul.entries.results', { hidden: true, 'aria-label': t('search') });
  return el('div.search-head', { hidden: true },
    el('div.search-row', {}, iconButton('back', t('backToFiles'), () => leaveSearch()), form),
    el('div.search-row', {}, el('div.search-modes', { role: 'group', 'aria-label': t('search') }, ...dom.searchModes), dom.searchStop),
    dom.searchStatus.node);
}

// Shows the search in the files pane (over the open file on a phone).
export function showSearch(mode = search.mode) {
  state.view = 'search';
  cancelRender();
  showPane('search');
  dom.ide.classList.toggle('searching', isNarrow() && state.active !== null);
  setMode(mode, false);
  dom.searchInput.focus();
  dom.searchInput.select();
}

function leaveSearch() {
  stopSearch(false);
  dom.ide.classList.remove('searching');
  state.view = 'files';
  reload();
}

function setMode(mode, rerun) {
  search.mode = mode;
  for (const button of dom.searchModes) button.setAttribute('aria-pressed', String(button.dataset.mode === mode));
  dom.searchInput.placeholder = t(mode === 'names' ? 'namePlaceholder' : 'textPlaceholder');
  if (rerun) {
    dom.searchInput.focus();
    run();
  }
}

function schedule() {
  clearTimeout(search.timer);
  search.timer = setTimeout(run, search.mode === 'names' ? 150 : 400);
}

// Ends the search under way; the results found so far stay.
function stopSearch(byUser) {
  clearTimeout(search.timer);
  search.token += 1;
  if (search.controller) search.controller.abort();
  search.controller = null;
  dom.searchStop.hidden = true;
  if (byUser) dom.searchStatus.set(t('searchStopped'));
}

function run() {
  stopSearch(false);
  const query = dom.searchInput.value.trim();
  dom.results.replaceChildren();
  dom.searchStatus.set('');
  if (!query) return;
  if (search.mode === 'names') searchNames(query);
  else searchText(query);
}

function leaveTo(open) {
  dom.ide.classList.remove('searching');
  open();
}

async function searchNames(query) {
  const token = search.token;
  const answer = await request(`/api/files/search?q=${encodeURIComponent(query)}`);
  if (token !== search.token) return;
  if (answer.status !== 200) {
    dom.searchStatus.set(problem(answer));
    return;
  }
  const results = answer.body.results || [];
  dom.results.replaceChildren(...results.map((entry) => {
    const item = { ...entry, raw: entry.raw || null };
    return el('li.entry', {}, el('button.entry-open', { type: 'button', onclick: () => leaveTo(() => openEntry(item)) },
      icon(entry.type === 'directory' ? 'folder' : 'file'),
      el('span.entry-text', {}, el('span.entry-name', { text: entry.name }),
        el('span.entry-meta', { text: parentOf(entry.path) || t('workspace') }))));
  }));
  if (!results.length) dom.searchStatus.set(t('noResults'));
  else if (answer.body.truncated) dom.searchStatus.set(t('namesTruncated'));
}

function openFirstName() {
  const first = dom.results.querySelector('.entry-open');
  if (first) first.click();
  else run();
}

// One heading per file, then its matching lines.
function matchRow(match, query) {
  const text = match.text.replace(/^\s+/, '');
  const cut = match.text.length - text.length;
  const range = matchRange(text, query, match.col - cut);
  const line = el('span.match-text');
  if (range) line.append(text.slice(0, range[0]), el('mark', { text: text.slice(range[0], range[1]) }), text.slice(range[1]));
  else line.textContent = text;
  const entry = { path: match.path, raw: null, name: baseName(match.path), type: 'file' };
  return el('li.match', {}, el('button.entry-open.match-open', {
    type: 'button', 'aria-label': `${match.path}, ${t('lineN', { line: match.line })}: ${text}`,
    onclick: () => leaveTo(() => openFile(entry, { at: { line: match.line, col: match.col } })),
  }, el('span.match-line', { text: String(match.line) }), line));
}

async function searchText(query) {
  const token = search.token;
  const controller = new AbortController();
  search.controller = controller;
  dom.searchStop.hidden = false;
  dom.searchStatus.set(t('searching'));
  let lastPath = null;
  let done = null;
  const splitter = new LineSplitter((line) => {
    const item = parseSearchLine(line);
    if (!item) return;
    if (item.kind === 'done') {
      done = item;
      return;
    }
    if (item.path !== lastPath) {
      lastPath = item.path;
      dom.results.append(el('li.match-file', {}, icon('file'), el('span.entry-name', { text: baseName(item.path) }),
        el('span.entry-meta', { text: parentOf(item.path) })));
    }
    dom.results.append(matchRow(item, query));
  });
  try {
    const response = await fetch(`/api/files/search/content?q=${encodeURIComponent(query)}`,
      { credentials: 'same-origin', signal: controller.signal });
    if (response.status !== 200) {
      if (response.status === 401) app.refresh();
      let body = {};
      try { body = await response.json(); } catch (_) { body = {}; }
      if (token === search.token) dom.searchStatus.set(problem({ status: response.status, body }));
      return;
    }
    const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
    for (;;) {
      const { value, done: ended } = await reader.read();
      if (ended || token !== search.token) break;
      splitter.push(value);
    }
    if (token !== search.token) return;
    splitter.end();
    showSummary(done);
  } catch (error) {
    if (token === search.token && error.name !== 'AbortError') dom.searchStatus.set(t('noAnswer'));
  } finally {
    if (search.controller === controller) {
      search.controller = null;
      dom.searchStop.hidden = true;
    }
  }
}

function showSummary(done) {
  if (!done) {
    dom.searchStatus.set(t('noAnswer')); // the answer was cut before its end
  } else if (done.matches === 0) {
    dom.searchStatus.set(t('noResults'));
  } else {
    dom.searchStatus.set(t(done.truncated ? 'searchTruncated' : 'searchDone', done));
  }
}
