// Running the open file: its output, its input line, stopping it.
import { problem, request } from '../api.js';
import { t } from '../i18n/index.js';
import { openBrowserView } from './browser_view.js';
import { el, formatDuration, iconButton, statusLine } from './dom.js';
import { toast } from './sheet.js';
import { CLIENT, SERVER } from './protocol.js';
import { settings } from './settings.js';
import { dom } from './state.js';
import { Stream, encoder } from './stream.js';
import { save } from './tabs.js';
import { fitOnResize, loadTerminal } from './terminal_view.js';

export const runs = { info: null, running: false, handle: null, stream: null, fileName: '' };

export function buildRunPanel() {
  dom.runTitle = el('h2.run-title');
  dom.runStatus = statusLine('run-status');
  dom.runStop = el('button.quiet.run-stop', { type: 'button', 'aria-label': t('stopProgram'), title: t('stopProgram'), text: t('stop'), onclick: () => stopRun() });
  dom.runOutput = el('div.run-output');
  fitOnResize(dom.runOutput, () => runs.handle && runs.handle.fit());
  dom.runInput = el('input.run-line', {
    type: 'text', 'aria-label': t('programInput'), placeholder: t('programInput'),
    autocomplete: 'off', autocapitalize: 'off', autocorrect: 'off', spellcheck: 'false', enterkeyhint: 'send',
  });
  dom.runEof = el('button.quiet.run-eof', { type: 'button', 'aria-label': t('endOfInput'), title: t('endOfInput'), text: '^D', onclick: () => endRunInput() });
  const form = el('form.run-input', {},
    dom.runInput,
    el('button.quiet.run-send', { type: 'submit', 'aria-label': t('send'), title: t('send'), text: t('send') }),
    dom.runEof);
  // Send and ^D leave the focus in the input line: a tap that took it away
  // would close the on-screen keyboard and move the buttons from under
  // the finger before the tap ends, and the tap would land elsewhere.
  for (const button of form.querySelectorAll('button')) {
    button.addEventListener('pointerdown', (event) => event.preventDefault());
    button.addEventListener('mousedown', (event) => event.preventDefault());
  }
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    sendRunLine();
  });
  return el('section.run-panel', { 'aria-label': t('runOutput'), hidden: true },
    el('div.run-head', {}, dom.runTitle, dom.runStop,
      iconButton('close', t('closeOutput'), () => { dom.runPanel.hidden = true; }, 'run-close')),
    dom.runStatus.node, dom.runOutput, form);
}

export function setRunning(running) {
  runs.running = running;
  dom.runStop.disabled = !running;
  dom.runInput.disabled = !running;
  dom.runEof.disabled = !running;
  dom.runPanel.querySelector('.run-send').disabled = !running;
}

export async function runFile(tab) {
  if (tab.entry.raw) {
    toast(t('cannotRun'));
    return;
  }
  if (tab.dirty && !(await save(tab))) return;
  let module;
  try {
    module = await loadTerminal();
  } catch (_) {
    toast(t('terminalFailed'));
    return;
  }
  // Running again replaces the run before, which need not go on.
  if (runs.info && runs.running) request(`/api/run/runs/${encodeURIComponent(runs.info.id)}/stop`, {});
  dom.run.disabled = true;
  const answer = await request('/api/run/start', { path: tab.entry.path });
  dom.run.disabled = false;
  if (answer.status !== 201) {
    toast(`${tab.entry.name}: ${problem(answer)}`);
    return;
  }
  dom.runPanel.hidden = false;
  if (!runs.handle) {
    runs.handle = module.createTerminal(dom.runOutput, {
      label: t('runOutput'), readOnly: true, convertEol: true, fontSize: settings.terminalFontSize,
      onLink: (url) => openBrowserView(url),
      // A program that prints faster than the page can draw waits for it.
      onPause: () => runs.stream && runs.stream.signal(JSON.stringify({ type: CLIENT.pause })),
      onResume: () => runs.stream && runs.stream.signal(JSON.stringify({ type: CLIENT.resume })),
    });
  }
  runs.handle.fit();
  attachRun(answer.body, tab.entry.name);
}

export function attachRun(info, fileName) {
  if (runs.stream) runs.stream.close();
  runs.info = info;
  runs.fileName = fileName;
  dom.runTitle.textContent = `${t('runOutput')} · ${fileName}`;
  dom.runTitle.title = info.path || fileName;
  runs.handle.clear();
  dom.runInput.value = '';
  setRunning(true);
  dom.runStatus.set(t('starting'));
  const stream = new Stream(`/api/run/runs/${encodeURIComponent(info.id)}/ws`, {
    onOpen: () => runs.handle.clear(),
    onBinary: (bytes) => runs.handle.write(bytes),
    onText: (message) => {
      if (message.type !== SERVER.exit) return;
      setRunning(false);
      dom.runStatus.set(exitText(message));
    },
    onStatus: (status) => {
      if (runs.stream !== stream) return;
      if (status === 'open') {
        if (runs.running) dom.runStatus.set(t('running'));
      } else if (status === 'retrying') {
        dom.runStatus.set(t('reconnecting'));
      } else if (status === 'taken') {
        dom.runStatus.set(t('takenOver'), { label: t('takeBack'), run: () => stream.reclaim() });
      } else if (status === 'gone' || (status === 'ended' && runs.running)) {
        setRunning(false);
        dom.runStatus.set(t('ended'));
      }
    },
    exists: async () => {
      const answer = await request('/api/run/runs');
      if (answer.status !== 200) return null;
      return (answer.body.runs || []).some((item) => item.id === info.id);
    },
  });
  runs.stream = stream;
}

export function exitText({ code, signal, duration_ms: duration }) {
  if (signal) return t('stoppedBy', { signal });
  if (typeof code === 'number') return t('exitedIn', { code, time: formatDuration(duration) });
  return t('ended');
}

export function sendRunLine() {
  if (!runs.stream || !runs.running) return;
  const line = dom.runInput.value;
  if (!runs.stream.send(encoder.encode(`${line}\n`))) return;
  dom.runInput.value = '';
  // No terminal echoes what was typed, so the output shows it itself.
  runs.handle.write(`\x1b[2m${line}\x1b[22m\n`);
}

export function endRunInput() {
  if (runs.stream && runs.running) runs.stream.send(JSON.stringify({ type: CLIENT.eof }));
}

export async function stopRun() {
  if (!runs.info || !runs.running) return;
  const answer = await request(`/api/run/runs/${encodeURIComponent(runs.info.id)}/stop`, {});
  if (answer.status !== 200) toast(problem(answer));
}
