// Quillo's sign-in flow: set-up on the first visit, login afterwards, then
// the IDE (./ide/main.js, a chunk of its own loaded only once signed in).
import { LANG, t } from './i18n/index.js';
import { api, errorText, onSignedOut } from './api.js';

const screens = ['loading', 'offline', 'setup', 'login', 'shell'];

// The page is written in English; elements marked data-i18n get their text
// in the page's language.
function translatePage() {
  document.documentElement.lang = LANG === 'zh' ? 'zh-CN' : 'en';
  if (LANG === 'en') return;
  for (const element of document.querySelectorAll('[data-i18n]')) {
    element.textContent = t(element.dataset.i18n);
  }
}

function show(name) {
  for (const id of screens) {
    document.getElementById(id).hidden = id !== name;
  }
  // The IDE fills the screen and scrolls inside; the forms scroll the page.
  document.body.classList.toggle('ide-open', name === 'shell');
  const field = document.querySelector(`#${name} input:not([type=file])`);
  if (field) field.focus();
}

function setError(container, text) {
  const box = container.querySelector('.form-error');
  box.textContent = text || '';
  box.hidden = !text;
}

async function refresh() {
  let answer;
  try {
    answer = await api('/api/auth/status');
  } catch (_) {
    show('offline');
    return;
  }
  if (answer.status !== 200) {
    show('offline');
  } else if (!answer.body.password_set) {
    show('setup');
  } else if (!answer.body.authenticated) {
    show('login');
  } else {
    show('shell');
    startIde();
  }
}

// The IDE's code and style sheet come only after signing in. Its chunk
// is named by its content; the style sheet carries the page's token.
function assetVersion() {
  const script = document.querySelector('script[src^="/app.js"]');
  return script ? new URL(script.src).searchParams.get('v') || '' : '';
}

let ideLoading = null;

function startIde() {
  if (!ideLoading) {
    const style = document.createElement('link');
    style.rel = 'stylesheet';
    style.href = `/ide.css?v=${assetVersion()}`;
    document.head.append(style);
    ideLoading = import('./ide/main.js');
  }
  ideLoading.then((ide) => ide.start({ version: assetVersion(), refresh, logout })).catch((error) => {
    console.error(error);
    ideLoading = null;
    show('offline');
  });
}

// Submits a form's password to `path`; on success the page moves on.
function bindPasswordForm(formId, path, validate) {
  const form = document.getElementById(formId);
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    const problem = validate ? validate(form) : '';
    if (problem) {
      setError(form, problem);
      return;
    }
    const button = form.querySelector('button[type=submit]');
    button.disabled = true;
    setError(form, '');
    try {
      const answer = await api(path, { password: form.elements.password.value });
      if (answer.status === 200 && answer.body.success) {
        form.reset();
        await refresh();
      } else {
        setError(form, errorText(answer));
        if (answer.status === 400) await refreshIfStateChanged(formId);
      }
    } catch (_) {
      setError(form, t('noAnswer'));
    } finally {
      button.disabled = false;
    }
  });
}

// A set-up refused because another browser set a password first (or a login
// refused because the password was removed) should lead to the right form.
async function refreshIfStateChanged(formId) {
  try {
    const answer = await api('/api/auth/status');
    const expected = formId === 'setup-form' ? false : true;
    if (answer.status === 200 && answer.body.password_set !== expected) {
      const message = document.querySelector(`#${formId} .form-error`).textContent;
      await refresh();
      const visible = document.querySelector('.screen:not([hidden]) form');
      if (visible) setError(visible, message);
    }
  } catch (_) {
    // The error already shown is enough.
  }
}

// Resolves to an error text, or '' once logged out and the login form shows.
async function logout() {
  try {
    const answer = await api('/api/auth/logout', {});
    if (answer.status !== 200) return errorText(answer);
  } catch (_) {
    return t('noAnswer');
  }
  await refresh();
  return '';
}

onSignedOut(() => refresh());
translatePage();
bindPasswordForm('setup-form', '/api/auth/setup', (form) =>
  form.elements.password.value !== form.elements.confirm.value
    ? t('mismatch')
    : '');
bindPasswordForm('login-form', '/api/auth/login');

document.getElementById('retry').addEventListener('click', refresh);
refresh();
