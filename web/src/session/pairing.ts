// Pairing with a computer from its 16-byte secret: the secret becomes non-extractable keys at
// once, the room fingerprint finds the computer among the account's devices, and the keys are
// kept. Before sign-in the keys wait as "pending" so the raw secret never has to be kept.
import { ApiError, type ApiClient } from '../account/api-client.ts';
import { parseDevices } from '../account/devices.ts';
import { importPairingSecret, roomFingerprint } from '../relay/crypto.ts';
import { type PairedDevice, allPaired, forgetPaired, savePaired } from './paired-devices.ts';

export type PairingOutcome = { ok: true; device: PairedDevice } | { ok: false; reason: 'unknownDevice' | 'failed' | 'needsSignIn' };

export async function keysFromSecret(secret: Uint8Array): Promise<{ fingerprint: string; keys: PairedDevice['keys'] }> {
  const keys = await importPairingSecret(secret);
  secret.fill(0);
  return { fingerprint: await roomFingerprint(keys), keys };
}

async function match(api: ApiClient, candidate: PairedDevice): Promise<PairingOutcome> {
  let body: unknown;
  try {
    body = await api.request('GET', '/devices/lookup?fingerprint=' + encodeURIComponent(candidate.fingerprint));
  } catch (error) {
    if (error instanceof ApiError && error.status === 404) return { ok: false, reason: 'unknownDevice' };
    return { ok: false, reason: 'failed' };
  }
  const [device] = parseDevices([body]);
  if (!device || device.pairingFingerprint !== candidate.fingerprint) return { ok: false, reason: 'unknownDevice' };
  const paired: PairedDevice = { fingerprint: candidate.fingerprint, name: device.name, keys: candidate.keys };
  await savePaired(paired);
  return { ok: true, device: paired };
}

export async function pairWithSecret(api: ApiClient, secret: Uint8Array): Promise<PairingOutcome> {
  let candidate: PairedDevice;
  try {
    const { fingerprint, keys } = await keysFromSecret(secret);
    candidate = { fingerprint, name: '', keys, pending: true };
  } catch {
    return { ok: false, reason: 'failed' };
  }
  if (!api.signedIn) {
    await savePaired(candidate);
    return { ok: false, reason: 'needsSignIn' };
  }
  return match(api, candidate);
}

// After sign-in: pairings taken from a link while signed out.
export async function completePendingPairings(api: ApiClient): Promise<PairingOutcome | undefined> {
  let last: PairingOutcome | undefined;
  for (const candidate of (await allPaired()).filter((p) => p.pending)) {
    last = await match(api, candidate);
    if (!last.ok) await forgetPaired(candidate.fingerprint);
  }
  return last;
}
