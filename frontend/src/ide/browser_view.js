// The Browser view: a page served on this device (a dev server started in
// a terminal), shown in a frame. The server previews each target origin on
// an origin of its own, so the page is cross-origin to the IDE: it can
// neither read the IDE nor navigate it away (the sandbox has no
// allow-top-navigation), and the IDE cannot read the page either. So the
// address shown comes from the server (/api/browser/location), and Back and
// Forward count the frame's loads (FrameHistory).
import { problem, request } from '../api.js';
import { t } from '../i18n/index.js';
import { el, icon, iconButton } from './dom.js';
import { FrameHistory, parseAddress, queryValue } from './preview_url.js';
import { dom, touchScreen } from './state.js';

// "Wide" lays the page out at this width, scaled down to fit.
const DESKTOP_WIDTH = 1024;
// How long Back or Forward waits for the frame to load the entry.
const TRAVERSAL_WAIT_MS = 5000;

export const browser = {
  shown: false,
  frames: new FrameHistory(),
  // The preview origin of the document shown, for /api/browser/location.
  origin: null,
  // The next load is a navigation the IDE started.
  opening: false,
  // history.length at the frame's last load: a load that made it grow
  // added an entry.
  historyLength: 0,
  loads: Promise.resolve(),
  wide: localStorage.getItem('quillo.previewWide') === '1',
  portsOpen: true,
};

export function buildBrowserView() {
  const inputId = 'browser-address';
  dom.address = el(`input.browser-address#${inputId}`, {
    type: 'text', inputmode: 'url', enterkeyhint: 'go', autocapitalize: 'off', autocomplete: 'off',
    autocorrect: 'off', spellcheck: 'false', placeholder: 'localhost:8000',
  });
  const form = el('form.address-form', {},
    el('label.visually-hidden', { for: inputId, text: t('pageAddress') }),
    dom.address,
    el('button.primary.address-go', { type: 'submit', 'aria-label': t('goToAddress'), text: t('go') }));
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    goToTyped();
  });
  dom.addressError = el('p.form-error.address-error', { role: 'alert', hidden: true });

  dom.pageBack = iconButton('back', t('pageBack'), () => step(-1), 'page-back');
  dom.pageForward = iconButton('forward', t('pageForward'), () => step(1), 'page-forward');
  dom.pageReload = iconButton('reload', t('pageReload'), () => reloadPage(), 'page-reload');
  dom.pageWide = iconButton('wide', t('wideLayout'), () => setWide(!browser.wide), 'page-wide');
  // A plain link keeps the tap's user gesture: phone browsers block a
  // window opened from script after an await.
  dom.pageOutside = el('a.icon-button.page-outside', {
    target: '_blank', rel: 'noopener', 'aria-label': t('openOutside'), title: t('openOutside'),
  }, icon('link'));
  dom.portsToggle = el('button.quiet.ports-toggle', {
    type: 'button', 'aria-expanded': 'true', 'aria-controls': 'ports-panel', text: t('ports'),
    onclick: () => showPorts(!browser.portsOpen),
  });

  dom.portList = el('ul.port-list');
  dom.portsStatus = el('p.muted.ports-status', { role: 'status' });
  dom.portsPanel = el('section.ports-panel#ports-panel', { 'aria-labelledby': 'ports-heading' },
    el('div.ports-head', {},
      el('h3#ports-heading', { text: t('portsHeading') }),
      el('button.quiet.ports-refresh', { type: 'button', text: t('refresh'), onclick: () => loadPorts() })),
    dom.portsStatus, dom.portList);

  dom.frame = el('iframe.preview-frame', {
    title: t('previewFrame'),
    sandbox: 'allow-scripts allow-same-origin allow-forms allow-popups allow-modals allow-downloads',
    referrerpolicy: 'no-referrer',
  });
  dom.frame.addEventListener('load', onFrameLoad);
  dom.frameBox = el('div.frame-box', {}, dom.frame);
  new ResizeObserver(() => fitFrame()).observe(dom.frameBox);

  dom.browserView = el('section.browser-view', { 'aria-label': t('browser'), hidden: true },
    el('div.browser-head', {},
      iconButton('close', t('closeBrowser'), () => closeBrowserView(), 'browser-close'),
      el('h2.visually-hidden', { text: t('browser') }),
      form),
    dom.addressError,
    el('div.browser-tools', { role: 'group', 'aria-label': t('pageTools') },
      dom.pageBack, dom.pageForward, dom.pageReload, dom.pageWide, dom.pageOutside, dom.portsToggle),
    dom.portsPanel, dom.frameBox);
  setWide(browser.wide);
  updateTools();
  return dom.browserView;
}

// Opens the view (on `url`, if given): a history entry of its own, so that
// the device's Back button closes it.
export function openBrowserView(url) {
  if (!browser.shown) {
    history.pushState({ ...(history.state || {}), browser: true }, '');
    showBrowserView();
  }
  if (url) openPage(url);
}

export function closeBrowserView() {
  if (history.state && history.state.browser) {
    // Back over the frame's entries, then over the view's own.
    history.go(-(browser.frames.leave() + 1));
  } else {
    hideBrowserView();
  }
}

export function showBrowserView() {
  browser.shown = true;
  browser.historyLength = history.length;
  dom.ide.classList.add('browser-open');
  dom.browserView.hidden = false;
  if (dom.dialog.open) dom.dialog.close('');
  if (browser.portsOpen) loadPorts();
  updateTools();
  // On a phone the focus would bring up the keyboard unasked.
  if (!browser.frames.current && !touchScreen()) dom.address.focus();
}

