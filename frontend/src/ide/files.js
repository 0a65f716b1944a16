// The file list: folders, the actions on an entry, new files and uploads.
import { problem, request, upload } from '../api.js';
import { LANG, t } from '../i18n/index.js';
import { el, formatSize, formatTime, icon } from './dom.js';
import { address, baseName, childAddress, parentDir, query, rawAncestors, rawUrl, sameEntry } from './paths.js';
import { askName, cancelButton, choose, openSheet, sheetButton, toast } from './sheet.js';
import { dom, state } from './state.js';
import { closeTab, openFile, renderTab, updateHead } from './tabs.js';
import { restore } from './trash.js';

export function dirFromLocation() {
  const hash = location.hash.startsWith('#/') ? location.hash.slice(2) : '';
  try {
    return { path: hash.split('/').filter(Boolean).map(decodeURIComponent).join('/'), raw: null };
  } catch (_) {
    return { path: '', raw: null };
  }
}

export function dirUrl(dir) {
  return `#/${dir.path.split('/').filter(Boolean).map(encodeURIComponent).join('/')}`;
}

// Shows folder `dir`; `how` is 'push' (a new history entry), 'replace' or 'none'.
export async function navigate(dir, how = 'push') {
  state.view = 'files';
  const answer = await request(`/api/files/list?${query(dir)}`);
  if (answer.status !== 200) {
    if (answer.status === 401) return;
    if (dir.path && answer.status === 404) {
      navigate({ path: '', raw: null }, 'replace');
      return;
    }
    showMessage(problem(answer));
    return;
  }
  const moved = dir.path !== state.dir.path || dir.raw !== state.dir.raw;
  state.dir = { path: answer.body.path ?? dir.path, raw: dir.raw || null };
  state.entries = answer.body.entries || [];
  if (how === 'push' && moved) {
    history.pushState({ dir: state.dir }, '', dirUrl(state.dir));
  } else if (how !== 'none') {
    history.replaceState({ ...(history.state || {}), dir: state.dir }, '', dirUrl(state.dir));
  }
  renderFiles();
}

export const reload = () => navigate(state.dir, 'none');

export function showMessage(text) {
  dom.message.textContent = text || '';
  dom.message.hidden = !text;
}

export function renderCrumbs() {
  const crumbs = [{ label: t('workspace'), dir: { path: '', raw: null } }];
  if (state.dir.raw) {
    for (const dir of rawAncestors(state.dir.raw)) crumbs.push({ label: baseName(dir.path), dir });
  } else if (state.dir.path) {
    const parts = state.dir.path.split('/');
    parts.forEach((part, i) => crumbs.push({ label: part, dir: { path: parts.slice(0, i + 1).join('/'), raw: null } }));
  }
  dom.crumbs.replaceChildren(...crumbs.map((crumb, i) => {
    const last = i === crumbs.length - 1;
    return el('li', {}, last
      ? el('span.crumb', { 'aria-current': 'location', text: crumb.label })
      : el('button.crumb', { type: 'button', text: crumb.label, onclick: () => navigate(crumb.dir) }));
  }));
  dom.crumbs.parentElement.scrollLeft = dom.crumbs.parentElement.scrollWidth;
}

export function entryMeta(entry) {
  if (entry.type === 'directory') return t('folder');
  if (entry.type === 'symlink' && entry.target_type !== 'file') return t('link');
  const parts = [formatSize(entry.size), formatTime(entry.mtime)];
  if (entry.writable === false) parts.push(t('readOnly'));
  return parts.filter(Boolean).join(' · ');
}

export function entryIcon(entry) {
  if (entry.type === 'symlink') return entry.target_type === 'directory' ? 'folder' : 'link';
  return entry.type === 'directory' ? 'folder' : 'file';
}

// A folder of ten thousand files shows its first rows at once and the
// rest over the next frames.
export const FIRST_ROWS = 200;
export const ROWS_PER_FRAME = 400;
let renderToken = 0;

// The files pane shows one of: the folder ('files'), the Trash ('trash') or
// the search ('search'), each with its own head.
export function showPane(mode) {
  dom.crumbs.parentElement.hidden = mode !== 'files';
  dom.trashHead.hidden = mode !== 'trash';
  dom.searchHead.hidden = mode !== 'search';
  dom.entries.hidden = mode === 'search';
  dom.results.hidden = mode !== 'search';
  if (mode !== 'search') {
    dom.searchStatus.set('');
    dom.ide.classList.remove('searching');
  }
}

