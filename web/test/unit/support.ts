// What several unit tests share: files of the repository they compare against (the folder is set
// by test/run-unit.mjs), bytes as hex, and stand-ins for the browser's sockets and storage.
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import type { TokenStore, Tokens } from '../../src/account/tokens.ts';
import type { MessageSocket } from '../../src/relay/sealed-socket.ts';

export function sourceFile(path: string): string {
  const root = process.env.LUMORA_SOURCE_DIR;
  if (!root) throw new Error('LUMORA_SOURCE_DIR is not set: run the tests through test/run-unit.mjs');
  return readFileSync(join(root, path), 'utf8');
}

export const hex = (text: string): Uint8Array => Uint8Array.from(Buffer.from(text, 'hex'));
export const toHexString = (bytes: Uint8Array): string => Buffer.from(bytes).toString('hex');

// A socket the relay refused before the upgrade: it closes without opening.
export function refusedSocket(): MessageSocket {
  const socket: MessageSocket = {
    binaryType: 'blob', readyState: 0, onopen: null, onmessage: null, onclose: null, onerror: null,
    send() {}, close() {},
  };
  queueMicrotask(() => socket.onclose?.({ code: 1006 } as CloseEvent));
  return socket;
}

// Token storage in memory; `tokens` is what it holds.
export function memoryTokens(initial?: Tokens): TokenStore & { tokens?: Tokens } {
  const store: TokenStore & { tokens?: Tokens } = {
    tokens: initial,
    load: () => store.tokens,
    save: (t) => void (store.tokens = t),
    clear: () => void (store.tokens = undefined),
  };
  return store;
}

// Lets the work queued behind promises and immediates run, `turns` rounds of it.
export async function settle(turns = 20): Promise<void> {
  for (let i = 0; i < turns; i++) await new Promise((resolve) => setImmediate(resolve));
}
