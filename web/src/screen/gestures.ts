// Touch gestures as a pure state machine over pointer events with their timestamps. The caller
// feeds down/move/up/cancel and calls tick() at deadline() for the long press.

export interface PointerSample {
  id: number;
  x: number;
  y: number;
  t: number; // ms
}

export type Gesture =
  | { kind: 'tap'; x: number; y: number }
  | { kind: 'rightClick'; x: number; y: number } // long press released in place, or two-finger tap
  | { kind: 'move'; x: number; y: number; dx: number; dy: number } // one-finger drag
  | { kind: 'dragStart'; x: number; y: number } // long press, then moving: press and drag
  | { kind: 'dragMove'; x: number; y: number }
  | { kind: 'dragEnd'; x: number; y: number }
  | { kind: 'scroll'; dx: number; dy: number } // two-finger drag
  | { kind: 'pinch'; factor: number; cx: number; cy: number; dx: number; dy: number };

export const longPressMs = 500;
export const slopPx = 10;
const tapMaxMs = 350;
const twoFingerTapMaxMs = 300;

type State =
  | { name: 'idle' }
  | { name: 'pressed'; start: PointerSample; last: PointerSample } // one finger, not moved yet
  | { name: 'held'; start: PointerSample } // one finger, long press reached, not moved
  | { name: 'moving'; last: PointerSample }
  | { name: 'dragging'; last: PointerSample }
  | { name: 'two'; startT: number; moved: boolean; mode: 'undecided' | 'scroll' | 'pinch'; points: Map<number, PointerSample>; startDistance: number; startCentre: { x: number; y: number }; lastDistance: number; lastCentre: { x: number; y: number } }
  | { name: 'ending' }; // fingers still down after a gesture that is over

const distance = (a: PointerSample, b: PointerSample) => Math.hypot(a.x - b.x, a.y - b.y);
const centre = (a: PointerSample, b: PointerSample) => ({ x: (a.x + b.x) / 2, y: (a.y + b.y) / 2 });

export class GestureRecognizer {
  private state: State = { name: 'idle' };
  private readonly down = new Map<number, PointerSample>();

  // When tick() should next be called, if a long press is pending.
  deadline(): number | undefined {
    return this.state.name === 'pressed' ? this.state.start.t + longPressMs : undefined;
  }

  tick(now: number): Gesture[] {
    if (this.state.name === 'pressed' && now >= this.state.start.t + longPressMs) {
      this.state = { name: 'held', start: this.state.start };
    }
    return [];
  }

  pointerDown(p: PointerSample): Gesture[] {
    this.down.set(p.id, p);
    const out = this.tick(p.t);
    if (this.down.size === 1 && this.state.name === 'idle') {
      this.state = { name: 'pressed', start: p, last: p };
    } else if (this.down.size === 2 && (this.state.name === 'pressed' || this.state.name === 'moving' || this.state.name === 'held')) {
      const [a, b] = [...this.down.values()];
      const d = distance(a, b);
      const c = centre(a, b);
      this.state = { name: 'two', startT: p.t, moved: false, mode: 'undecided', points: new Map(this.down), startDistance: d, startCentre: c, lastDistance: d, lastCentre: c };
    } else if (this.state.name !== 'two') {
      this.state = { name: 'ending' };
    }
    return out;
  }

  pointerMove(p: PointerSample): Gesture[] {
    if (!this.down.has(p.id)) return [];
    this.down.set(p.id, p);
    const out = this.tick(p.t);
    const s = this.state;
    switch (s.name) {
      case 'pressed':
        if (distance(p, s.start) > slopPx) {
          this.state = { name: 'moving', last: p };
          out.push({ kind: 'move', x: p.x, y: p.y, dx: p.x - s.start.x, dy: p.y - s.start.y });
        }
        break;
      case 'held':
        if (distance(p, s.start) > slopPx) {
          this.state = { name: 'dragging', last: p };
          out.push({ kind: 'dragStart', x: s.start.x, y: s.start.y }, { kind: 'dragMove', x: p.x, y: p.y });
        }
        break;
      case 'moving':
        out.push({ kind: 'move', x: p.x, y: p.y, dx: p.x - s.last.x, dy: p.y - s.last.y });
        s.last = p;
        break;
      case 'dragging':
        out.push({ kind: 'dragMove', x: p.x, y: p.y });
        s.last = p;
        break;
      case 'two':
        out.push(...this.twoFingerMove(s, p));
        break;
    }
    return out;
  }

  private twoFingerMove(s: Extract<State, { name: 'two' }>, p: PointerSample): Gesture[] {
    if (!s.points.has(p.id)) return [];
    s.points.set(p.id, p);
    const [a, b] = [...s.points.values()];
    const d = distance(a, b);
    const c = centre(a, b);
    if (s.mode === 'undecided') {
      const spread = Math.abs(d - s.startDistance);
      const travel = Math.hypot(c.x - s.startCentre.x, c.y - s.startCentre.y);
      if (spread > 2 * slopPx && spread > travel) s.mode = 'pinch';
      else if (travel > slopPx) s.mode = 'scroll';
      else return [];
      s.moved = true;
    }
    const out: Gesture[] =
      s.mode === 'pinch'
        ? [{ kind: 'pinch', factor: s.lastDistance > 0 ? d / s.lastDistance : 1, cx: c.x, cy: c.y, dx: c.x - s.lastCentre.x, dy: c.y - s.lastCentre.y }]
        : [{ kind: 'scroll', dx: c.x - s.lastCentre.x, dy: c.y - s.lastCentre.y }];
    s.lastDistance = d;
    s.lastCentre = c;
    return out;
  }

  pointerUp(p: PointerSample): Gesture[] {
    if (!this.down.has(p.id)) return [];
    this.down.delete(p.id);
    const s = this.state;
    const out: Gesture[] = [];
    switch (s.name) {
      case 'pressed':
        if (p.t - s.start.t >= longPressMs) out.push({ kind: 'rightClick', x: s.start.x, y: s.start.y });
        else if (p.t - s.start.t <= tapMaxMs) out.push({ kind: 'tap', x: s.start.x, y: s.start.y });
        break;
      case 'held':
        out.push({ kind: 'rightClick', x: s.start.x, y: s.start.y });
        break;
      case 'dragging':
        out.push({ kind: 'dragEnd', x: p.x, y: p.y });
        break;
      case 'two':
        if (!s.moved && p.t - s.startT <= twoFingerTapMaxMs) {
          out.push({ kind: 'rightClick', x: s.startCentre.x, y: s.startCentre.y });
        }
        break;
    }
    this.state = this.down.size === 0 ? { name: 'idle' } : { name: 'ending' };
    return out;
  }

  // The browser took the touch (a system gesture): a drag in progress is released.
  pointerCancel(p: PointerSample): Gesture[] {
    if (!this.down.has(p.id)) return [];
    this.down.delete(p.id);
    const out: Gesture[] = this.state.name === 'dragging' ? [{ kind: 'dragEnd', x: this.state.last.x, y: this.state.last.y }] : [];
    this.state = this.down.size === 0 ? { name: 'idle' } : { name: 'ending' };
    return out;
  }
}
