// Open files: tabs, the editor (/editor.js, loaded with the first file),
// previews, saving and conflicts, and the editor's extra keys.
import { problem, request } from '../api.js';
import { t } from '../i18n/index.js';
import { el, formatSize, iconButton } from './dom.js';
import { markCurrent, reload, renderFiles } from './files.js';
import { address, parentOf, previewKind, query, rawUrl, sameEntry } from './paths.js';
import { cancelButton, choose, openSheet, sheetButton, toast } from './sheet.js';
import { fillRow, showOverflow } from './keys.js';
import { canRun } from './launch_rules.js';
import { onSettings, settings } from './settings.js';
import { app, dom, isNarrow, state, touchScreen } from './state.js';

// The editor's row of extra keys, as the settings choose them.
export function buildKeys() {
  const row = el('div.keys', { role: 'toolbar', 'aria-label': t('extraKeys'), hidden: true });
  const update = showOverflow(row);
  onSettings((current) => {
    fillRow(row, current.editorKeys, (key) => {
      const tab = state.active;
      if (tab && tab.editor) editorModule.pressKey(tab.editor, key);
    });
    update();
  });
  return row;
}

let editorModule = null;
let nextTabId = 1;

export function loadEditor() {
  if (!editorModule) {
    editorModule = import(`/editor.js?v=${app.version}`).then((module) => {
      editorModule = module;
      return module;
    }, (error) => {
      editorModule = null;
      throw error;
    });
  }
  return Promise.resolve(editorModule);
}

// Opens `entry` in a tab, or shows its tab. `at` ({line, col}) puts the
// caret there; `focus` gives the editor the keyboard even on a touch screen
// (the user just made the file and will type in it).
export async function openFile(entry, { at = null, focus = false } = {}) {
  const existing = state.tabs.find((tab) => sameEntry(tab.entry, entry));
  if (existing) {
    activate(existing);
    if (existing.editor && at) editorModule.goToLine(existing.editor, at.line, at.col);
    return;
  }
  const id = nextTabId++;
  const tab = {
    id, entry: { ...entry }, editor: null, etag: null, dirty: false, saving: false,
    panel: el(`div.editor-panel#panel-${id}`, {}, el('p.muted.panel-note', { text: t('loading') })),
    item: null,
  };
  state.tabs.push(tab);
  dom.host.append(tab.panel);
  renderTab(tab);
  activate(tab);

  const kind = previewKind(entry.name);
  if (kind) {
    showPreview(tab, kind);
    return;
  }
  // The editor and the file's language load while the file is read.
  const editorReady = loadEditor()
    .then((module) => module.loadLanguage(entry.name).then((language) => [module, language]));
  editorReady.catch(() => {});
  const answer = await request(`/api/files/read?${query(entry)}`);
  if (!state.tabs.includes(tab)) return;
  if (answer.status === 413) {
    showNote(tab, t('tooLarge', { name: entry.name, size: formatSize(answer.body.size), limit: formatSize(answer.body.limit) }));
    return;
  }
  if (answer.status !== 200) {
    showNote(tab, problem(answer), answer.status !== 0 && answer.status !== 401);
    return;
  }
  if (answer.body.encoding === 'base64') {
    showNote(tab, t('notText', { name: entry.name }));
    return;
  }
  let module;
  let language;
  try {
    [module, language] = await editorReady;
  } catch (_) {
    showNote(tab, t('editorFailed'), false);
    return;
  }
  if (!state.tabs.includes(tab)) return;
  tab.etag = answer.body.etag;
  tab.panel.replaceChildren();
  tab.editor = module.createEditor({
    parent: tab.panel,
    text: answer.body.content,
    name: tab.entry.name,
    language,
    label: t('editorFor', { name: tab.entry.name }),
    readOnly: entry.writable === false,
    settings: editorSettings(),
    onChange: (dirty) => setDirty(tab, dirty),
    onEdit: () => saveAfterPause(tab),
    onSave: () => save(tab),
  });
  tab.panel.classList.add('has-editor');
  loadChangeBase(tab);
  updateHead();
  if (state.active !== tab) return;
  if (at) module.goToLine(tab.editor, at.line, at.col);
  else if (focus || !touchScreen()) module.focusEditor(tab.editor);
}

// The gutter marks the lines changed since the last commit: the text they
// are compared with is HEAD's version of the file, when it has one.
async function loadChangeBase(tab) {
  if (tab.entry.raw) return;
  const answer = await request(`/api/git/head?path=${encodeURIComponent(tab.entry.path)}`);
  if (!tab.editor || !state.tabs.includes(tab)) return;
  const tracked = answer.status === 200 && answer.body.tracked === true && typeof answer.body.text === 'string';
  editorModule.setChangeBase(tab.editor, tracked ? answer.body.text : null).catch(() => {});
}

// After a commit, a pull or a switch of branch HEAD is another commit.
export function refreshChangeBases() {
  for (const tab of state.tabs) if (tab.editor) loadChangeBase(tab);
}

