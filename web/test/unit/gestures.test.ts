import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { type Gesture, GestureRecognizer, longPressMs } from '../../src/screen/gestures.ts';

type Step = ['down' | 'move' | 'up' | 'cancel', number, number, number, number] | ['tick', number];

// Feeds [event, pointer id, x, y, time] steps; returns the gesture kinds in order.
function run(steps: Step[]): Gesture[] {
  const g = new GestureRecognizer();
  const out: Gesture[] = [];
  for (const step of steps) {
    if (step[0] === 'tick') {
      out.push(...g.tick(step[1]));
      continue;
    }
    const [kind, id, x, y, t] = step;
    const sample = { id, x, y, t };
    if (kind === 'down') out.push(...g.pointerDown(sample));
    if (kind === 'move') out.push(...g.pointerMove(sample));
    if (kind === 'up') out.push(...g.pointerUp(sample));
    if (kind === 'cancel') out.push(...g.pointerCancel(sample));
  }
  return out;
}
const kinds = (gestures: Gesture[]) => gestures.map((g) => g.kind);

describe('gesture recogniser', () => {
  const cases: [string, Step[], Gesture[]][] = [
    ['a quick touch in place is a tap where it began', [['down', 1, 100, 200, 0], ['move', 1, 103, 202, 40], ['up', 1, 103, 202, 120]], [{ kind: 'tap', x: 100, y: 200 }]],
    ['a touch lifted between a tap and a long press does nothing', [['down', 1, 0, 0, 0], ['up', 1, 0, 0, 420]], []],
    ['two fingers lifted quickly are a right click between them', [['down', 1, 100, 100, 0], ['down', 2, 200, 100, 20], ['up', 1, 100, 100, 120], ['up', 2, 200, 100, 130]], [{ kind: 'rightClick', x: 150, y: 100 }]],
    ['ignores pointers it never saw go down', [['move', 7, 1, 1, 0], ['up', 7, 1, 1, 5]], []],
  ];
  for (const [name, steps, gestures] of cases) it(name, () => assert.deepEqual(run(steps), gestures));

  it('a touch held past the long press is a right click, and asks for a tick first', () => {
    const g = new GestureRecognizer();
    g.pointerDown({ id: 1, x: 50, y: 60, t: 1000 });
    assert.equal(g.deadline(), 1000 + longPressMs);
    g.tick(1000 + longPressMs);
    assert.equal(g.deadline(), undefined);
    assert.deepEqual(g.pointerUp({ id: 1, x: 50, y: 60, t: 1900 }), [{ kind: 'rightClick', x: 50, y: 60 }]);
  });

  it('one finger dragged at once moves by each step', () => {
    const out = run([['down', 1, 0, 0, 0], ['move', 1, 30, 0, 50], ['move', 1, 40, 5, 60], ['up', 1, 40, 5, 70]]);
    assert.deepEqual(out, [
      { kind: 'move', x: 30, y: 0, dx: 30, dy: 0 },
      { kind: 'move', x: 40, y: 5, dx: 10, dy: 5 },
    ]);
  });

  it('a long press then a move presses, drags and releases', () => {
    const out = run([['down', 1, 10, 10, 0], ['tick', 500], ['move', 1, 40, 10, 600], ['move', 1, 60, 30, 650], ['up', 1, 60, 30, 700]]);
    assert.deepEqual(out, [
      { kind: 'dragStart', x: 10, y: 10 },
      { kind: 'dragMove', x: 40, y: 10 },
      { kind: 'dragMove', x: 60, y: 30 },
      { kind: 'dragEnd', x: 60, y: 30 },
    ]);
  });

  it('a drag the browser takes away is released', () => {
    const out = run([['down', 1, 10, 10, 0], ['tick', 500], ['move', 1, 40, 10, 600], ['cancel', 1, 40, 10, 620]]);
    assert.deepEqual(kinds(out), ['dragStart', 'dragMove', 'dragEnd']);
  });

  it('two fingers moving together scroll by the motion of their centre', () => {
    const out = run([
      ['down', 1, 100, 100, 0], ['down', 2, 200, 100, 10],
      ['move', 1, 100, 130, 50], ['move', 2, 200, 130, 55], ['move', 1, 100, 150, 80],
      ['up', 1, 100, 150, 90], ['up', 2, 200, 130, 95],
    ]);
    assert.deepEqual(kinds(out), ['scroll', 'scroll', 'scroll']);
    const total = out.reduce((sum, g) => sum + (g.kind === 'scroll' ? g.dy : 0), 0);
    assert.equal(total, 40, 'the centre moved from y 100 to 140');
    assert.ok(!kinds(out).includes('rightClick'), 'a moved two-finger touch is no tap');
  });

  it('two fingers spreading apart pinch by the ratio of their distances', () => {
    const out = run([
      ['down', 1, 100, 100, 0], ['down', 2, 200, 100, 10],
      ['move', 2, 250, 100, 50], ['move', 1, 50, 100, 60],
      ['up', 1, 50, 100, 90], ['up', 2, 250, 100, 95],
    ]);
    assert.deepEqual(kinds(out), ['pinch', 'pinch']);
    const factor = out.reduce((f, g) => f * (g.kind === 'pinch' ? g.factor : 1), 1);
    assert.ok(Math.abs(factor - 2) < 1e-9, `distance 100 → 200 is a factor of 2, got ${factor}`);
  });
});
