// The sockets of terminals and runs (the protocol: routes/run/socket-protocol.md).
import { CLOSE } from './protocol.js';

export const encoder = new TextEncoder();
const socketUrl = (path) => `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}${path}`;
const streams = new Set();
// WebSocket.readyState values, named here so that tests can give a stand-in.
const CONNECTING = 0;
const OPEN = 1;

// Half a second after the first failure, doubling up to ten seconds.
export const retryDelay = (attempt) => Math.min(500 * 2 ** attempt, 10000);

// A WebSocket to a terminal or a run that comes back by itself when it
// drops (a phone's screen lock, a network change), waiting longer after
// each failed try. The server sends what it kept first on every new
// socket, so `onOpen` clears what was shown. It stays closed after the
// end (1000), after another window took the stream over (4001) and when
// the server has no such stream (4404).
// `exists()` tells, after a refused handshake, whether to try again.
// `onStatus` hears 'open', 'retrying', 'ended', 'taken' and 'gone'.
export class Stream {
  // `options` lets tests give their own WebSocket, address and timer.
  constructor(path, handlers, options = {}) {
    this.url = options.url || socketUrl(path);
    this.Socket = options.WebSocket || globalThis.WebSocket;
    this.later = options.setTimeout || ((run, ms) => setTimeout(run, ms));
    this.handlers = handlers;
    this.socket = null;
    this.timer = null;
    this.attempt = 0;
    this.stopped = false;
    this.waiting = [];
    this.waitingBytes = 0;
    streams.add(this);
    this.connect();
  }

  connect() {
    clearTimeout(this.timer);
    this.timer = null;
    const socket = new this.Socket(this.url);
    socket.binaryType = 'arraybuffer';
    this.socket = socket;
    let opened = false;
    socket.addEventListener('open', () => {
      if (socket !== this.socket) return;
      opened = true;
      this.attempt = 0;
      this.handlers.onOpen();
      this.handlers.onStatus('open');
      for (const data of this.waiting) socket.send(data);
      this.waiting = [];
      this.waitingBytes = 0;
    });
    socket.addEventListener('message', (event) => {
      if (socket !== this.socket) return;
      if (typeof event.data !== 'string') {
        this.handlers.onBinary(new Uint8Array(event.data));
        return;
      }
      let message;
      try {
        message = JSON.parse(event.data);
      } catch (_) {
        return;
      }
      this.handlers.onText(message);
    });
    socket.addEventListener('close', (event) => {
      if (socket !== this.socket || this.stopped) return;
      this.socket = null;
      if (event.code === CLOSE.normal) this.handlers.onStatus('ended');
      else if (event.code === CLOSE.taken_over) this.handlers.onStatus('taken');
      else if (event.code === CLOSE.gone) this.gone();
      else this.retry(opened);
    });
  }

  async retry(opened) {
    // A refused handshake is a stream the server no longer has, or a
    // server that is down; only the first is final.
    if (!opened && (await this.handlers.exists()) === false) {
      this.gone();
      return;
    }
    if (this.stopped) return;
    const delay = retryDelay(this.attempt);
    this.attempt += 1;
    this.handlers.onStatus('retrying');
    this.timer = this.later(() => this.connect(), delay);
  }

  // The server has no such terminal or run (any more).
  gone() {
    this.stopped = true;
    streams.delete(this);
    this.handlers.onStatus('gone');
  }

  // Skips what is left of the wait.
  now() {
    if (this.timer !== null && !this.stopped) this.connect();
  }

  // After another window took it over: take it back.
  reclaim() {
    this.stopped = false;
    this.attempt = 0;
    streams.add(this);
    this.connect();
  }

  // What is typed while the socket is coming back waits for it (up to
  // 64 KiB), rather than being lost.
  send(data) {
    if (this.socket && this.socket.readyState === OPEN) {
      this.socket.send(data);
      return true;
    }
    const reconnecting = !this.stopped && (this.timer !== null
      || (this.socket !== null && this.socket.readyState === CONNECTING));
    const size = typeof data === 'string' ? data.length : data.byteLength;
    if (!reconnecting || this.waitingBytes + size > 65536) return false;
    this.waiting.push(data);
    this.waitingBytes += size;
    return true;
  }

  // A control message that only makes sense on the socket open now (a
  // size, a pause): dropped rather than kept for the next socket, which
  // starts afresh with its own replay.
  signal(data) {
    if (!this.socket || this.socket.readyState !== OPEN) return false;
    this.socket.send(data);
    return true;
  }

  close() {
    this.stopped = true;
    streams.delete(this);
    clearTimeout(this.timer);
    this.timer = null;
    this.waiting = [];
    this.waitingBytes = 0;
    if (this.socket) this.socket.close(CLOSE.normal);
    this.socket = null;
  }
}

export function reconnectNow() {
  for (const stream of streams) stream.now();
}

