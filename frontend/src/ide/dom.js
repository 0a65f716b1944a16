// Building the page: elements, icons, and sizes and times as people read
// them.
import { LOCALE, t } from '../i18n/index.js';

const ICONS = {
  folder: 'M3 6.5A1.5 1.5 0 0 1 4.5 5h4l2 2h9A1.5 1.5 0 0 1 21 8.5v9a1.5 1.5 0 0 1-1.5 1.5h-15A1.5 1.5 0 0 1 3 17.5z',
  file: 'M6 3h8l4 4v14H6zM14 3v4h4',
  link: 'M14 4h6v6M20 4l-9 9M18 14v5a1 1 0 0 1-1 1H5a1 1 0 0 1-1-1V7a1 1 0 0 1 1-1h5',
  more: 'M12 5.5v.01M12 12v.01M12 18.5v.01',
  plus: 'M12 5v14M5 12h14',
  back: 'M15 5l-7 7 7 7',
  forward: 'M9 5l7 7-7 7',
  reload: 'M19.5 12a7.5 7.5 0 1 1-2.2-5.3M19.5 4.5v3.5H16',
  globe: 'M12 3a9 9 0 1 0 0 18 9 9 0 0 0 0-18zM3 12h18M12 3c2.4 2.6 3.6 5.6 3.6 9s-1.2 6.4-3.6 9M12 3c-2.4 2.6-3.6 5.6-3.6 9s1.2 6.4 3.6 9',
  wide: 'M3 5h18v11H3zM9 20h6M12 16v4',
  menu: 'M4 7h16M4 12h16M4 17h16',
  close: 'M6 6l12 12M18 6L6 18',
  trash: 'M4 7h16M9 7V4h6v3M6 7l1 13h10l1-13',
  terminal: 'M4 5h16v14H4zM7.5 9.5l3 2.5-3 2.5M12.5 15h4',
  play: 'M8 5.5v13l10.5-6.5z',
  paste: 'M9 4h6v3H9zM7 5.5H5.5V20h13V5.5H17',
  search: 'M10.5 4a6.5 6.5 0 1 0 0 13 6.5 6.5 0 0 0 0-13zM15.5 15.5L20 20',
  goto: 'M4 12h11M11 7l5 5-5 5M20 5v14',
  branch: 'M7 4v11M7 15a2.5 2.5 0 1 0 0 5 2.5 2.5 0 0 0 0-5zM17 4a2.5 2.5 0 1 0 0 5 2.5 2.5 0 0 0 0-5zM17 9c0 4-10 2.5-10 6',
  key: 'M8 10.5a4.5 4.5 0 1 0 0 9 4.5 4.5 0 0 0 0-9zM11.2 11.8L20 3M16.5 6.5l2.5 2.5M14 9l2 2',
  undo: 'M9 7L4.5 11.5 9 16M5 11.5h9.5a5 5 0 0 1 0 10H11',
  settings: 'M12 9a3 3 0 1 0 0 6 3 3 0 0 0 0-6zM12 3v3M12 18v3M3 12h3M18 12h3M5.6 5.6l2.1 2.1M16.3 16.3l2.1 2.1M5.6 18.4l2.1-2.1M16.3 7.7l2.1-2.1',
};

const iconTemplates = new Map();
export function icon(name) {
  if (!iconTemplates.has(name)) {
    const span = document.createElement('span');
    span.className = `icon icon-${name}`;
    span.setAttribute('aria-hidden', 'true');
    span.innerHTML = `<svg viewBox="0 0 24 24" width="22" height="22" fill="none" stroke="currentColor"
      stroke-width="${name === 'more' ? 3.2 : 1.8}" stroke-linecap="round" stroke-linejoin="round"><path d="${ICONS[name]}"/></svg>`;
    iconTemplates.set(name, span);
  }
  return iconTemplates.get(name).cloneNode(true);
}

// el('button.quiet#id', {attrs}, ...children): children are nodes or text.
export function el(spec, attrs, ...children) {
  const [tagAndClasses, id] = spec.split('#');
  const [tag, ...classes] = tagAndClasses.split('.');
  const node = document.createElement(tag);
  if (id) node.id = id;
  if (classes.length) node.className = classes.join(' ');
  for (const [key, value] of Object.entries(attrs || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else if (key === 'text') node.textContent = value;
    else node.setAttribute(key, value === true ? '' : value);
  }
  node.append(...children.filter((child) => child !== null && child !== undefined));
  return node;
}

export function iconButton(name, label, onclick, extraClass) {
  return el(`button.icon-button${extraClass ? '.' + extraClass : ''}`,
    { type: 'button', 'aria-label': label, title: label, onclick }, icon(name));
}

export function formatSize(bytes) {
  if (typeof bytes !== 'number') return '';
  const units = ['B', 'KB', 'MB', 'GB', 'TB'];
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return `${unit === 0 || value >= 10 ? Math.round(value) : value.toFixed(1)} ${units[unit]}`;
}

const dateFormat = new Intl.DateTimeFormat(LOCALE, { dateStyle: 'medium', timeStyle: 'short' });
export const formatTime = (seconds) => (typeof seconds === 'number' ? dateFormat.format(new Date(seconds * 1000)) : '');

export function formatDuration(ms) {
  if (typeof ms !== 'number') return '';
  if (ms < 60000) return t('seconds', { n: (ms / 1000).toFixed(1) });
  const total = Math.round(ms / 1000);
  return t('minutes', { m: Math.floor(total / 60), s: total % 60 });
}

// A line of status with, at times, one button.
export function statusLine(className) {
  const text = el('span.stream-text');
  const action = el('button.quiet.stream-action', { type: 'button', hidden: true });
  const node = el(`div.stream-status${className ? '.' + className : ''}`, { role: 'status', 'aria-live': 'polite' }, text, action);
  return {
    node,
    set(message, button) {
      text.textContent = message || '';
      action.hidden = !button;
      action.onclick = null;
      if (button) {
        action.textContent = button.label;
        action.setAttribute('aria-label', button.label);
        action.onclick = button.run;
      }
      node.classList.toggle('empty', !message && !button);
    },
  };
}
