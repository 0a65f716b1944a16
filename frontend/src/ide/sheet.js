// The bottom sheet (menus, questions, names) and the toast.
// Shows `content` in the sheet; resolves to the value of the button that
// closed it ('' for Escape, a tap outside or Cancel).
import { t } from '../i18n/index.js';
import { el } from './dom.js';
import { dom } from './state.js';

export function openSheet(label, content, onSubmit) {
  const dialog = dom.dialog;
  if (dialog.open) dialog.close('');
  const form = el('form', { method: 'dialog' }, ...content);
  if (onSubmit) form.addEventListener('submit', onSubmit);
  dialog.replaceChildren(form);
  dialog.setAttribute('aria-label', label);
  dialog.returnValue = '';
  return new Promise((resolve) => {
    dialog.addEventListener('close', () => resolve(dialog.returnValue), { once: true });
    dialog.showModal();
  });
}

export const sheetButton = (value, label, extra = '') =>
  el(`button.sheet-item${extra}`, { type: 'submit', value, text: label });
export const cancelButton = () => el('button.sheet-item.cancel', {
  type: 'button', text: t('cancel'), onclick: () => dom.dialog.close(''),
});

// A question with a few answers: resolves to the chosen value, or ''.
export function choose(title, text, choices) {
  return openSheet(title, [
    el('h2', { text: title }),
    text ? el('p', { text }) : null,
    el('div.sheet-actions', {},
      ...choices.map(([value, label, extra]) => sheetButton(value, label, extra ? `.${extra}` : '')),
      cancelButton()),
  ]);
}

// Asks for a file name; resolves to it, or null.
export async function askName(title, label, initial) {
  const input = el('input', { type: 'text', value: initial, autocomplete: 'off', autocapitalize: 'off', spellcheck: 'false', enterkeyhint: 'done' });
  const id = `name-${Date.now()}`;
  input.id = id;
  const error = el('p.form-error', { role: 'alert', hidden: true });
  const valid = () => {
    const name = input.value.trim();
    return name && name !== '.' && name !== '..' && !name.includes('/');
  };
  const shown = openSheet(title, [
    el('h2', { text: title }),
    el('label', { for: id, text: label }), input, error,
    el('div.sheet-actions.row', {}, sheetButton('ok', title, '.primary'), cancelButton()),
  ], (event) => {
    if (event.submitter && event.submitter.value !== 'ok') return;
    if (!valid()) {
      event.preventDefault();
      error.textContent = t('badName');
      error.hidden = false;
    } else {
      dom.dialog.returnValue = 'ok';
    }
  });
  // Select the name without its extension, ready to be typed over.
  const dot = initial.lastIndexOf('.');
  input.focus();
  input.setSelectionRange(0, dot > 0 ? dot : initial.length);
  return (await shown) === 'ok' ? input.value.trim() : null;
}

export let toastTimer = null;
export function toast(text, action) {
  clearTimeout(toastTimer);
  dom.toastText.textContent = text;
  dom.toastAction.hidden = !action;
  dom.toastAction.onclick = null;
  if (action) {
    dom.toastAction.textContent = action.label;
    dom.toastAction.onclick = () => {
      dom.toast.hidden = true;
      action.run();
    };
  }
  dom.toast.hidden = false;
  toastTimer = setTimeout(() => { dom.toast.hidden = true; }, action ? 8000 : 5000);
}
