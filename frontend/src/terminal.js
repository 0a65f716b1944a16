// Terminals and program output: xterm.js set up for phones and desktops.
// static/ide.js imports this bundle (and links terminal.css, xterm's style
// sheet, beside it) the first time a terminal or the run panel opens.
import { Terminal } from '@xterm/xterm';
import { FitAddon } from '@xterm/addon-fit';
import '@xterm/xterm/css/xterm.css';
import { FlowControl } from './flow.js';
import { findPreviewLinks } from './ide/preview_url.js';

const darkQuery = window.matchMedia('(prefers-color-scheme: dark)');

// The page's own colours (static/style.css), so that a terminal looks like
// the rest of the IDE. On a white background the usual light greys and
// yellows of the ANSI palette would be unreadable, so they get darker.
const THEMES = {
  dark: {
    background: '#181b21',
    foreground: '#e6e8eb',
    cursor: '#e6e8eb',
    cursorAccent: '#181b21',
    selectionBackground: '#4c8dff66',
  },
  light: {
    background: '#ffffff',
    foreground: '#1c1f23',
    cursor: '#1c1f23',
    cursorAccent: '#ffffff',
    selectionBackground: '#1f6feb40',
    black: '#1c1f23',
    red: '#b42318',
    green: '#1a7f37',
    yellow: '#8a6100',
    blue: '#1f6feb',
    magenta: '#8250df',
    cyan: '#0f7b8a',
    white: '#5b636e',
    brightBlack: '#5b636e',
    brightRed: '#d1242f',
    brightGreen: '#1f883d',
    brightYellow: '#7d5500',
    brightBlue: '#0969da',
    brightMagenta: '#a475f9',
    brightCyan: '#1b7c83',
    brightWhite: '#6e7781',
  },
};
// 'system' follows the device; 'light' and 'dark' are the user's choice.
let chosenTheme = 'system';
const themeNow = () => {
  const dark = chosenTheme === 'system' ? darkQuery.matches : chosenTheme === 'dark';
  return dark ? THEMES.dark : THEMES.light;
};

const terminals = new Set();
darkQuery.addEventListener('change', () => {
  for (const term of terminals) term.options.theme = themeNow();
});

// What the extra keys send. The arrows follow the cursor-key mode the
// program asked for (full-screen programs such as vim and less ask for
// the application mode).
const ARROWS = { up: 'A', down: 'B', right: 'C', left: 'D' };

// The control code a character becomes with Ctrl held: Ctrl+C is 0x03,
// Ctrl+[ is Escape, Ctrl+? is DEL. Other characters stay as they are.
export function controlCode(char) {
  if (char.length !== 1) return char;
  const code = char.toUpperCase().charCodeAt(0);
  if (code >= 0x40 && code <= 0x5f) return String.fromCharCode(code - 0x40);
  if (char === ' ' || char === '2') return '\x00';
  if (char === '?' || char === '8') return '\x7f';
  if (char >= '3' && char <= '7') return String.fromCharCode(0x1b + Number(char) - 3);
  return char;
}

// Replaying kept output: what the terminal wrote is kept at the width it
// had then, with the line breaks and cursor moves the program made for that
// width. So the IDE, after clearing the terminal on each (re)connection,
// takes the {"type":"size"} message that comes first as
//   beginReplay(handle, {cols, rows})
// which sets the terminal to that size, and then writes the binary messages
// that follow with writeOutput as usual: they are parsed at the old width.
// The replay ends with endReplay(handle) if the IDE knows where it ends, or
// else by itself once no output came for REPLAY_QUIET_MS (or REPLAY_LONGEST_MS
// after it began, for a program that never stops printing). Ending waits for
// xterm to parse everything written so far, then fits the terminal to its
// container again (xterm reflows the wrapped lines to the new width) and
// calls onResize once, so the server resizes the pseudo-terminal and the
// program redraws. While replaying, fit() waits and onResize stays quiet:
// the server has no use for the old size it sent itself.
const REPLAY_QUIET_MS = 300;
const REPLAY_LONGEST_MS = 3000;

const byteLength = (data) => (typeof data === 'string' ? data.length : data.byteLength);

