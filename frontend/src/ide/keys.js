// The rows of extra keys above the on-screen keyboard (the editor's and the
// terminal's): which keys exist, how they look, and a row that shows there
// is more of it when it does not fit the screen.
import { t } from '../i18n/index.js';
import { el, icon } from './dom.js';

// key → [what the key shows, the text key of its name (none: it shows its name)]
export const KEY_LOOKS = {
  tab: ['⇥', 'keyTab'],
  left: ['←', 'keyLeft'],
  up: ['↑', 'keyUp'],
  down: ['↓', 'keyDown'],
  right: ['→', 'keyRight'],
  home: ['⇱', 'keyHome'],
  end: ['⇲', 'keyEnd'],
  pageUp: ['⇞', 'keyPageUp'],
  pageDown: ['⇟', 'keyPageDown'],
  undo: ['↶', 'undo'],
  redo: ['↷', 'redo'],
  ctrl: ['Ctrl', 'keyCtrl'],
  esc: ['Esc', 'keyEsc'],
  '|': ['|', 'keyPipe'],
  '~': ['~', 'keyTilde'],
  '/': ['/', 'keySlash'],
  '-': ['-', 'keyMinus'],
  paste: [null, 'paste'],
};

export function keyLabel(key) {
  const look = KEY_LOOKS[key];
  return look ? t(look[1]) : key;
}

export function keyButton(key, extraClass = '') {
  const [text] = KEY_LOOKS[key] || [key];
  const label = keyLabel(key);
  const button = el(`button.key${extraClass}`, { type: 'button', 'aria-label': label, title: label, 'data-key': key },
    text === null ? icon(key) : text);
  // Keeps the focus, and so the on-screen keyboard, where the user types.
  button.addEventListener('pointerdown', (event) => event.preventDefault());
  button.addEventListener('mousedown', (event) => event.preventDefault());
  return button;
}

// Marks a row whose keys do not all fit: a fade at the side where more
// keys wait, so that a swipe is the obvious next step.
export function showOverflow(row) {
  const update = () => {
    const more = row.scrollWidth - row.clientWidth;
    row.classList.toggle('more-right', more > 1 && row.scrollLeft < more - 1);
    row.classList.toggle('more-left', row.scrollLeft > 1);
  };
  row.addEventListener('scroll', update, { passive: true });
  new ResizeObserver(update).observe(row);
  return update;
}

// Fills `row` with the buttons for `keys`, each calling onKey(key, button).
export function fillRow(row, keys, onKey) {
  row.replaceChildren(...keys.map((key) => {
    const button = keyButton(key, key === 'paste' ? '.key-paste' : '');
    button.addEventListener('click', () => onKey(key, button));
    return button;
  }));
  row.scrollLeft = 0;
}
