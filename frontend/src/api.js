// Talking to the server's JSON API. Every answer is {status, body}; a body
// that is not JSON becomes {}, and a server that does not answer becomes
// status 0, so callers handle one shape.
import { t, serverText } from './i18n/index.js';

let signedOut = () => {};

// What to do when the server says the session is gone (the sign-in flow
// shows the login form again).
export function onSignedOut(handler) {
  signedOut = handler;
}

async function answerOf(response) {
  let body = {};
  try {
    body = await response.json();
  } catch (_) {
    body = {};
  }
  return { status: response.status, body };
}

// `payload` is sent as JSON, with POST unless `method` says otherwise.
// Throws when the server cannot be reached.
export async function api(path, payload, method) {
  const options = { credentials: 'same-origin', headers: {} };
  if (payload !== undefined) {
    options.method = method || 'POST';
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(payload);
  } else if (method) {
    options.method = method;
  }
  return answerOf(await fetch(path, options));
}

export function errorText(answer) {
  return answer.body && typeof answer.body.error === 'string'
    ? serverText(answer.body.error)
    : t('statusError', { status: answer.status });
}

export const problem = (answer) => (answer.status === 0 ? t('noAnswer') : errorText(answer));

// The IDE's calls: a 401 leads back to the login form, and a server that
// does not answer is status 0 rather than an exception.
export async function request(path, payload, method) {
  try {
    const answer = await api(path, payload, method);
    if (answer.status === 401) signedOut();
    return answer;
  } catch (_) {
    return { status: 0, body: { error: t('noAnswer') } };
  }
}

// A raw body (an uploaded file) sent with POST.
export async function upload(url, body) {
  try {
    const answer = await answerOf(await fetch(url, { method: 'POST', credentials: 'same-origin', body }));
    if (answer.status === 401) signedOut();
    return answer;
  } catch (_) {
    return { status: 0, body: {} };
  }
}
