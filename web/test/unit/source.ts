// Files of the repository the tests compare against (set by test/run-unit.mjs).
import { readFileSync } from 'node:fs';
import { join } from 'node:path';

export function sourceFile(path: string): string {
  const root = process.env.LUMORA_SOURCE_DIR;
  if (!root) throw new Error('LUMORA_SOURCE_DIR is not set: run the tests through test/run-unit.mjs');
  return readFileSync(join(root, path), 'utf8');
}

export const hex = (text: string): Uint8Array => Uint8Array.from(Buffer.from(text, 'hex'));
export const toHexString = (bytes: Uint8Array): string => Buffer.from(bytes).toString('hex');
