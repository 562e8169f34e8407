// Builders for what the page sends. Points are fractions of the display (the agent clamps them).
import { toBase64 } from './base64.ts';
import type { OutgoingPayload } from './envelope.ts';

export interface Point {
  x: number;
  y: number;
}
export type MouseButton = 'left' | 'right' | 'middle';
export type KeyAction = 'down' | 'up' | 'press';

export const authBegin = (deviceID: string): OutgoingPayload => ({ type: 'auth.begin', data: { deviceID } });
export const authComplete = (mac: Uint8Array): OutgoingPayload => ({ type: 'auth.complete', data: { mac: toBase64(mac) } });
export const listDisplays = (): OutgoingPayload => ({ type: 'screen.list_displays', data: {} });

export function startStream(maxWidth: number, maxHeight: number, displayID?: number): OutgoingPayload {
  const data: Record<string, unknown> = { mode: 'startStream', maxWidth, maxHeight, codec: 'h264' };
  if (displayID !== undefined) data.displayID = displayID;
  return { type: 'screen.capture_frame', data };
}
export const stopStream = (): OutgoingPayload => ({ type: 'screen.capture_frame', data: { mode: 'stopStream' } });

export const mouseMove = (position: Point): OutgoingPayload => ({ type: 'input.mouse_move', data: { position } });
export const click = (button: MouseButton, position?: Point): OutgoingPayload => ({
  type: 'input.click',
  data: position ? { position, button } : { button },
});
export const mouseButton = (button: MouseButton, down: boolean, position?: Point): OutgoingPayload => ({
  type: 'input.mouse_button',
  data: position ? { position, button, down } : { button, down },
});
export const scroll = (deltaX: number, deltaY: number): OutgoingPayload => ({ type: 'input.scroll', data: { deltaX, deltaY } });
export const key = (keyCode: number, action: KeyAction): OutgoingPayload => ({ type: 'input.key', data: { keyCode, action } });
export const text = (value: string): OutgoingPayload => ({ type: 'input.text', data: { text: value } });
