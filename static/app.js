// Quillo's sign-in flow: set-up on the first visit, login afterwards, and the
// signed-in shell. The server's own wording is shown for every API error.
'use strict';

const MODULES = ['files', 'run', 'git', 'chat', 'venv', 'update', 'server_mgmt', 'browser',
  'notebook', 'debug', 'qarn'];

const screens = ['loading', 'offline', 'setup', 'login', 'shell'];

function show(name) {
  for (const id of screens) {
    document.getElementById(id).hidden = id !== name;
  }
  const field = document.querySelector(`#${name} input`);
  if (field) field.focus();
}

// Every API answer as {status, body}; a body that is not JSON becomes {}.
async function api(path, payload) {
  const options = { credentials: 'same-origin', headers: {} };
  if (payload !== undefined) {
    options.method = 'POST';
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(payload);
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
    ? answer.body.error
    : `The server answered with status ${answer.status}.`;
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
    loadServerStatus();
  }
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
      setError(form, 'The server does not answer.');
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

async function loadServerStatus() {
  const list = document.getElementById('modules');
  list.replaceChildren();
  const rows = [['Health', '/api/health', (b) => b.status === 'ok']].concat(
    MODULES.map((name) => [name, `/api/${name}/module`, (b) => b.module === name]));
  for (const [label, path, healthy] of rows) {
    const item = document.createElement('li');
    const name = document.createElement('span');
    const state = document.createElement('span');
    name.textContent = label;
    state.textContent = '…';
    item.append(name, state);
    list.append(item);
    api(path).then((answer) => {
      if (answer.status === 401) {
        refresh();
        return;
      }
      const ok = answer.status === 200 && healthy(answer.body);
      state.textContent = ok ? 'ready' : 'not loaded';
      state.className = ok ? 'ok' : 'bad';
    }).catch(() => {
      state.textContent = 'no answer';
      state.className = 'bad';
    });
  }
}

bindPasswordForm('setup-form', '/api/auth/setup', (form) =>
  form.elements.password.value !== form.elements.confirm.value
    ? 'The two passwords are not the same.'
    : '');
bindPasswordForm('login-form', '/api/auth/login');

document.getElementById('logout').addEventListener('click', async () => {
  const shell = document.getElementById('shell');
  setError(shell, '');
  try {
    const answer = await api('/api/auth/logout', {});
    if (answer.status !== 200) {
      setError(shell, errorText(answer));
      return;
    }
  } catch (_) {
    setError(shell, 'The server does not answer.');
    return;
  }
  await refresh();
});

document.getElementById('retry').addEventListener('click', refresh);

refresh();
