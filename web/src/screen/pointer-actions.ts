// Gestures into input requests and view changes, for the two modes:
//  direct   — the finger is the pointer: tap clicks where it lands; one-finger drag pans
//  trackpad — a drawn cursor: one-finger drag moves it; tap clicks where it is
// Both: long press or two-finger tap = right click, press-and-drag = button held, two-finger
// drag = scroll, pinch = zoom (the page's own, nothing is sent).
import type { OutgoingPayload } from '../protocol/envelope.ts';
import { type Point, click, mouseButton, mouseMove, scroll } from '../protocol/payloads.ts';
import type { Gesture } from './gestures.ts';
import type { Viewport } from './viewport.ts';

export type PointerMode = 'direct' | 'trackpad';

const trackpadSpeed = 1.6;
const scrollSpeed = 2;
const clamp01 = (v: number) => Math.min(1, Math.max(0, v));

export class PointerActions {
  mode: PointerMode = 'direct';
  cursor: Point = { x: 0.5, y: 0.5 };
  // In trackpad mode a held drag moves the cursor by the finger's motion since the last sample.
  private lastDrag: { x: number; y: number } | undefined;

  constructor(private readonly viewport: Viewport) {}

  handle(gesture: Gesture): OutgoingPayload[] {
    const direct = this.mode === 'direct';
    switch (gesture.kind) {
      case 'tap':
        if (direct) this.cursor = this.at(gesture.x, gesture.y);
        return [click('left', this.cursor)];
      case 'rightClick':
        if (direct) this.cursor = this.at(gesture.x, gesture.y);
        return [click('right', this.cursor)];
      case 'move':
        if (direct) {
          this.viewport.panBy(gesture.dx, gesture.dy);
          return [];
        }
        return [mouseMove(this.moveCursor(gesture.dx, gesture.dy))];
      case 'dragStart':
        if (direct) this.cursor = this.at(gesture.x, gesture.y);
        this.lastDrag = { x: gesture.x, y: gesture.y };
        return [mouseButton('left', true, this.cursor)];
      case 'dragMove':
        return [mouseMove(direct ? (this.cursor = this.at(gesture.x, gesture.y)) : this.followFinger(gesture.x, gesture.y))];
      case 'dragEnd':
        this.lastDrag = undefined;
        return [mouseButton('left', false, this.cursor)];
      case 'scroll': {
        // Content follows the fingers, as on the phone itself; positive deltas scroll up/left
        // (the wheel's sense), which is what fingers moving down/right mean.
        const dx = Math.round(gesture.dx * scrollSpeed) || 0;
        const dy = Math.round(gesture.dy * scrollSpeed) || 0;
        return dx === 0 && dy === 0 ? [] : [scroll(dx, dy)];
      }
      case 'pinch':
        this.viewport.zoomAt(gesture.factor, gesture.cx, gesture.cy);
        this.viewport.panBy(gesture.dx, gesture.dy);
        return [];
    }
  }

  private at(x: number, y: number): Point {
    const p = this.viewport.toPicture(x, y);
    return { x: clamp01(p.x), y: clamp01(p.y) };
  }

  private moveCursor(dx: number, dy: number): Point {
    const d = this.viewport.deltaToPicture(dx * trackpadSpeed, dy * trackpadSpeed);
    this.cursor = { x: clamp01(this.cursor.x + d.x), y: clamp01(this.cursor.y + d.y) };
    return this.cursor;
  }

  private followFinger(x: number, y: number): Point {
    const last = this.lastDrag ?? { x, y };
    this.lastDrag = { x, y };
    return this.moveCursor(x - last.x, y - last.y);
  }
}
