// Touches through the zoomed and panned view into display fractions, in both pointer modes.
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { PointerActions } from '../../src/screen/pointer-actions.ts';
import { Viewport } from '../../src/screen/viewport.ts';

const close = (a: number, b: number) => Math.abs(a - b) < 1e-9;

describe('viewport', () => {
  // The picture fitted and centred, a tap landing on its pixel, is WebEndToEndTest's.
  it('zooms about the fingers and pans without leaving empty margins', () => {
    const v = new Viewport({ width: 400, height: 800 }, { width: 1600, height: 1000 });
    v.zoomAt(2, 100, 400);
    const p = v.toPicture(100, 400);
    assert.ok(close(p.x, 0.25) && close(p.y, 0.5), 'the point under the fingers stays');
    v.panBy(10000, 0);
    assert.equal(v.rect.x, 0, 'no margin at the left edge');
    v.panBy(-10000, 0);
    assert.equal(v.rect.x + v.rect.width, 400, 'nor at the right');
    v.zoomAt(0.01, 0, 0);
    assert.equal(v.scale, 0.25, 'never smaller than fitted');
  });
});

describe('pointer actions', () => {
  const setUp = () => {
    const viewport = new Viewport({ width: 400, height: 800 }, { width: 1600, height: 1000 });
    return { viewport, actions: new PointerActions(viewport) };
  };

  it('direct mode clicks where the finger lands, through the zoom', () => {
    const { viewport, actions } = setUp();
    viewport.zoomAt(2, 200, 400);
    assert.deepEqual(actions.handle({ kind: 'tap', x: 200, y: 400 }), [{ type: 'input.click', data: { position: { x: 0.5, y: 0.5 }, button: 'left' } }]);
    assert.deepEqual(actions.handle({ kind: 'rightClick', x: 0, y: 0 })[0].data.button, 'right');
    assert.deepEqual(actions.handle({ kind: 'move', x: 0, y: 0, dx: 50, dy: 0 }), [], 'a drag pans the page, sends nothing');
    assert.equal(viewport.rect.x, -150);
  });

  it('direct mode press-and-drag holds the button along the way', () => {
    const { actions } = setUp();
    const sent = [
      ...actions.handle({ kind: 'dragStart', x: 0, y: 275 }),
      ...actions.handle({ kind: 'dragMove', x: 400, y: 525 }),
      ...actions.handle({ kind: 'dragEnd', x: 400, y: 525 }),
    ];
    assert.deepEqual(sent, [
      { type: 'input.mouse_button', data: { position: { x: 0, y: 0 }, button: 'left', down: true } },
      { type: 'input.mouse_move', data: { position: { x: 1, y: 1 } } },
      { type: 'input.mouse_button', data: { position: { x: 1, y: 1 }, button: 'left', down: false } },
    ]);
  });

  it('trackpad mode moves the cursor by the finger and clicks where the cursor is', () => {
    const { actions } = setUp();
    actions.mode = 'trackpad';
    const [move] = actions.handle({ kind: 'move', x: 0, y: 0, dx: 25, dy: 0 });
    const position = move.data.position as { x: number; y: number };
    assert.ok(position.x > 0.5 && position.y === 0.5);
    assert.deepEqual(actions.handle({ kind: 'tap', x: 390, y: 10 }), [{ type: 'input.click', data: { position, button: 'left' } }]);
    actions.handle({ kind: 'move', x: 0, y: 0, dx: -100000, dy: 100000 });
    assert.deepEqual(actions.cursor, { x: 0, y: 1 }, 'the cursor stays on the display');
  });

  it('two-finger drag scrolls the content along with the fingers (fingers up: wheel down); pinch sends nothing', () => {
    const { viewport, actions } = setUp();
    assert.deepEqual(actions.handle({ kind: 'scroll', dx: 0, dy: -10 }), [{ type: 'input.scroll', data: { deltaX: 0, deltaY: -20 } }]);
    assert.deepEqual(actions.handle({ kind: 'scroll', dx: 0.1, dy: 0.1 }), []);
    assert.deepEqual(actions.handle({ kind: 'pinch', factor: 2, cx: 200, cy: 400, dx: 0, dy: 0 }), []);
    assert.equal(viewport.scale, 0.5);
  });
});