// The diff of two texts, in `parent`; resolves to {destroy()}.
export async function showDiffIn(parent, { before, after, name, sideBySide }) {
  const module = await loadEditor();
  return module.showDiff({ parent, before, after, name, sideBySide, settings: editorSettings() });
}

export function showPreview(tab, kind) {
  const { entry } = tab;
  const source = rawUrl(entry, false);
  let media;
  if (kind === 'image') media = el('img.preview-media', { src: source, alt: entry.name });
  else if (kind === 'audio') media = el('audio.preview-media', { src: source, controls: true, preload: 'metadata', 'aria-label': entry.name });
  else if (kind === 'video') media = el('video.preview-media', { src: source, controls: true, playsinline: true, preload: 'metadata', 'aria-label': entry.name });
  else media = el('iframe.preview-media.preview-pdf', { src: source, title: entry.name });
  tab.panel.replaceChildren(el('div.preview', {}, media,
    el('p.preview-links', {},
      kind === 'pdf' ? el('a', { href: source, target: '_blank', rel: 'noopener', text: t('openInTab') }) : null,
      el('a', { href: rawUrl(entry, true), download: entry.name, text: t('download') }))));
  updateHead();
}

export function showNote(tab, text, offerDownload = true) {
  tab.panel.replaceChildren(el('div.preview', {},
    el('p.panel-note', { text }),
    offerDownload ? el('p.preview-links', {}, el('a', { href: rawUrl(tab.entry, true), download: tab.entry.name, text: t('download') })) : null));
  updateHead();
}

export function renderTab(tab) {
  const label = tab.entry.name;
  const item = el('li.tab', { 'data-tab': tab.id },
    el('button.tab-name', {
      type: 'button', title: tab.entry.path, 'aria-current': state.active === tab ? 'true' : null,
      'aria-controls': tab.panel.id, onclick: () => activate(tab),
    }, label, el('span.dirty', { role: 'img', 'aria-label': t('unsaved'), hidden: !tab.dirty, text: '●' })),
    iconButton('close', t('closeFile', { name: label }), () => closeTab(tab), 'tab-close'));
  if (tab.item) tab.item.replaceWith(item);
  else dom.tabs.append(item);
  tab.item = item;
}

export function activate(tab) {
  const wasEditing = state.active !== null;
  state.active = tab;
  for (const other of state.tabs) {
    other.panel.hidden = other !== tab;
    const name = other.item.querySelector('.tab-name');
    if (other === tab) name.setAttribute('aria-current', 'true');
    else name.removeAttribute('aria-current');
  }
  // On a phone the editor covers the list: the browser's back leaves it.
  if (tab && isNarrow() && !wasEditing && !(history.state && history.state.editor)) {
    history.pushState({ ...(history.state || {}), editor: true }, '');
  }
  layout();
  updateHead();
  markCurrent();
  if (tab && tab.item) tab.item.scrollIntoView({ block: 'nearest', inline: 'nearest' });
}

export function layout() {
  const editing = state.active !== null;
  dom.ide.classList.toggle('editing', editing);
  dom.welcome.hidden = state.tabs.length > 0;
  dom.tabs.hidden = state.tabs.length === 0;
  dom.head.hidden = !editing;
  dom.keys.hidden = !(editing && state.active.editor && !state.active.editor.view.state.readOnly);
}

export function updateHead() {
  layout();
  const tab = state.active;
  if (!tab) return;
  dom.name.textContent = tab.entry.name;
  dom.name.title = tab.entry.path;
  dom.dirty.hidden = !tab.dirty;
  const editable = tab.editor && !tab.editor.view.state.readOnly;
  dom.readOnly.hidden = !(tab.editor && !editable);
  dom.save.hidden = !editable;
  dom.run.hidden = !tab.editor || !canRun(tab.entry, state.launchRules);
  dom.find.hidden = !tab.editor;
  dom.gotoLine.hidden = !tab.editor;
  dom.save.disabled = tab.saving;
  dom.saveState.textContent = tab.saving ? t('saving') : (tab.savedFlash ? t('saved') : '');
}

export function setDirty(tab, dirty) {
  tab.dirty = dirty;
  if (dirty) tab.savedFlash = false;
  const marker = tab.item.querySelector('.dirty');
  marker.hidden = !dirty;
  if (tab === state.active) updateHead();
}

// Resolves true when the tab's changes are saved or may be dropped.
export async function mayLeave(tab) {
  if (!tab.dirty) return true;
  const choice = await choose(t('leaveTitle'), t('leaveText', { name: tab.entry.name }),
    [['save', t('save'), 'primary'], ['discard', t('discard'), 'danger']]);
  if (choice === 'save') return save(tab);
  return choice === 'discard';
}

export async function closeTab(tab, force = false) {
  if (!force && !(await mayLeave(tab))) return false;
  const index = state.tabs.indexOf(tab);
  if (index < 0) return true;
  state.tabs.splice(index, 1);
  if (tab.editor) tab.editor.destroy();
  tab.panel.remove();
  tab.item.remove();
  if (state.active === tab) {
    const next = isNarrow() ? null : state.tabs[Math.min(index, state.tabs.length - 1)] || null;
    state.active = null;
    if (next) activate(next);
    if (!state.active && history.state && history.state.editor) history.back();
  }
  markCurrent();
  layout();
  return true;
}