export function hideBrowserView() {
  browser.shown = false;
  dom.ide.classList.remove('browser-open');
  dom.browserView.hidden = true;
}

function showError(text) {
  dom.addressError.textContent = text || '';
  dom.addressError.hidden = !text;
}

function goToTyped() {
  const parsed = parseAddress(dom.address.value);
  if (parsed.error) {
    showError(t(parsed.error === 'scheme' ? 'badScheme' : 'badAddress'));
    dom.address.focus();
    return;
  }
  dom.address.blur(); // the keyboard goes, the page gets the screen
  openPage(parsed.url);
}

// Every navigation the IDE starts asks the server for a frame address: it
// carries a ticket that admits one load.
export async function openPage(url) {
  showError('');
  dom.address.value = url;
  const answer = await request('/api/browser/open', { url });
  if (answer.status !== 200) {
    showError(problem(answer));
    return;
  }
  browser.origin = answer.body.origin;
  browser.opening = true;
  dom.address.value = answer.body.url;
  showPorts(false);
  dom.frame.src = answer.body.frame;
}

function step(direction) {
  const entry = browser.frames.go(direction);
  if (!entry) return;
  browser.origin = entry.origin;
  updateTools();
  // The frame's entries are the page's joint history's last ones.
  if (direction < 0) history.back();
  else history.forward();
  // An entry the page made itself (pushState, a #fragment) loads nothing:
  // the buttons must not wait for a load forever.
  const frames = browser.frames;
  const target = frames.expected;
  setTimeout(() => {
    if (frames.expected !== target) return;
    frames.expected = null;
    updateTools();
  }, TRAVERSAL_WAIT_MS);
}

function reloadPage() {
  const entry = browser.frames.current;
  if (entry && entry.url) openPage(entry.url);
}

// Loads are handled one after the other, each with what was known when it
// happened.
function onFrameLoad() {
  const opened = browser.opening;
  // The empty frame's own about:blank is no page.
  if (!opened && !browser.frames.current) return;
  browser.opening = false;
  const grew = history.length > browser.historyLength;
  browser.historyLength = history.length;
  const expected = browser.frames.expected !== null && !opened;
  const origin = browser.origin;
  browser.loads = browser.loads.then(async () => {
    const url = expected ? null : await locationIn(origin);
    browser.frames.loaded({ url, origin, opened, grew });
    const entry = browser.frames.current;
    if (entry && entry.url && document.activeElement !== dom.address) dom.address.value = entry.url;
    updateTools();
  });
}

async function locationIn(origin) {
  if (!origin) return null;
  const answer = await request(`/api/browser/location?origin=${queryValue(origin)}`);
  return answer.status === 200 && typeof answer.body.url === 'string' ? answer.body.url : null;
}

function updateTools() {
  const entry = browser.frames.current;
  dom.pageBack.disabled = !browser.frames.canGoBack;
  dom.pageForward.disabled = !browser.frames.canGoForward;
  dom.pageReload.disabled = !(entry && entry.url);
  if (entry && entry.url) {
    dom.pageOutside.href = `/api/browser/proxy?url=${queryValue(entry.url)}`;
    dom.pageOutside.removeAttribute('aria-disabled');
  } else {
    dom.pageOutside.removeAttribute('href');
    dom.pageOutside.setAttribute('aria-disabled', 'true');
  }
}

function setWide(wide) {
  browser.wide = wide;
  localStorage.setItem('quillo.previewWide', wide ? '1' : '0');
  dom.pageWide.setAttribute('aria-pressed', wide ? 'true' : 'false');
  dom.frameBox.classList.toggle('wide', wide);
  fitFrame();
}

// Wide: the page is laid out DESKTOP_WIDTH px wide and scaled to the box.
function fitFrame() {
  const style = dom.frame.style;
  const box = dom.frameBox;
  if (!browser.wide || !box.clientWidth) {
    style.width = style.height = style.transform = '';
    return;
  }
  const scale = Math.min(1, box.clientWidth / DESKTOP_WIDTH);
  style.width = `${DESKTOP_WIDTH}px`;
  style.height = `${Math.ceil(box.clientHeight / scale)}px`;
  style.transform = scale < 1 ? `scale(${scale})` : '';
}

function showPorts(open) {
  browser.portsOpen = open;
  dom.portsPanel.hidden = !open;
  dom.portsToggle.setAttribute('aria-expanded', open ? 'true' : 'false');
  if (open) loadPorts();
}

async function loadPorts() {
  dom.portsStatus.textContent = t('loading');
  dom.portsStatus.hidden = false;
  const answer = await request('/api/browser/ports');
  if (answer.status !== 200) {
    dom.portsStatus.textContent = problem(answer);
    return;
  }
  const ports = answer.body.ports || [];
  dom.portList.replaceChildren(...ports.map(({ port, url }) => el('li.port-row', { 'data-port': String(port) },
    el('span.port-text', { text: `${port} — ${url}` }),
    el('button.quiet.port-preview', {
      type: 'button', 'aria-label': t('previewPort', { port }), text: t('preview'), onclick: () => openPage(url),
    }))));
  dom.portsStatus.textContent = ports.length ? '' : t('noPorts');
  dom.portsStatus.hidden = ports.length > 0;
}