// Stops a long list from going on filling in (another view took its place).
export function cancelRender() {
  renderToken += 1;
}

export function entryRow(entry, index, active) {
  const open = el('button.entry-open', { type: 'button', 'aria-current': active && sameEntry(entry, active) ? 'true' : null },
    icon(entryIcon(entry)),
    el('span.entry-text', {}, el('span.entry-name', { text: entry.name }), el('span.entry-meta', { text: entryMeta(entry) })));
  const more = el('button.icon-button.entry-more', {
    type: 'button', 'aria-label': t('actionsFor', { name: entry.name }), title: t('actionsFor', { name: entry.name }),
  }, icon('more'));
  return el('li.entry', { 'data-name': entry.name, 'data-type': entry.type, 'data-index': String(index) }, open, more);
}

export function renderFiles() {
  showPane('files');
  renderCrumbs();
  const entries = state.entries.filter((entry) => state.showHidden || !entry.hidden);
  state.shown = entries;
  showMessage(entries.length ? '' : t('emptyFolder'));
  const focus = state.focusAfterRender;
  state.focusAfterRender = null;
  const focusIndex = focus ? entries.findIndex((entry) => sameEntry(entry, focus)) : -1;
  const active = state.active && state.active.entry;
  const token = ++renderToken;
  const rows = (from, to) => {
    const fragment = document.createDocumentFragment();
    for (let i = from; i < to; i += 1) fragment.append(entryRow(entries[i], i, active));
    return fragment;
  };
  let done = Math.min(entries.length, Math.max(FIRST_ROWS, focusIndex + 1));
  dom.entries.replaceChildren(rows(0, done));
  const more = () => {
    if (token !== renderToken || done >= entries.length) return;
    const next = Math.min(entries.length, done + ROWS_PER_FRAME);
    dom.entries.append(rows(done, next));
    done = next;
    requestAnimationFrame(more);
  };
  requestAnimationFrame(more);
  if (focusIndex >= 0) dom.entries.children[focusIndex].querySelector('.entry-open').focus();
}

// One listener for every row of the file list.
export function onEntriesClick(event) {
  const row = event.target.closest('.entry[data-index]');
  if (!row || state.view !== 'files') return;
  const entry = state.shown[Number(row.dataset.index)];
  if (!entry) return;
  if (event.target.closest('.entry-more')) entryMenu(entry);
  else if (event.target.closest('.entry-open')) openEntry(entry);
}

// The list shows which of its files is the one open.
export function markCurrent() {
  const active = state.active && state.active.entry;
  for (const button of dom.entries.querySelectorAll('.entry-open[aria-current]')) button.removeAttribute('aria-current');
  if (!active || state.view !== 'files') return;
  const index = state.shown.findIndex((entry) => sameEntry(entry, active));
  const row = index >= 0 && dom.entries.children[index];
  if (row) row.querySelector('.entry-open').setAttribute('aria-current', 'true');
}

export function openEntry(entry) {
  const target = entry.type === 'symlink' ? entry.target_type : entry.type;
  if (target === 'directory') {
    navigate({ path: entry.path, raw: entry.raw || null });
  } else if (target === 'file') {
    openFile(entry);
  } else {
    toast(t('brokenLink', { name: entry.name }));
  }
}

export async function entryMenu(entry) {
  const isFile = (entry.type === 'symlink' ? entry.target_type : entry.type) === 'file';
  const choice = await openSheet(t('actionsFor', { name: entry.name }), [
    el('h2.sheet-title', { text: entry.name }),
    el('div.sheet-actions', {},
      sheetButton('rename', t('rename')),
      sheetButton('copy', t('copy')),
      isFile ? el('a.sheet-item', {
        href: rawUrl(entry, true), download: entry.name, text: t('download'),
        onclick: () => setTimeout(() => dom.dialog.close(''), 0),
      }) : null,
      sheetButton('delete', t('delete'), '.danger'),
      cancelButton()),
  ]);
  if (choice === 'rename') renameEntry(entry);
  else if (choice === 'copy') copyEntry(entry);
  else if (choice === 'delete') deleteEntry(entry);
}