// The back control of the phone layout: closes the file shown.
export async function leaveEditor() {
  const tab = state.active;
  if (!tab) return;
  state.focusAfterRender = tab.entry;
  if (await closeTab(tab)) {
    state.active = null;
    layout();
    if (state.view === 'files') renderFiles();
  }
}

// Writes the editor's text. `etag` overrides the tab's (null: write
// without one). Resolves true once written.
export async function save(tab, etag = tab.etag) {
  if (!tab.editor || tab.saving || tab.editor.view.state.readOnly) return false;
  const doc = tab.editor.doc();
  const body = { ...address(tab.entry), content: doc.toString(), encoding: 'utf-8' };
  if (etag) body.etag = etag;
  tab.saving = true;
  if (tab === state.active) updateHead();
  const answer = await request('/api/files/write', body, 'PUT');
  tab.saving = false;
  if (answer.status === 200) {
    tab.etag = answer.body.etag;
    tab.savedFlash = true;
    tab.editor.markSaved(doc);
    if (tab === state.active) updateHead();
    setTimeout(() => {
      tab.savedFlash = false;
      if (tab === state.active) updateHead();
    }, 2500);
    if (state.view === 'files' && parentOf(tab.entry.path) === state.dir.path) reload();
    return true;
  }
  if (tab === state.active) updateHead();
  if (answer.status === 409) return resolveConflict(tab, answer.body);
  toast(`${tab.entry.name}: ${problem(answer)}`);
  return false;
}

// A save refused because the file changed on disk since it was read.
export async function resolveConflict(tab, conflict) {
  const gone = conflict.etag === null || conflict.etag === undefined;
  const choices = gone ? [['overwrite', t('overwrite'), 'primary']]
    : [['theirs', t('loadTheirs')], ['overwrite', t('overwrite'), 'danger']];
  const choice = await choose(t('conflictTitle'),
    t(gone ? 'conflictGone' : 'conflictText', { name: tab.entry.name }), choices);
  if (choice === 'overwrite') return save(tab, gone ? null : conflict.etag);
  if (choice === 'theirs') {
    const answer = await request(`/api/files/read?${query(tab.entry)}`);
    if (answer.status === 200 && answer.body.encoding !== 'base64') {
      tab.etag = answer.body.etag;
      tab.editor.setText(answer.body.content);
    } else {
      toast(`${tab.entry.name}: ${answer.status === 200 ? t('notText', { name: tab.entry.name }) : problem(answer)}`);
    }
  }
  return false;
}

const editorSettings = () => ({
  fontSize: settings.editorFontSize, tabSize: settings.tabSize, wordWrap: settings.wordWrap, theme: settings.theme,
});

// Open editors follow a change of the settings at once.
onSettings(() => {
  for (const tab of state.tabs) if (tab.editor) editorModule.applySettings(tab.editor, editorSettings());
});

// Saving by itself, when the settings ask for it: a second and a half after
// the last change, unless a save is under way (its end checks again).
const AUTO_SAVE_PAUSE_MS = 1500;

function saveAfterPause(tab) {
  clearTimeout(tab.autoSaveTimer);
  if (settings.autoSave !== 'pause') return;
  tab.autoSaveTimer = setTimeout(() => {
    if (!state.tabs.includes(tab) || !tab.dirty) return;
    if (tab.saving) saveAfterPause(tab);
    else save(tab);
  }, AUTO_SAVE_PAUSE_MS);
}

// The editor's own find and replace panel, and going to a line.
export function findInFile() {
  const tab = state.active;
  if (tab && tab.editor) editorModule.openSearch(tab.editor);
}

export async function askLine() {
  const tab = state.active;
  if (!tab || !tab.editor) return;
  const max = tab.editor.view.state.doc.lines;
  const id = `line-${Date.now()}`;
  const input = el('input', { id, type: 'number', inputmode: 'numeric', min: '1', max: String(max), enterkeyhint: 'go' });
  const error = el('p.form-error', { role: 'alert', hidden: true });
  const valid = () => Number.isInteger(Number(input.value)) && Number(input.value) >= 1 && Number(input.value) <= max;
  const shown = openSheet(t('goToLine'), [
    el('h2', { text: t('goToLine') }),
    el('label', { for: id, text: t('lineNumber', { max }) }), input, error,
    el('div.sheet-actions.row', {}, sheetButton('ok', t('go'), '.primary'), cancelButton()),
  ], (event) => {
    if (event.submitter && event.submitter.value !== 'ok') return;
    if (!valid()) {
      event.preventDefault();
      error.textContent = t('badLine', { max });
      error.hidden = false;
    } else {
      dom.dialog.returnValue = 'ok';
    }
  });
  input.focus();
  if ((await shown) === 'ok' && state.tabs.includes(tab)) editorModule.goToLine(tab.editor, Number(input.value), 1);
}
