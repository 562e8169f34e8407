// Base64 for file pieces, where it costs the most: the browser's own codec where it has one
// (strict, so a text no encoder writes is still refused), the shared one elsewhere.
import { fromBase64, toBase64 } from '../protocol/base64.ts';

interface NativeBase64 {
  fromBase64?: (text: string, options: { lastChunkHandling: 'strict' }) => Uint8Array;
}
interface NativeBytes {
  toBase64?: () => string;
}

const native = Uint8Array as unknown as NativeBase64;

export function decodeBase64(text: string): Uint8Array | undefined {
  if (!native.fromBase64) return fromBase64(text);
  // The native decoder skips white space; the wire never has any.
  if (!/^[A-Za-z0-9+/]*={0,2}$/.test(text)) return undefined;
  try {
    return native.fromBase64(text, { lastChunkHandling: 'strict' });
  } catch {
    return undefined;
  }
}

export function encodeBase64(bytes: Uint8Array): string {
  const own = (bytes as unknown as NativeBytes).toBase64;
  return own ? own.call(bytes) : toBase64(bytes);
}