// Creates a terminal in `container`. Options:
//   label      the accessible name of its input
//   readOnly   typing sends nothing (a program's output)
//   convertEol a bare line feed also returns the cursor to the first column,
//              as program output without a pseudo-terminal needs
//   fontSize   in px (14)
//   onData(text)          what the user typed, ready to send
//   onResize({cols,rows}) after the size in characters changed
//   onCtrlChange(armed)   the sticky Ctrl key was armed or used up
//   onPause(), onResume() output written with writeOutput piles up faster
//                         than xterm draws it: ask the sender to pause, and
//                         later to go on (see flow.js)
//   onLink(url)           a local server's address in the text was clicked
//                         or tapped (see findPreviewLinks)
export function createTerminal(container, {
  label, readOnly = false, convertEol = false, fontSize = 14,
  onData, onResize, onCtrlChange, onPause, onResume, onLink,
} = {}) {
  const term = new Terminal({
    fontFamily: 'ui-monospace, "SF Mono", "Cascadia Mono", "Roboto Mono", "DejaVu Sans Mono", '
      + '"Noto Sans Mono CJK SC", monospace',
    fontSize: clampFontSize(fontSize),
    lineHeight: 1.15,
    scrollback: 5000,
    cursorBlink: !readOnly,
    cursorStyle: readOnly ? 'underline' : 'block',
    cursorInactiveStyle: readOnly ? 'none' : 'outline',
    disableStdin: readOnly,
    convertEol,
    screenReaderMode: true,
    allowProposedApi: false,
    theme: themeNow(),
  });
  const fitAddon = new FitAddon();
  term.loadAddon(fitAddon);
  term.open(container);
  terminals.add(term);
  if (label && term.textarea) term.textarea.setAttribute('aria-label', label);
  const linkProvider = onLink ? term.registerLinkProvider(previewLinks(term, onLink)) : null;

  let ctrl = false;
  const setCtrl = (armed) => {
    if (ctrl === armed) return;
    ctrl = armed;
    if (onCtrlChange) onCtrlChange(armed);
  };
  const dataListener = term.onData((data) => {
    let text = data;
    if (ctrl && data.length === 1) {
      text = controlCode(data);
      setCtrl(false);
    }
    if (onData) onData(text);
  });

  // The replay under way: {generation, began, timer, ending}, or null.
  let replay = null;
  let replays = 0;
  const resizeListener = term.onResize((size) => {
    if (!replay && onResize) onResize(size);
  });

  let disposed = false;
  const fitToContainer = () => {
    if (disposed || !container.isConnected || container.clientWidth === 0 || container.clientHeight === 0) return;
    const wanted = fitAddon.proposeDimensions();
    if (!wanted || Number.isNaN(wanted.cols) || Number.isNaN(wanted.rows)) return;
    if (wanted.cols !== term.cols || wanted.rows !== term.rows) {
      term.resize(Math.max(wanted.cols, 2), Math.max(wanted.rows, 1));
    }
    // The line being typed stays in sight when the on-screen keyboard opens.
    term.scrollToBottom();
  };
  const fit = () => {
    if (!replay) fitToContainer();
  };

  const flow = new FlowControl({ onPause, onResume });
  const endReplay = () => new Promise((resolve) => {
    if (!replay || replay.ending) {
      resolve();
      return;
    }
    const { generation } = replay;
    replay.ending = true;
    clearTimeout(replay.timer);
    // An empty write's callback runs once everything before it is parsed.
    term.write('', () => {
      if (!replay || replay.generation !== generation) {
        resolve();
        return;
      }
      fitToContainer();
      replay = null;
      if (onResize && !disposed) onResize({ cols: term.cols, rows: term.rows });
      resolve();
    });
  });
  const awaitQuiet = () => {
    clearTimeout(replay.timer);
    const left = replay.began + REPLAY_LONGEST_MS - Date.now();
    replay.timer = setTimeout(endReplay, Math.max(0, Math.min(REPLAY_QUIET_MS, left)));
  };
  const beginReplay = ({ cols, rows } = {}) => {
    if (replay) clearTimeout(replay.timer);
    replays += 1;
    replay = {
      generation: replays, began: Date.now(), timer: null, ending: false,
    };
    const wantedCols = Number.isInteger(cols) && cols >= 2 ? Math.min(cols, 1000) : term.cols;
    const wantedRows = Number.isInteger(rows) && rows >= 1 ? Math.min(rows, 1000) : term.rows;
    if (wantedCols !== term.cols || wantedRows !== term.rows) term.resize(wantedCols, wantedRows);
    awaitQuiet();
  };
  const writeOutput = (data) => {
    const bytes = typeof data === 'string' ? data : new Uint8Array(data);
    const length = byteLength(bytes);
    flow.written(length);
    term.write(bytes, () => flow.drained(length));
    if (replay && !replay.ending) awaitQuiet();
  };

  return {
    term,
    fit,
    get cols() { return term.cols; },
    get rows() { return term.rows; },
    // Output for the screen (text or bytes), counted for flow control.
    write: writeOutput,
    writeOutput,
    beginReplay,
    endReplay,
    get replaying() { return replay !== null; },
    setFontSize(px) {
      term.options.fontSize = clampFontSize(px);
      fit();
    },
    // Empties the screen and the scrollback, ready for output sent again.
    clear: () => term.reset(),
    focus: () => term.focus(),
    paste: (text) => term.paste(text),
    get ctrl() { return ctrl; },
    setCtrl,
    // An extra key: 'esc', 'tab', 'up', 'down', 'left', 'right' or text.
    // With Ctrl armed, an arrow moves by word as Ctrl+arrow does.
    key(name) {
      let text;
      if (ARROWS[name]) {
        const final = ARROWS[name];
        if (ctrl) text = `\x1b[1;5${final}`;
        else text = term.modes.applicationCursorKeysMode ? `\x1bO${final}` : `\x1b[${final}`;
        setCtrl(false);
      } else if (name === 'esc') {
        text = '\x1b';
        setCtrl(false);
      } else if (name === 'tab') {
        text = '\t';
        setCtrl(false);
      } else {
        text = name;
      }
      term.input(text, true);
    },
    // The text on the screen and in the scrollback, one string per line.
    lines() {
      const buffer = term.buffer.active;
      const result = [];
      for (let i = 0; i < buffer.length; i += 1) result.push(buffer.getLine(i).translateToString(true));
      while (result.length && result[result.length - 1] === '') result.pop();
      return result;
    },
    dispose() {
      if (disposed) return;
      disposed = true;
      if (replay) clearTimeout(replay.timer);
      replay = null;
      terminals.delete(term);
      dataListener.dispose();
      resizeListener.dispose();
      if (linkProvider) linkProvider.dispose();
      term.dispose();
    },
  };
}

