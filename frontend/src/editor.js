// The IDE's text editor: CodeMirror 6 set up for phones and desktops.
// static/ide.js imports this bundle the first time a file is opened and
// drives it only through the functions exported here.
import {
  EditorState, EditorSelection, Compartment, RangeSetBuilder, RangeSet, StateEffect, StateField, Text,
} from '@codemirror/state';
import {
  EditorView, keymap, lineNumbers, highlightActiveLine, highlightActiveLineGutter,
  highlightSpecialChars, drawSelection, dropCursor, ViewPlugin, Decoration, gutter, GutterMarker,
} from '@codemirror/view';
import {
  defaultKeymap, history, historyKeymap, indentWithTab, indentMore, undo, redo,
  cursorCharLeft, cursorCharRight, cursorLineUp, cursorLineDown,
  cursorLineBoundaryBackward, cursorLineBoundaryForward, cursorPageUp, cursorPageDown,
} from '@codemirror/commands';
import {
  indentOnInput, indentUnit, bracketMatching, syntaxHighlighting, defaultHighlightStyle,
} from '@codemirror/language';
import {
  searchKeymap, highlightSelectionMatches, search, openSearchPanel,
} from '@codemirror/search';
import {
  autocompletion, completionKeymap, closeBrackets, closeBracketsKeymap,
} from '@codemirror/autocomplete';
import { oneDark } from '@codemirror/theme-one-dark';
import { closeTagTyping } from './close-tags.js';
import { phrasesFor } from './editor-phrases.js';

// Each language is a chunk of its own, fetched when a file needs it.
const LANGUAGES = {
  python: () => import('@codemirror/lang-python').then((m) => m.python()),
  javascript: () => import('@codemirror/lang-javascript').then((m) => m.javascript()),
  jsx: () => import('@codemirror/lang-javascript').then((m) => m.javascript({ jsx: true })),
  typescript: () => import('@codemirror/lang-javascript')
    .then((m) => m.javascript({ typescript: true })),
  tsx: () => import('@codemirror/lang-javascript')
    .then((m) => m.javascript({ typescript: true, jsx: true })),
  cpp: () => import('@codemirror/lang-cpp').then((m) => m.cpp()),
  html: () => import('@codemirror/lang-html').then((m) => m.html()),
  css: () => import('@codemirror/lang-css').then((m) => m.css()),
  json: () => import('@codemirror/lang-json').then((m) => m.json()),
  markdown: () => import('@codemirror/lang-markdown').then((m) => m.markdown()),
};

const EXTENSIONS = {
  py: 'python', pyw: 'python', pyi: 'python',
  js: 'javascript', mjs: 'javascript', cjs: 'javascript', jsx: 'jsx',
  ts: 'typescript', mts: 'typescript', cts: 'typescript', tsx: 'tsx',
  c: 'cpp', h: 'cpp', cc: 'cpp', cpp: 'cpp', cxx: 'cpp', hpp: 'cpp', hh: 'cpp', hxx: 'cpp',
  ino: 'cpp',
  html: 'html', htm: 'html',
  css: 'css',
  json: 'json', jsonc: 'json', webmanifest: 'json',
  md: 'markdown', markdown: 'markdown',
};

// The language support for a file name (an empty extension for plain
// text), fetched once per language.
const loadedLanguages = new Map();
export function loadLanguage(name) {
  const key = languageFor(name);
  if (!key) return Promise.resolve([]);
  if (!loadedLanguages.has(key)) loadedLanguages.set(key, LANGUAGES[key]().catch(() => []));
  return loadedLanguages.get(key);
}

// The language name for a file name, or null for plain text.
export function languageFor(name) {
  const dot = name.lastIndexOf('.');
  if (dot < 0) return null;
  return EXTENSIONS[name.slice(dot + 1).toLowerCase()] || null;
}

const darkQuery = window.matchMedia('(prefers-color-scheme: dark)');
const narrowQuery = window.matchMedia('(max-width: 899px)');

