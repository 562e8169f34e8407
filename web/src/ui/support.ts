// What the page needs from the browser, checked once at start so a missing piece is said plainly.
import type { TextKey } from '../i18n/texts.ts';

export async function missingSupport(): Promise<TextKey | undefined> {
  if (!globalThis.isSecureContext || !globalThis.crypto?.subtle) return 'insecureContext';
  if (typeof globalThis.VideoDecoder !== 'function') return 'unsupportedCodecs';
  try {
    await crypto.subtle.generateKey({ name: 'Ed25519' }, false, ['sign', 'verify']);
  } catch {
    return 'unsupportedEd25519';
  }
  return undefined;
}
