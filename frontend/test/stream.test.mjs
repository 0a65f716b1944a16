// The terminal and run socket that comes back by itself: when it retries,
// when it stops for good, and that nothing typed meanwhile is lost.
import { test } from 'node:test';
import assert from 'node:assert/strict';

import { Stream, retryDelay } from '../src/ide/stream.js';

// A stand-in for the browser's WebSocket that the test drives by hand.
class FakeSocket {
  static made = [];

  constructor(url) {
    this.url = url;
    this.readyState = 0;
    this.sent = [];
    this.listeners = {};
    FakeSocket.made.push(this);
  }

  addEventListener(kind, listener) {
    (this.listeners[kind] ||= []).push(listener);
  }

  emit(kind, event = {}) {
    for (const listener of this.listeners[kind] || []) listener(event);
  }

  open() {
    this.readyState = 1;
    this.emit('open');
  }

  drop(code) {
    this.readyState = 3;
    this.emit('close', { code });
  }

  send(data) {
    this.sent.push(data);
  }

  close() {
    this.readyState = 3;
  }
}

function startStream({ exists = async () => true } = {}) {
  FakeSocket.made = [];
  const seen = { statuses: [], opens: 0, text: [], binary: [], timers: [] };
  const stream = new Stream('/x', {
    onOpen: () => { seen.opens += 1; },
    onStatus: (status) => seen.statuses.push(status),
    onText: (message) => seen.text.push(message),
    onBinary: (bytes) => seen.binary.push(bytes),
    exists,
  }, { WebSocket: FakeSocket, url: 'ws://test/x', setTimeout: (run, ms) => seen.timers.push({ run, ms }) });
  return { stream, seen, socket: () => FakeSocket.made.at(-1) };
}

const settle = () => new Promise((resolve) => setImmediate(resolve));

test('a dropped socket comes back with a growing wait, and every new socket starts a fresh replay', async () => {
  const { stream, seen, socket } = startStream();
  socket().open();
  socket().emit('message', { data: '{"type":"exit","code":0}' });
  socket().emit('message', { data: new Uint8Array([104, 105]).buffer });
  assert.deepEqual(seen.text, [{ type: 'exit', code: 0 }]);
  assert.deepEqual([...seen.binary[0]], [104, 105]);

  socket().drop(1006);
  await settle();
  assert.deepEqual(seen.statuses, ['open', 'retrying']);
  assert.equal(seen.timers[0].ms, retryDelay(0));
  assert.ok(stream.send('typed while away'), 'input waits for the socket to come back');
  seen.timers[0].run();
  socket().drop(1006); // the server is still down: the handshake fails
  await settle();
  assert.equal(seen.timers[1].ms, retryDelay(1));
  assert.ok(retryDelay(1) > retryDelay(0) && retryDelay(30) === 10000);
  seen.timers[1].run();
  socket().open();
  assert.equal(seen.opens, 2, 'the view clears before each replay');
  assert.deepEqual(socket().sent, ['typed while away']);
});

test('the end, a takeover and a stream the server no longer has are final', async () => {
  for (const [code, status] of [[1000, 'ended'], [4001, 'taken'], [4404, 'gone']]) {
    const { seen, socket } = startStream();
    socket().open();
    socket().drop(code);
    await settle();
    assert.deepEqual(seen.statuses, ['open', status], `close code ${code}`);
    assert.equal(seen.timers.length, 0, `no retry after ${code}`);
  }
  // A refused handshake for a terminal that no longer exists.
  const { stream, seen, socket } = startStream({ exists: async () => false });
  socket().drop(1006);
  await settle();
  assert.deepEqual(seen.statuses, ['gone']);
  assert.equal(stream.send('x'), false, 'nothing is queued for a stream that is gone');
});
