// Terminals and program output: xterm.js set up for phones and desktops.
// static/ide.js imports this bundle (and links terminal.css, xterm's style
// sheet, beside it) the first time a terminal or the run panel opens.
import { Terminal } from '@xterm/xterm';
import { FitAddon } from '@xterm/addon-fit';
import '@xterm/xterm/css/xterm.css';

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
const themeNow = () => (darkQuery.matches ? THEMES.dark : THEMES.light);

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

// Creates a terminal in `container`. Options:
//   label      the accessible name of its input
//   readOnly   typing sends nothing (a program's output)
//   convertEol a bare line feed also returns the cursor to the first column,
//              as program output without a pseudo-terminal needs
//   onData(text)          what the user typed, ready to send
//   onResize({cols,rows}) after the size in characters changed
//   onCtrlChange(armed)   the sticky Ctrl key was armed or used up
export function createTerminal(container, {
  label, readOnly = false, convertEol = false, onData, onResize, onCtrlChange,
} = {}) {
  const term = new Terminal({
    fontFamily: 'ui-monospace, "SF Mono", "Cascadia Mono", "Roboto Mono", "DejaVu Sans Mono", '
      + '"Noto Sans Mono CJK SC", monospace',
    fontSize: 14,
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
  const resizeListener = onResize ? term.onResize(onResize) : null;

  let disposed = false;
  const fit = () => {
    if (disposed || !container.isConnected || container.clientWidth === 0 || container.clientHeight === 0) return;
    const wanted = fitAddon.proposeDimensions();
    if (!wanted || Number.isNaN(wanted.cols) || Number.isNaN(wanted.rows)) return;
    if (wanted.cols !== term.cols || wanted.rows !== term.rows) {
      term.resize(Math.max(wanted.cols, 2), Math.max(wanted.rows, 1));
    }
    // The line being typed stays in sight when the on-screen keyboard opens.
    term.scrollToBottom();
  };

  return {
    term,
    fit,
    get cols() { return term.cols; },
    get rows() { return term.rows; },
    write: (data) => term.write(typeof data === 'string' ? data : new Uint8Array(data)),
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
      terminals.delete(term);
      dataListener.dispose();
      if (resizeListener) resizeListener.dispose();
      term.dispose();
    },
  };
}
