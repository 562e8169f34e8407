// The computer the phone used last, opened straight away at the next start: only while this
// browser is still paired with it and the account still holds it.
import type { Device } from '../account/devices.ts';
import type { PairedDevice } from './paired-devices.ts';

const key = 'lastComputer';

export const rememberLastComputer = (storage: Storage, fingerprint: string): void => storage.setItem(key, fingerprint);
export const lastComputerFingerprint = (storage: Storage): string | null => storage.getItem(key);

export function lastComputer(fingerprint: string | null, paired: readonly PairedDevice[], devices: readonly Device[]): PairedDevice | undefined {
  const mine = paired.find((p) => p.fingerprint === fingerprint && !p.pending);
  const held = devices.find((d) => d.pairingFingerprint === fingerprint);
  return mine && held ? { ...mine, name: held.name } : undefined;
}
