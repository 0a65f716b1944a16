// Settings that follow the user to every device: the server keeps them
// (/api/files/settings), the IDE reads them when it starts and whenever the
// page comes back into view, applies them to the page, the editors and the
// terminals, and changes them one at a time from the Settings sheet.
import { problem, request } from '../api.js';
import { t } from '../i18n/index.js';
import { el } from './dom.js';
import { keyButton, keyLabel } from './keys.js';
import { CHOICES, EDITOR_KEYS, TERMINAL_KEYS, normalize } from './settings_model.js';
import { openSheet, toast } from './sheet.js';

export const settings = normalize(null);
const listeners = new Set();

// `listener(settings)` runs now and after every change.
export function onSettings(listener) {
  listeners.add(listener);
  listener(settings);
}

function apply(next) {
  Object.assign(settings, next);
  const root = document.documentElement;
  if (settings.theme === 'system') delete root.dataset.theme;
  else root.dataset.theme = settings.theme;
  for (const listener of listeners) listener(settings);
}

export async function loadSettings() {
  const answer = await request('/api/files/settings');
  if (answer.status === 200) apply(normalize(answer.body.settings));
}

// Only the changed key is sent, so that two devices that change different
// settings do not undo each other.
async function change(name, value) {
  apply(normalize({ ...settings, [name]: value }));
  const answer = await request('/api/files/settings', { settings: { [name]: value } }, 'PUT');
  if (answer.status === 200) apply(normalize(answer.body.settings));
  else toast(t('settingsFailed', { error: problem(answer) }));
}

let fieldCount = 0;

function choice(name, label, options) {
  const id = `setting-${name}`;
  const select = el(`select#${id}`, { name });
  for (const [value, text] of options) {
    select.append(el('option', { value: String(value), text, selected: settings[name] === value }));
  }
  select.addEventListener('change', () => {
    const picked = options.find(([value]) => String(value) === select.value);
    if (picked) change(name, picked[0]);
  });
  return el('div.setting', {}, el('label', { for: id, text: label }), select);
}

function toggle(name, label) {
  const id = `setting-${name}`;
  const box = el(`input#${id}`, { type: 'checkbox', name, checked: settings[name] });
  box.addEventListener('change', () => change(name, box.checked));
  return el('div.setting.setting-toggle', {}, box, el('label', { for: id, text: label }));
}

// A row of the extra keys, each one pressed (shown) or not.
function keyPicker(name, label, known) {
  fieldCount += 1;
  const headingId = `keys-heading-${fieldCount}`;
  const group = el('div.key-picker', { role: 'group', 'aria-labelledby': headingId });
  for (const key of known) {
    const button = keyButton(key);
    button.setAttribute('aria-pressed', settings[name].includes(key) ? 'true' : 'false');
    button.setAttribute('aria-label', keyLabel(key));
    button.addEventListener('click', () => {
      const on = button.getAttribute('aria-pressed') !== 'true';
      button.setAttribute('aria-pressed', on ? 'true' : 'false');
      const chosen = [...group.querySelectorAll('[aria-pressed="true"]')].map((item) => item.dataset.key);
      change(name, chosen);
    });
    group.append(button);
  }
  return el('div.setting.setting-keys', {}, el('p.setting-label', { id: headingId, text: label }), group);
}

const sizes = (list) => list.map((px) => [px, `${px} px`]);

export function openSettings() {
  return openSheet(t('settings'), [
    el('h2', { text: t('settings') }),
    el('p.muted', { text: t('settingsNote') }),
    el('div.settings-form', {},
      choice('theme', t('theme'), CHOICES.theme.map((value) => [value, t(`theme${value[0].toUpperCase()}${value.slice(1)}`)])),
      choice('editorFontSize', t('editorFontSize'), sizes(CHOICES.editorFontSize)),
      choice('terminalFontSize', t('terminalFontSize'), sizes(CHOICES.terminalFontSize)),
      choice('tabSize', t('tabSize'), CHOICES.tabSize.map((n) => [n, String(n)])),
      toggle('wordWrap', t('wordWrap')),
      choice('autoSave', t('autoSave'), [['off', t('autoSaveOff')], ['pause', t('autoSavePause')]]),
      keyPicker('editorKeys', t('editorKeysLabel'), EDITOR_KEYS),
      keyPicker('terminalKeys', t('terminalKeysLabel'), TERMINAL_KEYS)),
    el('div.sheet-actions.row', {}, el('button.sheet-item', { type: 'submit', value: '', text: t('close') })),
  ]);
}