// Sizes in em follow the font size setting.
const baseTheme = EditorView.theme({
  '&': { height: '100%', maxWidth: '100%' },
  '.cm-scroller': {
    fontFamily: 'ui-monospace, "SF Mono", "Cascadia Mono", "Roboto Mono", "DejaVu Sans Mono", '
      + '"Noto Sans Mono CJK SC", monospace',
    lineHeight: '1.5',
  },
  '.cm-content': { paddingBottom: '40vh' },
  '.cm-gutters': { fontSize: '0.8125em' },
});

// The search panel and the go-to-line dialog on a phone: everything wraps
// within the editor's width, fields use 16px type (smaller makes mobile
// Safari zoom in on focus), and every control is at least 44px tall. The
// close button sits in the top right corner, so the panel keeps room for it.
const panelTheme = EditorView.theme({
  '.cm-panels': { maxWidth: '100%', boxSizing: 'border-box' },
  '.cm-panel.cm-search, .cm-panel.cm-dialog': {
    padding: '4px 48px 4px 8px',
    whiteSpace: 'normal',
    fontFamily: 'system-ui, sans-serif',
    '& input, & button, & label': { margin: '2px 6px 2px 0', verticalAlign: 'middle', boxSizing: 'border-box' },
  },
  '.cm-panel .cm-textfield': {
    fontSize: '16px',
    minHeight: '44px',
    padding: '0 8px',
    borderRadius: '6px',
  },
  '.cm-panel.cm-search .cm-textfield': { width: 'min(100%, 22em)' },
  '.cm-panel.cm-dialog .cm-textfield': { width: '7em' },
  '.cm-panel.cm-dialog label': { fontSize: '16px' },
  '.cm-panel .cm-button': {
    fontSize: '16px',
    minHeight: '44px',
    minWidth: '44px',
    padding: '0 12px',
    borderRadius: '6px',
  },
  '.cm-panel.cm-search label': {
    display: 'inline-flex',
    alignItems: 'center',
    minHeight: '44px',
    paddingRight: '6px',
    fontSize: '15px',
    whiteSpace: 'nowrap',
  },
  '.cm-panel.cm-search input[type=checkbox]': { width: '22px', height: '22px', margin: '0 6px 0 0' },
  '.cm-panel.cm-search [name=close], .cm-panel .cm-dialog-close': {
    position: 'absolute',
    top: '0',
    right: '0',
    width: '44px',
    height: '44px',
    margin: '0',
    fontSize: '24px',
    lineHeight: '44px',
  },
});

// On a narrow screen long lines wrap. A wrapped line's continuation starts
// two columns right of the line's own indentation, so that the code's
// shape still shows.
const hangingIndents = new Map();
function hangingIndentFor(columns) {
  if (!hangingIndents.has(columns)) {
    hangingIndents.set(columns, Decoration.line({
      attributes: { style: `padding-left: calc(${columns}ch + 6px); text-indent: -${columns}ch` },
    }));
  }
  return hangingIndents.get(columns);
}

function hangingIndentDecorations(view) {
  const builder = new RangeSetBuilder();
  const { doc, tabSize } = view.state;
  let next = 0;
  for (const { from, to } of view.visibleRanges) {
    for (let pos = Math.max(from, next); pos <= to;) {
      const line = doc.lineAt(pos);
      let columns = 0;
      for (const char of line.text) {
        if (char === ' ') columns += 1;
        else if (char === '\t') columns += tabSize - (columns % tabSize);
        else break;
      }
      builder.add(line.from, line.from, hangingIndentFor(Math.min(columns, 40) + 2));
      pos = line.to + 1;
      next = pos;
    }
  }
  return builder.finish();
}

const hangingIndent = ViewPlugin.fromClass(class {
  constructor(view) {
    this.decorations = hangingIndentDecorations(view);
  }

  update(update) {
    if (update.docChanged || update.viewportChanged) this.decorations = hangingIndentDecorations(update.view);
  }
}, { decorations: (plugin) => plugin.decorations });

const wrapping = (narrow) => (narrow ? [EditorView.lineWrapping, hangingIndent] : []);

