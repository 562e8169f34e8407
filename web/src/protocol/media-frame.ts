// One media frame as the relay carries it (one per message):
//   u32be M | M bytes of JSON header | u32be P | P bytes of H.264 Annex B
// The parser is total: hostile lengths and headers give an error, never a throw or a big copy
// (the payload is a view into the message).
import { fromUtf8, readUint32BE } from './bytes.ts';
import type { Decoded } from './envelope.ts';

export interface FrameMeta {
  frameID: number;
  width: number;
  height: number;
  codec: 'h264' | 'hevc' | 'raw';
  isKeyframe: boolean;
  byteCount: number;
  presentationTimeMillis: number;
}

export interface MediaFrame {
  meta: FrameMeta;
  payload: Uint8Array;
}

const maxHeaderBytes = 4096;
const codecs: ReadonlySet<string> = new Set(['h264', 'hevc', 'raw']);
const isCount = (v: unknown): v is number => Number.isSafeInteger(v) && (v as number) >= 0;

function decodeMeta(value: unknown): FrameMeta | undefined {
  if (typeof value !== 'object' || value === null || Array.isArray(value)) return undefined;
  const m = value as Record<string, unknown>;
  if (!isCount(m.frameID) || !isCount(m.width) || !isCount(m.height) || !isCount(m.byteCount)) return undefined;
  if (!isCount(m.presentationTimeMillis) || typeof m.isKeyframe !== 'boolean') return undefined;
  if (typeof m.codec !== 'string' || !codecs.has(m.codec)) return undefined;
  return {
    frameID: m.frameID,
    width: m.width,
    height: m.height,
    codec: m.codec as FrameMeta['codec'],
    isKeyframe: m.isKeyframe,
    byteCount: m.byteCount,
    presentationTimeMillis: m.presentationTimeMillis,
  };
}

export function parseMediaFrame(message: Uint8Array): Decoded<MediaFrame> {
  const headerLength = readUint32BE(message, 0);
  if (headerLength === undefined) return { ok: false, error: 'truncated header length' };
  if (headerLength > maxHeaderBytes) return { ok: false, error: 'header too long' };
  const payloadLength = readUint32BE(message, 4 + headerLength);
  if (payloadLength === undefined) return { ok: false, error: 'truncated header' };
  const payloadStart = 8 + headerLength;
  if (payloadLength !== message.length - payloadStart) return { ok: false, error: 'payload length does not match the message' };
  const headerText = fromUtf8(message.subarray(4, 4 + headerLength));
  if (headerText === undefined) return { ok: false, error: 'header is not UTF-8' };
  let header: unknown;
  try {
    header = JSON.parse(headerText);
  } catch {
    return { ok: false, error: 'header is not JSON' };
  }
  const meta = decodeMeta(header);
  if (!meta) return { ok: false, error: 'header is not a frame description' };
  return { ok: true, value: { meta, payload: message.subarray(payloadStart) } };
}
