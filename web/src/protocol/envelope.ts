// The control channel's envelope: {"version","id","correlationID"?,"payload":{"type","data"}}.
// Decoding checks what this page relies on and refuses the rest with a reason, never a throw.
import { fromBase64 } from './base64.ts';
import { fromUtf8, utf8 } from './bytes.ts';

export const protocolVersion = 1;

export const messageTypes = [
  'file.list', 'file.list.result', 'file.move', 'file.remove', 'file.download',
  'file.download.result', 'file.upload', 'terminal.run', 'terminal.run.result', 'terminal.open',
  'terminal.opened', 'terminal.input', 'terminal.output', 'terminal.resize', 'terminal.close',
  'terminal.exit', 'input.mouse_move', 'input.mouse_move_by', 'input.click', 'input.key',
  'input.text', 'input.scroll', 'input.drag', 'input.mouse_button', 'screen.capture_frame',
  'screen.frame_meta', 'screen.list_displays', 'screen.display_list', 'media.ticket',
  'media.ticket.result', 'clipboard.get', 'clipboard.content', 'clipboard.set', 'auth.begin',
  'auth.challenge', 'auth.complete', 'ping', 'ack', 'error',
] as const;
export type MessageType = (typeof messageTypes)[number];
const knownTypes: ReadonlySet<string> = new Set(messageTypes);

export interface DisplayInfo {
  id: number;
  name: string;
  width: number;
  height: number;
  isMain: boolean;
}

// What the page reads from the agent; every other known type is kept with its raw data.
export type IncomingPayload =
  | { type: 'auth.challenge'; nonce: Uint8Array }
  | { type: 'ack' }
  | { type: 'error'; code: string; message: string }
  | { type: 'screen.display_list'; displays: DisplayInfo[] }
  | { type: Exclude<MessageType, 'auth.challenge' | 'ack' | 'error' | 'screen.display_list'>; data: Record<string, unknown> };

export interface IncomingEnvelope {
  id: string;
  correlationID?: string;
  payload: IncomingPayload;
}

export interface OutgoingPayload {
  type: MessageType;
  data: Record<string, unknown>;
}

export type Decoded<T> = { ok: true; value: T } | { ok: false; error: string };

export function newMessageID(): string {
  return crypto.randomUUID().toUpperCase();
}

export function encodeEnvelope(payload: OutgoingPayload, id: string = newMessageID()): Uint8Array {
  return utf8(JSON.stringify({ version: protocolVersion, id, payload: { type: payload.type, data: payload.data } }));
}

const isObject = (v: unknown): v is Record<string, unknown> => typeof v === 'object' && v !== null && !Array.isArray(v);
const isUint32 = (v: unknown): v is number => Number.isInteger(v) && (v as number) >= 0 && (v as number) <= 0xffffffff;
const isSafeInt = (v: unknown): v is number => Number.isSafeInteger(v);

function decodeDisplay(value: unknown): DisplayInfo | undefined {
  if (!isObject(value)) return undefined;
  const { id, name, width, height, isMain } = value;
  if (!isUint32(id) || typeof name !== 'string' || !isSafeInt(width) || !isSafeInt(height) || typeof isMain !== 'boolean') {
    return undefined;
  }
  return { id, name, width, height, isMain };
}

function decodePayload(value: unknown): Decoded<IncomingPayload> {
  if (!isObject(value)) return { ok: false, error: 'payload is not an object' };
  const { type, data } = value;
  if (typeof type !== 'string' || !knownTypes.has(type)) return { ok: false, error: 'unknown payload type' };
  if (!('data' in value)) return { ok: false, error: 'payload has no data' };
  switch (type) {
    case 'ack':
      return { ok: true, value: { type } };
    case 'auth.challenge': {
      const nonce = isObject(data) && typeof data.nonce === 'string' ? fromBase64(data.nonce) : undefined;
      return nonce ? { ok: true, value: { type, nonce } } : { ok: false, error: 'auth.challenge without a Base64 nonce' };
    }
    case 'error':
      if (!isObject(data) || typeof data.code !== 'string' || typeof data.message !== 'string') {
        return { ok: false, error: 'error without code and message' };
      }
      return { ok: true, value: { type, code: data.code, message: data.message } };
    case 'screen.display_list': {
      if (!isObject(data) || !Array.isArray(data.displays)) return { ok: false, error: 'display list without displays' };
      const displays = data.displays.map(decodeDisplay);
      if (displays.some((d) => d === undefined)) return { ok: false, error: 'malformed display' };
      return { ok: true, value: { type, displays: displays as DisplayInfo[] } };
    }
    default:
      if (!isObject(data)) return { ok: false, error: 'payload data is not an object' };
      return { ok: true, value: { type: type as Exclude<MessageType, 'auth.challenge' | 'ack' | 'error' | 'screen.display_list'>, data } };
  }
}

export function decodeEnvelope(bytes: Uint8Array): Decoded<IncomingEnvelope> {
  const text = fromUtf8(bytes);
  if (text === undefined) return { ok: false, error: 'not UTF-8' };
  let parsed: unknown;
  try {
    parsed = JSON.parse(text);
  } catch {
    return { ok: false, error: 'not JSON' };
  }
  if (!isObject(parsed)) return { ok: false, error: 'not a JSON object' };
  if (!Number.isInteger(parsed.version)) return { ok: false, error: 'version is not an integer' };
  if (typeof parsed.id !== 'string') return { ok: false, error: 'id is not a string' };
  const correlation = parsed.correlationID;
  if (correlation !== undefined && correlation !== null && typeof correlation !== 'string') {
    return { ok: false, error: 'correlationID is not a string' };
  }
  const payload = decodePayload(parsed.payload);
  if (!payload.ok) return payload;
  const envelope: IncomingEnvelope = { id: parsed.id, payload: payload.value };
  if (typeof correlation === 'string') envelope.correlationID = correlation;
  return { ok: true, value: envelope };
}