// What each editor was set up with, to reconfigure it later.
const views = new Map();

function themeFor(dark) {
  return dark ? oneDark : syntaxHighlighting(defaultHighlightStyle, { fallback: true });
}

const clamp = (value, min, max) => Math.min(max, Math.max(min, value));

// The settings in force: what was asked for, within what works, and
// today's behaviour for whatever was left out: 16px, the language's usual
// indentation, wrapping on narrow screens, the system's colours.
function settled(settings = {}, name = '') {
  const fontSize = Number(settings.fontSize);
  const tabSize = Number(settings.tabSize);
  return {
    fontSize: Number.isFinite(fontSize) ? clamp(Math.round(fontSize), 12, 24) : 16,
    tabSize: [2, 4, 8].includes(tabSize) ? tabSize : null,
    wordWrap: typeof settings.wordWrap === 'boolean' ? settings.wordWrap : null,
    theme: ['light', 'dark'].includes(settings.theme) ? settings.theme : 'system',
    pythonIndent: languageFor(name) === 'python',
  };
}

const fontThemes = new Map();
function fontTheme(px) {
  if (!fontThemes.has(px)) fontThemes.set(px, EditorView.theme({ '&': { fontSize: `${px}px` } }));
  return fontThemes.get(px);
}

// The extension of each compartment for settled settings.
const SETTING_EXTENSIONS = {
  theme: (s) => themeFor(s.theme === 'system' ? darkQuery.matches : s.theme === 'dark'),
  font: (s) => fontTheme(s.fontSize),
  tabs: (s) => (s.tabSize
    ? [EditorState.tabSize.of(s.tabSize), indentUnit.of(' '.repeat(s.tabSize))]
    : indentUnit.of(s.pythonIndent ? '    ' : '  ')),
  wrap: (s) => wrapping(s.wordWrap === null ? narrowQuery.matches : s.wordWrap),
  phrases: () => {
    const phrases = phrasesFor(document.documentElement.lang);
    return phrases ? EditorState.phrases.of(phrases) : [];
  },
};

function reconfigure(view, keys) {
  const { compartments, settings } = views.get(view);
  view.dispatch({
    effects: keys.map((key) => compartments[key].reconfigure(SETTING_EXTENSIONS[key](settings))),
  });
}

darkQuery.addEventListener('change', () => {
  for (const [view, { settings }] of views) if (settings.theme === 'system') reconfigure(view, ['theme']);
});
narrowQuery.addEventListener('change', () => {
  for (const [view, { settings }] of views) if (settings.wordWrap === null) reconfigure(view, ['wrap']);
});

