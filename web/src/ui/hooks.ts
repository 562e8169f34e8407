// Read-only numbers for the browser tests and benches (window.lumora).
import type { DecoderStats } from '../screen/decoder.ts';

export interface LumoraHooks {
  stats: DecoderStats & { drawnFrames: number; lastDrawnAt?: number; openedAt?: number };
  state: { view: string; connection: string };
}

export function createHooks(): LumoraHooks {
  const hooks: LumoraHooks = {
    stats: { decodedFrames: 0, drawnFrames: 0, droppedFrames: 0, decoderErrors: 0 },
    state: { view: 'loading', connection: 'idle' },
  };
  (window as unknown as { lumora: LumoraHooks }).lumora = hooks;
  return hooks;
}
