// Quillo's sign-in flow: set-up on the first visit, login afterwards, then
// the IDE (static/ide.js, loaded only once signed in). The page speaks the
// browser's language: Chinese for zh*, English otherwise.
'use strict';

const screens = ['loading', 'offline', 'setup', 'login', 'shell'];

const LANG = (navigator.languages && navigator.languages.length
  ? navigator.languages : [navigator.language || 'en'])[0].toLowerCase().startsWith('zh')
  ? 'zh' : 'en';

// The sign-in page's strings; static/ide.js adds its own with addStrings.
const STRINGS = {
  en: {
    connecting: 'Connecting to the server…',
    offlineTitle: 'The server does not answer',
    offlineText: 'Check that Quillo is still running, then try again.',
    retry: 'Try again',
    setupTitle: 'Choose a password',
    setupText: 'This is the first visit. Everyone who opens this IDE will need this password.',
    password: 'Password',
    repeatPassword: 'Repeat the password',
    setPassword: 'Set password',
    loginTitle: 'Log in',
    loginText: 'Enter the password of this IDE.',
    logIn: 'Log in',
    mismatch: 'The two passwords are not the same.',
    noAnswer: 'The server does not answer.',
    statusError: 'The server answered with status {status}.',
  },
  zh: {
    connecting: '正在连接服务器…',
    offlineTitle: '服务器没有响应',
    offlineText: '请确认 Quillo 仍在运行，然后重试。',
    retry: '重试',
    setupTitle: '设置密码',
    setupText: '这是第一次访问。以后打开此 IDE 的每个人都需要这个密码。',
    password: '密码',
    repeatPassword: '再次输入密码',
    setPassword: '设置密码',
    loginTitle: '登录',
    loginText: '请输入此 IDE 的密码。',
    logIn: '登录',
    mismatch: '两次输入的密码不一致。',
    noAnswer: '服务器没有响应。',
    statusError: '服务器返回了状态码 {status}。',
  },
};

// The server's own fixed messages are Chinese; an English page shows them
// in English. Any other text is shown as the server wrote it.
const SERVER_TEXTS = {
  '密码已设置，不能重复设置': 'A password is already set; it cannot be set again.',
  '密码不能为空': 'The password cannot be empty.',
  '密码设置成功': 'The password is set.',
  '尚未设置密码': 'No password has been set yet.',
  '登录尝试过于频繁，请稍后再试': 'Too many login attempts; please try again later.',
  '密码错误': 'Wrong password.',
  '登录成功': 'Logged in.',
  '已退出登录': 'Logged out.',
  '未登录': 'Not logged in.',
  '请先在本机设置密码': 'Set the password on this device first.',
};

function t(key, params) {
  let text = STRINGS[LANG][key] ?? STRINGS.en[key] ?? key;
  if (params) text = text.replace(/\{(\w+)\}/g, (_, name) => String(params[name] ?? ''));
  return text;
}

function addStrings(more) {
  for (const lang of Object.keys(STRINGS)) Object.assign(STRINGS[lang], more[lang]);
}

function serverText(text) {
  return LANG === 'en' && SERVER_TEXTS[text] ? SERVER_TEXTS[text] : text;
}

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

// Every API answer as {status, body}; a body that is not JSON becomes {}.
// `payload` is sent as JSON, with POST unless `method` says otherwise.
async function api(path, payload, method) {
  const options = { credentials: 'same-origin', headers: {} };
  if (payload !== undefined) {
    options.method = method || 'POST';
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(payload);
  } else if (method) {
    options.method = method;
  }
  const response = await fetch(path, options);
  let body = {};
  try {
    body = await response.json();
  } catch (_) {
    body = {};
  }
  return { status: response.status, body };
}

function errorText(answer) {
  return answer.body && typeof answer.body.error === 'string'
    ? serverText(answer.body.error)
    : t('statusError', { status: answer.status });
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

// The IDE's script and style sheet come only after signing in, with the
// same cache-busting token the page gave this script.
const assetVersion = new URL(document.currentScript.src).searchParams.get('v') || '';
let ideLoading = null;

function startIde() {
  if (!ideLoading) {
    ideLoading = new Promise((resolve, reject) => {
      const style = document.createElement('link');
      style.rel = 'stylesheet';
      style.href = `/ide.css?v=${assetVersion}`;
      document.head.append(style);
      const script = document.createElement('script');
      script.src = `/ide.js?v=${assetVersion}`;
      script.onload = resolve;
      script.onerror = reject;
      document.head.append(script);
    });
  }
  ideLoading.then(() => window.quilloIde.start()).catch(() => {
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

window.quillo = { lang: LANG, t, addStrings, api, errorText, serverText, refresh, logout };

translatePage();
bindPasswordForm('setup-form', '/api/auth/setup', (form) =>
  form.elements.password.value !== form.elements.confirm.value
    ? t('mismatch')
    : '');
bindPasswordForm('login-form', '/api/auth/login');

document.getElementById('retry').addEventListener('click', refresh);
refresh();