// Creates an editor in `parent`. Options: text, name (file name, chooses the
// language), language (what loadLanguage(name) gave, or it is loaded now),
// label (accessible name), readOnly, onChange(dirty) when the text starts or
// stops differing from the saved one, onEdit() after every change, onSave(), settings
// (see applySettings).
export function createEditor({
  parent, text, name, language: support, label, readOnly, onChange, onEdit, onSave, settings,
}) {
  const compartments = Object.fromEntries(Object.keys(SETTING_EXTENSIONS).map((key) => [key, new Compartment()]));
  const current = settled(settings, name);
  const language = new Compartment();
  const changeMarks = new Compartment();
  let savedDoc = null;
  let lastDirty = false;

  const isDirty = (doc) => savedDoc !== doc
    && (savedDoc.length !== doc.length || !savedDoc.eq(doc));

  const state = EditorState.create({
    doc: text,
    extensions: [
      lineNumbers(),
      highlightActiveLineGutter(),
      highlightSpecialChars(),
      history(),
      drawSelection(),
      dropCursor(),
      EditorState.allowMultipleSelections.of(true),
      indentOnInput(),
      bracketMatching(),
      closeBrackets(),
      closeTagTyping,
      autocompletion(),
      highlightActiveLine(),
      highlightSelectionMatches(),
      search({ top: true }),
      keymap.of([
        { key: 'Mod-s', run: () => { onSave(); return true; }, preventDefault: true },
        ...closeBracketsKeymap,
        ...defaultKeymap,
        ...searchKeymap,
        ...historyKeymap,
        ...completionKeymap,
        indentWithTab,
      ]),
      baseTheme,
      panelTheme,
      Object.entries(compartments).map(([key, compartment]) => compartment.of(SETTING_EXTENSIONS[key](current))),
      language.of(support || []),
      changeMarks.of([]),
      EditorState.readOnly.of(Boolean(readOnly)),
      EditorView.contentAttributes.of({ 'aria-label': label }),
      EditorView.updateListener.of((update) => {
        if (!update.docChanged) return;
        if (onEdit) onEdit();
        const dirty = isDirty(update.state.doc);
        if (dirty !== lastDirty) {
          lastDirty = dirty;
          onChange(dirty);
        }
      }),
    ],
  });
  savedDoc = state.doc;
  const view = new EditorView({ state, parent });
  views.set(view, { compartments, settings: current, name, changeMarks });

  if (!support) {
    loadLanguage(name).then((loaded) => {
      if (views.has(view)) view.dispatch({ effects: language.reconfigure(loaded) });
    });
  }

  const markSaved = (doc) => {
    savedDoc = doc;
    lastDirty = isDirty(view.state.doc);
    onChange(lastDirty);
  };

  return {
    view,
    // The document now, to send; hand it back to markSaved once written.
    doc: () => view.state.doc,
    markSaved,
    isDirty: () => lastDirty,
    // Replaces the whole text (the version on disk) and counts it as saved.
    setText(newText) {
      view.dispatch({ changes: { from: 0, to: view.state.doc.length, insert: newText } });
      markSaved(view.state.doc);
    },
    focus: () => view.focus(),
    revealCursor() {
      view.dispatch({
        effects: EditorView.scrollIntoView(view.state.selection.main.head, { y: 'nearest', yMargin: 48 }),
      });
    },
    destroy() {
      views.delete(view);
      view.destroy();
    },
  };
}

// Changes a live editor's settings; what is left out stays as it is.
//   fontSize  px, 12 to 24 (16)
//   tabSize   2, 4 or 8: a tab's width and the indentation typed (by
//             default tabs are 4 wide and Python indents by 4, the rest by 2)
//   wordWrap  true or false (by default long lines wrap on narrow screens)
//   theme     'system', 'light' or 'dark' ('system' follows the device)
// The editor's language follows the page's (<html lang>) as it is now.
export function applySettings(editor, settings) {
  const entry = views.get(editor.view);
  if (!entry) return;
  const { settings: before, name } = entry;
  const asked = {
    fontSize: before.fontSize,
    tabSize: before.tabSize,
    wordWrap: before.wordWrap,
    theme: before.theme,
    ...Object.fromEntries(Object.entries(settings || {}).filter(([, value]) => value !== undefined)),
  };
  entry.settings = settled(asked, name);
  reconfigure(editor.view, Object.keys(SETTING_EXTENSIONS));
}

// The caret into the editor, in sight, with the on-screen keyboard up
// (mobile browsers show it only when this runs in a tap's handler).
export function focusEditor(editor) {
  const { view } = editor;
  view.focus();
  view.dispatch({ effects: EditorView.scrollIntoView(view.state.selection.main.head, { y: 'nearest', yMargin: 48 }) });
}

// Opens the find and replace panel (or goes back to it) with its search
// field focused and selected.
export function openSearch(editor) {
  const { view } = editor;
  openSearchPanel(view);
  const field = view.dom.querySelector('.cm-search input[main-field]');
  if (field) {
    field.focus();
    field.select();
  }
}

// Puts the caret on line `line`, column `col` (both from 1, kept within the
// document), centred on the screen, and focuses the editor.
export function goToLine(editor, line, col = 1) {
  const { view } = editor;
  const { doc } = view.state;
  const target = doc.line(clamp(Math.trunc(Number(line)) || 1, 1, doc.lines));
  const offset = clamp(Math.trunc(Number(col)) || 1, 1, target.length + 1) - 1;
  const position = target.from + offset;
  view.dispatch({
    selection: EditorSelection.cursor(position),
    effects: EditorView.scrollIntoView(position, { y: 'center' }),
  });
  view.focus();
}