export async function renameEntry(entry) {
  const name = await askName(t('rename'), t('newName'), entry.name);
  if (!name || name === entry.name) return;
  const answer = await request('/api/files/rename',
    { ...address(entry, 'from'), ...childAddress(parentDir(entry), name, 'to') });
  if (answer.status !== 200) {
    toast(problem(answer));
    return;
  }
  const moved = { path: answer.body.path, raw: answer.body.raw || null };
  // Open files at (or, for a folder, inside) the renamed path follow it.
  for (const tab of state.tabs) {
    const { path } = tab.entry;
    if (sameEntry(tab.entry, entry)) {
      tab.entry = { ...tab.entry, ...moved, name: baseName(moved.path) };
    } else if (!entry.raw && !moved.raw && !tab.entry.raw && path.startsWith(`${entry.path}/`)) {
      tab.entry = { ...tab.entry, path: moved.path + path.slice(entry.path.length) };
    } else {
      continue;
    }
    renderTab(tab);
  }
  updateHead();
  state.focusAfterRender = moved;
  reload();
}

export function copyName(name) {
  const dot = name.lastIndexOf('.');
  const suffix = LANG === 'zh' ? ' 副本' : ' copy';
  return dot > 0 ? `${name.slice(0, dot)}${suffix}${name.slice(dot)}` : `${name}${suffix}`;
}

export async function copyEntry(entry) {
  const name = await askName(t('copy'), t('copyName'), copyName(entry.name));
  if (!name) return;
  const answer = await request('/api/files/copy',
    { ...address(entry, 'from'), ...childAddress(parentDir(entry), name, 'to') });
  if (answer.status !== 200) {
    toast(problem(answer));
    return;
  }
  state.focusAfterRender = { path: answer.body.path, raw: answer.body.raw || null };
  reload();
}

export async function deleteEntry(entry) {
  const answer = await request(`/api/files/delete?${query(entry)}`, undefined, 'DELETE');
  if (answer.status !== 200) {
    toast(problem(answer));
    return;
  }
  // Open files that went with it close, unless they hold unsaved work.
  for (const tab of [...state.tabs]) {
    const inside = sameEntry(tab.entry, entry)
      || (!entry.raw && tab.entry.path.startsWith(`${entry.path}/`));
    if (inside && !tab.dirty) closeTab(tab, true);
  }
  const trashId = answer.body.trash_id;
  toast(t('movedToTrash', { name: entry.name }), trashId === undefined ? null : {
    label: t('undo'),
    run: () => restore(trashId, entry.name),
  });
  reload();
}

export async function newMenu() {
  const choice = await openSheet(t('newItem'), [
    el('h2', { text: t('newItem') }),
    el('div.sheet-actions', {},
      sheetButton('file', t('newFile')),
      sheetButton('directory', t('newFolder')),
      sheetButton('upload', t('upload')),
      cancelButton()),
  ]);
  if (choice === 'upload') {
    dom.upload.value = '';
    dom.upload.click();
    return;
  }
  if (choice !== 'file' && choice !== 'directory') return;
  const title = choice === 'file' ? t('newFile') : t('newFolder');
  const name = await askName(title, t('name'), '');
  if (!name) return;
  const answer = await request('/api/files/create', { ...childAddress(state.dir, name, 'path'), type: choice });
  if (answer.status !== 200) {
    toast(problem(answer));
    return;
  }
  const created = { path: answer.body.path, raw: answer.body.raw || null };
  if (choice === 'file') {
    await reload();
    const entry = state.entries.find((item) => sameEntry(item, created))
      || { ...created, name: baseName(created.path), type: 'file', writable: true };
    // A file just made is a file about to be typed in.
    openFile(entry, { focus: true });
  } else {
    navigate(created);
  }
}

export async function uploadFiles(files) {
  let count = 0;
  for (const file of files) {
    const url = `/api/files/upload?${query(state.dir)}&name=${encodeURIComponent(file.name)}`;
    let answer = await upload(url, file);
    if (answer.status === 409) {
      const choice = await choose(t('upload'), t('exists', { name: file.name }), [['replace', t('replace'), 'primary'], ['skip', t('skip')]]);
      if (choice !== 'replace') continue;
      answer = await upload(`${url}&overwrite=1`, file);
    }
    if (answer.status === 200) {
      count += 1;
    } else {
      toast(`${file.name}: ${problem(answer)}`);
      break;
    }
  }
  if (count) toast(t('uploaded', { count }));
  reload();
}
