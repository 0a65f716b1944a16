// The IDE's text editor: CodeMirror 6 set up for phones and desktops.
// static/ide.js imports this bundle the first time a file is opened and
// drives it only through the functions exported here.
import { EditorState, Compartment, RangeSetBuilder } from '@codemirror/state';
import {
  EditorView, keymap, lineNumbers, highlightActiveLine, highlightActiveLineGutter,
  highlightSpecialChars, drawSelection, dropCursor, ViewPlugin, Decoration,
} from '@codemirror/view';
import {
  defaultKeymap, history, historyKeymap, indentWithTab, indentMore, undo, redo,
  cursorCharLeft, cursorCharRight, cursorLineUp, cursorLineDown,
} from '@codemirror/commands';
import {
  indentOnInput, indentUnit, bracketMatching, syntaxHighlighting, defaultHighlightStyle,
} from '@codemirror/language';
import { searchKeymap, highlightSelectionMatches, search } from '@codemirror/search';
import {
  autocompletion, completionKeymap, closeBrackets, closeBracketsKeymap,
} from '@codemirror/autocomplete';
import { oneDark } from '@codemirror/theme-one-dark';

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

const baseTheme = EditorView.theme({
  '&': { height: '100%', fontSize: '16px' },
  '.cm-scroller': {
    fontFamily: 'ui-monospace, "SF Mono", "Cascadia Mono", "Roboto Mono", "DejaVu Sans Mono", '
      + '"Noto Sans Mono CJK SC", monospace',
    lineHeight: '1.5',
  },
  '.cm-content': { paddingBottom: '40vh' },
  '.cm-gutters': { fontSize: '13px' },
  '.cm-panels input, .cm-panels button': { fontSize: '16px' },
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

const views = new Set();
const themes = new WeakMap();
const wraps = new WeakMap();

function themeFor(dark) {
  return dark ? oneDark : syntaxHighlighting(defaultHighlightStyle, { fallback: true });
}

darkQuery.addEventListener('change', () => {
  for (const view of views) {
    view.dispatch({ effects: themes.get(view).reconfigure(themeFor(darkQuery.matches)) });
  }
});
narrowQuery.addEventListener('change', () => {
  for (const view of views) {
    view.dispatch({
      effects: wraps.get(view).reconfigure(wrapping(narrowQuery.matches)),
    });
  }
});

// Creates an editor in `parent`. Options: text, name (file name, chooses the
// language), language (what loadLanguage(name) gave, or it is loaded now),
// label (accessible name), readOnly, onChange(dirty), onSave().
export function createEditor({
  parent, text, name, language: support, label, readOnly, onChange, onSave,
}) {
  const theme = new Compartment();
  const wrap = new Compartment();
  const language = new Compartment();
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
      autocompletion(),
      highlightActiveLine(),
      highlightSelectionMatches(),
      search({ top: true }),
      indentUnit.of(languageFor(name) === 'python' ? '    ' : '  '),
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
      theme.of(themeFor(darkQuery.matches)),
      wrap.of(wrapping(narrowQuery.matches)),
      language.of(support || []),
      EditorState.readOnly.of(Boolean(readOnly)),
      EditorView.contentAttributes.of({ 'aria-label': label }),
      EditorView.updateListener.of((update) => {
        if (!update.docChanged) return;
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
  views.add(view);
  themes.set(view, theme);
  wraps.set(view, wrap);

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

const KEY_COMMANDS = {
  left: cursorCharLeft,
  right: cursorCharRight,
  up: cursorLineUp,
  down: cursorLineDown,
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