const KEY_COMMANDS = {
  left: cursorCharLeft,
  right: cursorCharRight,
  up: cursorLineUp,
  down: cursorLineDown,
  home: cursorLineBoundaryBackward,
  end: cursorLineBoundaryForward,
  pageUp: cursorPageUp,
  pageDown: cursorPageDown,
  undo,
  redo,
};

// The extra keys row: a command name above, 'tab', or text to type.
export function pressKey(editor, key) {
  const { view } = editor;
  if (KEY_COMMANDS[key]) {
    KEY_COMMANDS[key](view);
  } else if (key === 'tab') {
    if (view.state.selection.ranges.some((range) => !range.empty)) {
      indentMore(view);
    } else {
      view.dispatch(view.state.replaceSelection(view.state.facet(indentUnit)));
    }
  } else if (!view.state.readOnly) {
    view.dispatch(view.state.replaceSelection(key));
  }
  view.dispatch({ scrollIntoView: true });
}

// The merge package (diffs) is a chunk of its own, fetched the first time
// a file in a repository opens or a diff is shown.
let mergeModule = null;
const loadMerge = () => {
  if (!mergeModule) mergeModule = import('@codemirror/merge').catch((error) => { mergeModule = null; throw error; });
  return mergeModule;
};

// Big, very different texts are diffed roughly rather than slowly.
const DIFF_LIMITS = { scanLimit: 500, timeout: 200 };
const MARKS_PAUSE_MS = 250;

class ChangeMark extends GutterMarker {
  constructor(kind, className) {
    super();
    this.kind = kind;
    this.className = className;
  }

  eq(other) {
    return other.className === this.className;
  }

  toDOM() {
    const mark = document.createElement('span');
    mark.className = this.className;
    return mark;
  }
}
const CHANGE_MARKS = {
  added: new ChangeMark('added', 'cm-git-mark cm-git-added'),
  changed: new ChangeMark('changed', 'cm-git-mark cm-git-changed'),
  removed: new ChangeMark('removed', 'cm-git-mark cm-git-removed'),
  removedBelow: new ChangeMark('removed', 'cm-git-mark cm-git-removed cm-git-below'),
};

// The marks for the lines of `doc` that differ from `base`: added and
// changed lines each get a bar; a removal gets a triangle between the
// lines where the removed ones were (below the last line for lines removed
// at the end).
function changeMarksFor(Chunk, base, doc) {
  const builder = new RangeSetBuilder();
  for (const chunk of Chunk.build(base, doc, DIFF_LIMITS)) {
    if (chunk.fromB === chunk.toB) {
      const atEnd = chunk.fromB >= doc.length && chunk.fromA > 0;
      const line = doc.lineAt(Math.min(chunk.fromB, doc.length));
      builder.add(line.from, line.from, atEnd && line.length ? CHANGE_MARKS.removedBelow : CHANGE_MARKS.removed);
      continue;
    }
    const mark = chunk.fromA === chunk.toA ? CHANGE_MARKS.added : CHANGE_MARKS.changed;
    const last = doc.lineAt(Math.min(chunk.endB, doc.length)).number;
    for (let number = doc.lineAt(chunk.fromB).number; number <= last; number += 1) {
      const { from } = doc.line(number);
      builder.add(from, from, mark);
    }
  }
  return builder.finish();
}

