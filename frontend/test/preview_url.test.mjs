// The Browser view's pure parts: the address bar, links in terminal text,
// and the count of the preview frame's history entries.
import { test } from 'node:test';
import assert from 'node:assert/strict';

import { FrameHistory, findPreviewLinks, parseAddress, queryValue } from '../src/ide/preview_url.js';

test('the address bar takes http(s) addresses, with http for a bare host, and nothing else', () => {
  const accepted = {
    'localhost:8000': 'http://localhost:8000/',
    ' 127.0.0.1:5173/app?x=1#top ': 'http://127.0.0.1:5173/app?x=1#top',
    'HTTPS://Example.com': 'https://example.com/',
    'http://[::1]:8080/a': 'http://[::1]:8080/a',
    '[::1]:3000': 'http://[::1]:3000/',
    'myhost/docs': 'http://myhost/docs',
  };
  for (const [typed, url] of Object.entries(accepted)) assert.deepEqual(parseAddress(typed), { url }, typed);
  const refused = {
    '': 'empty',
    'javascript:alert(1)': 'scheme',
    'file:///etc/passwd': 'scheme',
    'data:text/html,<b>x</b>': 'scheme',
    'ftp://localhost:21/': 'scheme',
    'about:blank': 'scheme',
    'http:localhost': 'address',
    'http://': 'address',
    'two words': 'address',
    '%%%': 'address',
    'localhost:99999': 'address',
  };
  for (const [typed, error] of Object.entries(refused)) assert.deepEqual(parseAddress(typed), { error }, typed);
  const address = 'http://[::1]:8080/a b?c=d&e=ü+1#f';
  assert.equal(queryValue('http://localhost:8000/x?y'), 'http://localhost:8000/x?y');
  assert.equal(new URLSearchParams(`url=${queryValue(address)}&z=1`).get('url'), address);
});

test('local servers printed in a terminal line become links; other hosts and trailing punctuation do not', () => {
  const line = 'Serving on http://0.0.0.0:3000, see (http://127.0.0.1:5173/x?a=(1)) or http://[::]:8080/. '
    + 'Not http://localhost.example.com/ nor https://example.com:8000/ nor http://localhost:99999/; '
    + '→ http://[::1]:8080/ and https://localhost:8443/p.';
  const links = findPreviewLinks(line);
  assert.deepEqual(links.map((link) => link.url), [
    'http://localhost:3000/', 'http://127.0.0.1:5173/x?a=(1)', 'http://localhost:8080/',
    'http://[::1]:8080/', 'https://localhost:8443/p',
  ]);
  assert.deepEqual(links.map(({ start, end }) => line.slice(start, end)), [
    'http://0.0.0.0:3000', 'http://127.0.0.1:5173/x?a=(1)', 'http://[::]:8080/',
    'http://[::1]:8080/', 'https://localhost:8443/p',
  ]);
  assert.deepEqual(findPreviewLinks('Listening on http://localhost:8000/'),
    [{ start: 13, end: 35, url: 'http://localhost:8000/' }]);
});

test('the frame history counts its own entries, whatever moved it', () => {
  const frames = new FrameHistory();
  const at = () => [frames.index, frames.entries.map((entry) => entry.url).join(' '), frames.canGoBack, frames.canGoForward];
  const origin = 'http://localhost:41000';
  frames.loaded({ url: 'a', origin, opened: true });
  assert.deepEqual(at(), [0, 'a', false, false], 'the first page is no entry to go back to');
  frames.loaded({ url: 'b', origin, grew: true }); // a link followed in the page
  frames.loaded({ url: 'c', origin, opened: true });
  assert.deepEqual(at(), [2, 'a b c', true, false]);

  assert.equal(frames.go(1), null, 'nothing ahead');
  assert.deepEqual(frames.go(-1), { url: 'b', origin });
  assert.equal(frames.canGoBack, false, 'one move at a time');
  frames.loaded({ url: 'stale', origin }); // the expected entry wins over what the server says
  assert.deepEqual(at(), [1, 'a b c', true, true]);

  frames.loaded({ url: 'a', origin }); // the device's own Back button
  assert.deepEqual(at(), [0, 'a b c', false, true]);
  frames.loaded({ url: 'b', origin }); // and its Forward button
  assert.deepEqual(at(), [1, 'a b c', true, true]);
  frames.loaded({ url: 'b', origin }); // the page reloaded itself
  assert.deepEqual(at(), [1, 'a b c', true, true]);
  frames.loaded({ url: 'd', origin }); // history.length at its limit: a new entry replaced those ahead
  assert.deepEqual(at(), [2, 'a b d', true, false]);
  frames.loaded({ url: 'd2', origin }); // location.replace() at the end
  assert.deepEqual(at(), [2, 'a b d2', true, false]);

  assert.equal(frames.leave(), 2, 'two entries of the frame above its first');
  frames.loaded({ url: 'whatever', origin });
  assert.deepEqual(at(), [0, 'a', false, false]);
  assert.equal(new FrameHistory().leave(), 0);
});
