// The interactive terminal's records: what the page sends, and the agent's replies and events
// read field by field, since they come from the network.
import { fromBase64, toBase64 } from '../protocol/base64.ts';
import type { IncomingPayload, OutgoingPayload } from '../protocol/envelope.ts';

// The agent's session ids are canonical UUIDs; anything far longer is not one of ours.
const maxSessionIdLength = 64;
// The pseudo-terminal's sizes are 16-bit on the agent's side; a phone needs far less.
export const maxCells = 1000;

export function clampCells(n: number): number {
  return Number.isFinite(n) ? Math.min(maxCells, Math.max(1, Math.floor(n))) : 1;
}

export const openTerminal = (cols: number, rows: number): OutgoingPayload => ({
  type: 'terminal.open',
  data: { cols: clampCells(cols), rows: clampCells(rows) },
});

export const terminalInput = (sessionId: string, bytes: Uint8Array): OutgoingPayload => ({
  type: 'terminal.input',
  data: { sessionId, data: toBase64(bytes) },
});

export const resizeTerminal = (sessionId: string, cols: number, rows: number): OutgoingPayload => ({
  type: 'terminal.resize',
  data: { sessionId, cols: clampCells(cols), rows: clampCells(rows) },
});

export const closeTerminal = (sessionId: string): OutgoingPayload => ({ type: 'terminal.close', data: { sessionId } });

const isSessionId = (v: unknown): v is string => typeof v === 'string' && v.length > 0 && v.length <= maxSessionIdLength;

// The session id of a terminal.opened reply, or undefined when the reply is not one.
export function openedSession(payload: IncomingPayload): string | undefined {
  if (payload.type !== 'terminal.opened') return undefined;
  return isSessionId(payload.data.sessionId) ? payload.data.sessionId : undefined;
}

export type TerminalEvent =
  | { kind: 'output'; sessionId: string; bytes: Uint8Array }
  | { kind: 'exit'; sessionId: string; exitCode: number }
  // The record names a session but its other fields are unusable.
  | { kind: 'malformed'; sessionId: string };

// A terminal event of the agent's, or undefined for any other payload and for records that do
// not even say which terminal they belong to.
export function terminalEvent(payload: IncomingPayload): TerminalEvent | undefined {
  if (payload.type !== 'terminal.output' && payload.type !== 'terminal.exit') return undefined;
  const { sessionId, data, exitCode } = payload.data;
  if (!isSessionId(sessionId)) return undefined;
  if (payload.type === 'terminal.output') {
    const bytes = typeof data === 'string' ? fromBase64(data) : undefined;
    return bytes ? { kind: 'output', sessionId, bytes } : { kind: 'malformed', sessionId };
  }
  const isInt32 = Number.isInteger(exitCode) && (exitCode as number) >= -0x80000000 && (exitCode as number) <= 0x7fffffff;
  return isInt32 ? { kind: 'exit', sessionId, exitCode: exitCode as number } : { kind: 'malformed', sessionId };
}
