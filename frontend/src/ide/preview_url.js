// Addresses for the Browser view: what the address bar accepts, the local
// servers' addresses that terminals and program output turn into links, and
// the preview frame's place in the page's session history.

// A scheme such as "javascript:"; but "localhost:8000" is a host and a port.
const SCHEME = /^([a-z][a-z0-9+.-]*):/i;
const HOST_AND_PORT = /^[a-z][a-z0-9+.-]*:\d+(?:[/?#]|$)/i;

// What was typed in the address bar as an absolute http(s) URL: {url}, or
// {error} with 'empty', 'scheme' (another scheme than http and https) or
// 'address' (nothing a browser could open). Without a scheme it is http.
export function parseAddress(text) {
  const typed = String(text ?? '').trim();
  if (!typed) return { error: 'empty' };
  if (/\s/.test(typed)) return { error: 'address' };
  const scheme = SCHEME.exec(typed);
  let candidate = typed;
  if (scheme && !HOST_AND_PORT.test(typed)) {
    if (!/^https?$/i.test(scheme[1])) return { error: 'scheme' };
    if (!/^https?:\/\//i.test(typed)) return { error: 'address' };
  } else {
    candidate = `http://${typed.replace(/^\/\//, '')}`;
  }
  let url;
  try {
    url = new URL(candidate);
  } catch (_) {
    return { error: 'address' };
  }
  return url.hostname ? { url: url.href } : { error: 'address' };
}

// `text` as a value in a query string, with ":", "/", "?" and "@" as they
// are (RFC 3986 allows them there): an address stays readable, and a server
// reads it the same whether it decodes the value or not.
export const queryValue = (text) => encodeURIComponent(text).replace(/%(3A|2F|3F|40)/gi,
  (_, hex) => String.fromCharCode(parseInt(hex, 16)));

// An http(s) address of this device: localhost, 127.x.x.x, 0.0.0.0, [::1]
// or [::], then maybe a port and a path. The host must end there
// ("localhost.example.com" is not this device).
const LOCAL_URL = /\bhttps?:\/\/(?:localhost|127(?:\.\d{1,3}){3}|0\.0\.0\.0|\[::1?\])(?::\d{1,5})?(?![\w.:@-])(?:[/?#][^\s"'<>`]*)?/gi;

// A closing bracket or a sentence's punctuation right after an address
// belongs to the text around it.
function trimTail(url) {
  let end = url.length;
  for (;;) {
    const last = url[end - 1];
    const head = url.slice(0, end);
    const unbalanced = (open, close) => last === close && head.split(open).length < head.split(close).length;
    if ('.,;:!?'.includes(last) || unbalanced('(', ')') || unbalanced('[', ']') || unbalanced('{', '}')) end -= 1;
    else return end;
  }
}

// The local servers' addresses in a line of terminal text:
// [{start, end, url}], `end` exclusive, `url` normalised, with 0.0.0.0
// and [::] (a server listening on every address) as localhost.
export function findPreviewLinks(line) {
  const links = [];
  for (const match of String(line).matchAll(LOCAL_URL)) {
    const text = match[0].slice(0, trimTail(match[0]));
    let url;
    try {
      url = new URL(text);
    } catch (_) {
      continue; // a port above 65535, say
    }
    if (url.hostname === '0.0.0.0' || url.hostname === '[::]') url.hostname = 'localhost';
    links.push({ start: match.index, end: match.index + text.length, url: url.href });
  }
  return links;
}

// The preview frame is cross-origin: the IDE cannot read its history, so it
// counts the frame's loads. Each of the frame's navigations is an entry of
// the page's joint session history, so the top window's history.back() and
// forward() move the frame while the count says it has an entry there.
// Entries are {url, origin}.
export class FrameHistory {
  constructor() {
    this.entries = [];
    this.index = -1;
    // The index that a history.back() or forward() under way leads to.
    this.expected = null;
  }

  get current() { return this.entries[this.index] || null; }
  get canGoBack() { return this.index > 0 && this.expected === null; }
  get canGoForward() { return this.index < this.entries.length - 1 && this.expected === null; }

  // Before calling history.back() (-1) or forward() (+1): the entry the
  // frame will show, or null when there is none to go to.
  go(step) {
    const target = this.index + step;
    if (this.expected !== null || target < 0 || target >= this.entries.length) return null;
    this.expected = target;
    return this.entries[target];
  }

  // The frame loaded a document. `opened`: the IDE navigated it (Go, a
  // port, Reload, a link), which always adds an entry; `grew`:
  // history.length grew since the frame's last load; `url`, `origin`: where
  // the frame is now, as far as the server knows. A load that neither
  // added an entry nor was expected is the device's own Back or Forward
  // button (told apart by the address), a reload, or a replacement.
  loaded({ url, origin, opened = false, grew = false }) {
    if (this.expected !== null && !opened) {
      this.index = this.expected;
      this.expected = null;
      return this.current;
    }
    this.expected = null;
    const entry = { url, origin };
    if (opened || grew || this.index < 0) {
      this.entries.splice(this.index + 1, Infinity, entry);
      this.index += 1;
    } else if (url && this.entries[this.index - 1]?.url === url) {
      this.index -= 1;
    } else if (url && this.entries[this.index + 1]?.url === url) {
      this.index += 1;
    } else if (url === this.current.url || this.index === this.entries.length - 1) {
      this.entries[this.index] = entry; // reloaded, or replaced (location.replace)
    } else {
      // The entries ahead were dropped for a new one.
      this.entries.splice(this.index + 1, Infinity, entry);
      this.index += 1;
    }
    return this.current;
  }

  // Closing the view goes back over the frame's entries after its first
  // (then over the view's own): the frame is then on its first document,
  // and the entries after it are gone. Returns how many they were.
  leave() {
    const above = Math.max(this.index, 0);
    this.expected = above > 0 ? 0 : null;
    this.entries.splice(1);
    this.index = Math.min(this.index, 0);
    return above;
  }
}
