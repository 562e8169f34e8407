// The clipboard records the page exchanges with the computer: the requests it sends, and the
// computer's reply read field by field, since whatever the reply holds came from another
// program's clipboard and is not trusted.
import type { IncomingPayload, OutgoingPayload } from '../protocol/envelope.ts';
import { fromBase64, toBase64 } from '../protocol/base64.ts';
import { utf8 } from '../protocol/bytes.ts';

// The relay closes a connection that sends one message over 16 MiB (its default bound), so a
// record that would not fit is refused here instead; the envelope and the seal take the rest.
export const maxRecordBytes = 16 * 1024 * 1024 - 4096;

// What a record's data takes in its envelope.
export const recordBytes = (payload: OutgoingPayload): number => utf8(JSON.stringify(payload.data)).length;

const pngSignature = [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a];

export type ClipboardContent =
  | { kind: 'text'; text: string }
  | { kind: 'image'; png: Uint8Array }
  | { kind: 'file'; name: string; data: Uint8Array }
  | { kind: 'empty' };

// Why a reply could not be read, for the person, in the page's words.
export type ContentProblem = 'malformed' | 'notPNG';

export type ReadContent = { ok: true; content: ClipboardContent } | { ok: false; problem: ContentProblem };

export const getClipboard = (): OutgoingPayload => ({ type: 'clipboard.get', data: {} });

export const setClipboardText = (text: string): OutgoingPayload => ({ type: 'clipboard.set', data: { kind: 'text', text } });

export const setClipboardImage = (png: Uint8Array): OutgoingPayload => ({
  type: 'clipboard.set',
  data: { kind: 'image', imageData: toBase64(png) },
});

export function isPNG(bytes: Uint8Array): boolean {
  return bytes.length > pngSignature.length && pngSignature.every((b, i) => bytes[i] === b);
}

const bytesOf = (value: unknown): Uint8Array | undefined => (typeof value === 'string' ? fromBase64(value) : undefined);

// The reply to clipboard.get; only the fields of its kind are read.
export function readClipboardContent(payload: IncomingPayload): ReadContent {
  const malformed: ReadContent = { ok: false, problem: 'malformed' };
  if (payload.type !== 'clipboard.content') return malformed;
  const { kind, text, imageData, fileName, fileData } = payload.data;
  switch (kind) {
    case 'text':
      return typeof text === 'string' ? { ok: true, content: { kind, text } } : malformed;
    case 'image': {
      const png = bytesOf(imageData);
      if (!png) return malformed;
      return isPNG(png) ? { ok: true, content: { kind, png } } : { ok: false, problem: 'notPNG' };
    }
    case 'file': {
      const data = bytesOf(fileData);
      const name = typeof fileName === 'string' ? baseName(fileName) : '';
      return data && name ? { ok: true, content: { kind, name, data } } : malformed;
    }
    case 'empty':
      return { ok: true, content: { kind } };
    default:
      return malformed;
  }
}

// A name to save under: the last part of whatever path the computer sent, never a folder.
export function baseName(name: string): string {
  const last = name.split(/[/\\]/).pop() ?? '';
  return last === '.' || last === '..' ? '' : last.replace(/[\u0000-\u001f\u007f]/g, '');
}
