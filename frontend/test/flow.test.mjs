import { test } from 'node:test';
import assert from 'node:assert/strict';
import { FlowControl } from '../src/flow.js';

function recorded(options) {
  const events = [];
  const flow = new FlowControl({
    ...options, onPause: () => events.push('pause'), onResume: () => events.push('resume'),
  });
  return { flow, events };
}

test('pauses once above high and resumes once below low, not in between', () => {
  const { flow, events } = recorded({ high: 100, low: 20 });
  flow.written(60);
  flow.written(40);
  assert.deepEqual(events, [], 'exactly high is not above it');
  flow.written(1);
  flow.written(500);
  assert.deepEqual(events, ['pause']);
  flow.drained(300);
  flow.written(50);
  flow.drained(200);
  assert.equal(flow.pending, 151);
  assert.deepEqual(events, ['pause'], 'between low and high nothing changes');
  flow.drained(131);
  assert.deepEqual(events, ['pause'], 'exactly low is not below it');
  flow.drained(1);
  flow.drained(19);
  assert.deepEqual(events, ['pause', 'resume']);
  flow.written(90);
  assert.deepEqual(events, ['pause', 'resume'], 'below high again after resuming');
});

test('output hovering around one threshold does not flap', () => {
  const { flow, events } = recorded({ high: 1000, low: 100 });
  for (let i = 0; i < 50; i += 1) {
    flow.written(600);
    flow.drained(500);
  }
  assert.deepEqual(events, ['pause'], 'growing past high pauses once');
  for (let i = 0; i < 120; i += 1) {
    flow.drained(200);
    flow.written(150);
  }
  assert.deepEqual(events, ['pause', 'resume'], 'and draining past low resumes once');
  assert.equal(flow.pending, 150);
});

test('the defaults leave room for a burst and insist on low below high', () => {
  const { flow, events } = recorded();
  flow.written(256 * 1024);
  assert.deepEqual(events, []);
  flow.written(1);
  assert.deepEqual(events, ['pause']);
  assert.throws(() => new FlowControl({ high: 10, low: 10 }), /low \(10\) below high \(10\)/);
});
