// Flow control for a terminal's output: xterm.js parses what it is given
// a bit at a time, so a program that prints fast (`yes`, `cat` of a large
// file) can hand it far more than it can draw, and the page stalls with
// megabytes queued. The bytes handed over and not yet parsed are counted;
// above `high` the sender is asked to pause, and only once the count is
// back under `low` to resume. The gap between the two keeps the socket from
// flapping between pause and resume on every write.
export class FlowControl {
  constructor({
    high = 256 * 1024, low = 32 * 1024, onPause, onResume,
  } = {}) {
    if (!(low < high)) throw new RangeError(`flow control needs low (${low}) below high (${high})`);
    this.high = high;
    this.low = low;
    this.onPause = onPause;
    this.onResume = onResume;
    this.pending = 0;
    this.paused = false;
  }

  // `bytes` were handed to the terminal.
  written(bytes) {
    this.pending += bytes;
    if (!this.paused && this.pending > this.high) {
      this.paused = true;
      if (this.onPause) this.onPause();
    }
  }

  // The terminal is done with `bytes` of them.
  drained(bytes) {
    this.pending = Math.max(0, this.pending - bytes);
    if (this.paused && this.pending < this.low) {
      this.paused = false;
      if (this.onResume) this.onResume();
    }
  }
}