// A line a program printed may wrap over rows; an address in it is one
// link however it wrapped. Longer lines are not searched.
const LONGEST_LINE_ROWS = 16;

// The text of the printed line that buffer row `row` (0-based) is part of,
// with the cell of each of its characters (1-based, as xterm's ranges are):
// a wide character takes two cells.
function printedLine(buffer, row) {
  let first = row;
  while (first > 0 && row - first < LONGEST_LINE_ROWS && buffer.getLine(first)?.isWrapped) first -= 1;
  let text = '';
  const cells = [];
  for (let y = first; y < buffer.length && y - first < LONGEST_LINE_ROWS; y += 1) {
    const line = buffer.getLine(y);
    if (!line || (y > first && !line.isWrapped)) break;
    for (let x = 0; x < line.length; x += 1) {
      const cell = line.getCell(x);
      if (!cell || cell.getWidth() === 0) continue;
      const chars = cell.getChars() || ' ';
      text += chars;
      for (let i = 0; i < chars.length; i += 1) cells.push({ x: x + 1, y: y + 1 });
    }
  }
  return { text, cells };
}

// The links xterm underlines under the pointer and activates on a click
// or a tap (its public link provider API).
function previewLinks(term, onLink) {
  return {
    provideLinks(y, callback) {
      const { text, cells } = printedLine(term.buffer.active, y - 1);
      const links = findPreviewLinks(text)
        .map(({ start, end, url }) => ({
          range: { start: cells[start], end: cells[end - 1] },
          text: url,
          activate: () => onLink(url),
        }))
        .filter(({ range }) => range.start && range.end && range.start.y <= y && range.end.y >= y);
      callback(links.length ? links : undefined);
    },
  };
}

function clampFontSize(px) {
  const size = Number(px);
  return Number.isFinite(size) ? Math.min(32, Math.max(8, Math.round(size))) : 14;
}

// The colours of every terminal: 'system', 'light' or 'dark'.
export function setTheme(theme) {
  chosenTheme = theme;
  for (const term of terminals) term.options.theme = themeNow();
}

// The same as the handle's methods, for callers that hold a handle from
// createTerminal and prefer functions.
export const writeOutput = (handle, data) => handle.writeOutput(data);
export const beginReplay = (handle, size) => handle.beginReplay(size);
export const endReplay = (handle) => handle.endReplay();