// The gutter comparing the text with `base` (a Text), kept up to date a
// moment after each change; meanwhile the marks move with the text.
function changeGutter(Chunk, base) {
  const setMarks = StateEffect.define();
  const marks = StateField.define({
    create: (state) => changeMarksFor(Chunk, base, state.doc),
    update(value, transaction) {
      for (const effect of transaction.effects) if (effect.is(setMarks)) return effect.value;
      return transaction.docChanged ? value.map(transaction.changes) : value;
    },
  });
  const refresher = ViewPlugin.fromClass(class {
    constructor(view) {
      this.view = view;
      this.timer = null;
    }

    update(update) {
      if (!update.docChanged) return;
      clearTimeout(this.timer);
      this.timer = setTimeout(() => {
        this.view.dispatch({ effects: setMarks.of(changeMarksFor(Chunk, base, this.view.state.doc)) });
      }, MARKS_PAUSE_MS);
    }

    destroy() {
      clearTimeout(this.timer);
    }
  });
  return [
    marks,
    refresher,
    gutter({ class: 'cm-git-gutter', markers: (view) => view.state.field(marks) || RangeSet.empty }),
    changeTheme,
  ];
}

const changeTheme = EditorView.baseTheme({
  '.cm-git-gutter': { width: '6px', paddingLeft: '2px' },
  '.cm-git-gutter .cm-gutterElement': { position: 'relative' },
  '.cm-git-mark': { position: 'absolute', left: '0', top: '0', bottom: '0', width: '4px', borderRadius: '1px' },
  '.cm-git-added': { background: '#2da44e' },
  '.cm-git-changed': { background: '#d29922' },
  '.cm-git-removed': {
    top: '-5px', bottom: 'auto', width: '0', height: '0', background: 'none', borderRadius: '0',
    borderTop: '5px solid transparent', borderBottom: '5px solid transparent', borderLeft: '6px solid #e5534b',
  },
  '.cm-git-removed.cm-git-below': { top: 'auto', bottom: '-5px' },
  '&dark .cm-git-added': { background: '#3fb950' },
  '&dark .cm-git-changed': { background: '#e3b341' },
});

// Marks the lines that differ from `base` (HEAD's version of the file), or
// takes the marks away when `base` is null.
export async function setChangeBase(editor, base) {
  const entry = views.get(editor.view);
  if (!entry) return;
  if (base === null || base === undefined) {
    editor.view.dispatch({ effects: entry.changeMarks.reconfigure([]) });
    return;
  }
  const { Chunk } = await loadMerge();
  if (!views.has(editor.view)) return;
  editor.view.dispatch({ effects: entry.changeMarks.reconfigure(changeGutter(Chunk, Text.of(base.split(/\r\n?|\n/)))) });
}

const diffTheme = EditorView.theme({
  '&': { maxWidth: '100%' },
  '.cm-scroller': { fontFamily: 'ui-monospace, "DejaVu Sans Mono", monospace', lineHeight: '1.5' },
  '.cm-gutters': { fontSize: '0.8125em' },
});

// A read-only diff of `before` and `after` in `parent`: the two side by side
// when `sideBySide`, otherwise one text with the removed lines shown above
// the added ones. Long unchanged stretches fold away. Returns {destroy()}.
export async function showDiff({ parent, before, after, name, sideBySide, settings }) {
  const [{ MergeView, unifiedMergeView }, language] = await Promise.all([loadMerge(), loadLanguage(name)]);
  const current = settled(settings, name);
  const extensions = [
    lineNumbers(),
    highlightSpecialChars(),
    EditorState.readOnly.of(true),
    diffTheme,
    SETTING_EXTENSIONS.theme(current),
    SETTING_EXTENSIONS.font(current),
    SETTING_EXTENSIONS.tabs(current),
    SETTING_EXTENSIONS.wrap(current),
    SETTING_EXTENSIONS.phrases(),
    language,
  ];
  const common = { collapseUnchanged: { margin: 3, minSize: 6 }, diffConfig: DIFF_LIMITS };
  if (sideBySide) {
    const merge = new MergeView({
      ...common, parent, a: { doc: before, extensions }, b: { doc: after, extensions },
    });
    return { destroy: () => merge.destroy() };
  }
  const view = new EditorView({
    parent,
    state: EditorState.create({
      doc: after,
      extensions: [...extensions, unifiedMergeView({ ...common, original: before, mergeControls: false })],
    }),
  });
  return { destroy: () => view.destroy() };
}
