// The file messages this panel sends, and checks of the agent's answers to them. Everything read
// from an answer is checked: a wrong type or an out-of-range number is a refusal, never a throw.
import type { IncomingPayload, OutgoingPayload } from '../protocol/envelope.ts';
import { decodeBase64, encodeBase64 } from './chunk-codec.ts';

// Pieces of 256 KiB, as the agent's own clients send them; the agent never answers more.
export const chunkSize = 262144;

export interface FileEntry {
  name: string;
  path: string;
  isDirectory: boolean;
  size: number;
  modified?: number; // seconds since 1970 (UTC)
}

export interface Listing {
  path: string;
  entries: FileEntry[];
}

export interface DownloadPiece {
  data: Uint8Array;
  offset: number;
  totalSize: number;
  eof: boolean;
}

export const listRequest = (path: string): OutgoingPayload => ({ type: 'file.list', data: { path } });
export const moveRequest = (source: string, destination: string): OutgoingPayload => ({
  type: 'file.move',
  data: { source, destination },
});
export const removeRequest = (path: string): OutgoingPayload => ({ type: 'file.remove', data: { path } });
export const downloadRequest = (path: string, offset: number, length: number): OutgoingPayload => ({
  type: 'file.download',
  data: { path, offset, length },
});
export const uploadRequest = (path: string, data: Uint8Array, offset: number, isFinal: boolean): OutgoingPayload => ({
  type: 'file.upload',
  data: { path, data: encodeBase64(data), offset, isFinal },
});

const isCount = (v: unknown): v is number => Number.isSafeInteger(v) && (v as number) >= 0;

function decodeEntry(value: unknown): FileEntry | undefined {
  if (typeof value !== 'object' || value === null) return undefined;
  const { name, path, isDirectory, size, modified } = value as Record<string, unknown>;
  if (typeof name !== 'string' || typeof path !== 'string' || typeof isDirectory !== 'boolean' || !isCount(size)) {
    return undefined;
  }
  const entry: FileEntry = { name, path, isDirectory, size };
  // A date the page cannot show is left out rather than refusing the whole listing.
  if (Number.isSafeInteger(modified) && Math.abs(modified as number) <= 8.64e12) entry.modified = modified as number;
  return entry;
}

// The listing in a "file.list.result"; undefined for anything else.
export function decodeListing(payload: IncomingPayload): Listing | undefined {
  if (payload.type !== 'file.list.result') return undefined;
  const { path, entries } = payload.data;
  if (typeof path !== 'string' || !Array.isArray(entries)) return undefined;
  const decoded: FileEntry[] = [];
  for (const value of entries) {
    const entry = decodeEntry(value);
    if (!entry) return undefined;
    decoded.push(entry);
  }
  return { path, entries: decoded };
}

// A piece in a "file.download.result"; undefined for anything else, or for more bytes than asked.
export function decodePiece(payload: IncomingPayload, maxLength: number): DownloadPiece | undefined {
  if (payload.type !== 'file.download.result') return undefined;
  const { data, offset, totalSize, eof } = payload.data;
  if (typeof data !== 'string' || !isCount(offset) || !isCount(totalSize) || typeof eof !== 'boolean') return undefined;
  // Base64 is 4 characters for 3 bytes: refuse a long text before decoding it.
  if (data.length > Math.ceil(maxLength / 3) * 4) return undefined;
  const bytes = decodeBase64(data);
  if (!bytes || bytes.length > maxLength) return undefined;
  return { data: bytes, offset, totalSize, eof };
}
