// The relay construction in WebCrypto. The pairing secret S lives only as two non-extractable
// keys: an HKDF key (room key seed, proof key, session keys) and an HMAC key (auth.complete).
import { fromBase64Url } from '../protocol/base64.ts';
import { concatBytes, exactBuffer, toHex, utf8 } from '../protocol/bytes.ts';

const { subtle } = globalThis.crypto;
const zero = Uint8Array.of(0);
const empty = new Uint8Array(0);

export interface PairingKeys {
  derive: CryptoKey; // HKDF over S
  mac: CryptoKey; // HMAC-SHA256 keyed with S
}

export type Channel = 'control' | 'media';

export async function importPairingSecret(secret: Uint8Array): Promise<PairingKeys> {
  const raw = exactBuffer(secret);
  const derive = await subtle.importKey('raw', raw, 'HKDF', false, ['deriveBits']);
  const mac = await subtle.importKey('raw', raw, { name: 'HMAC', hash: 'SHA-256' }, false, ['sign']);
  return { derive, mac };
}

async function hkdf(keys: PairingKeys, salt: Uint8Array, info: string, length: number): Promise<Uint8Array> {
  const bits = await subtle.deriveBits(
    { name: 'HKDF', hash: 'SHA-256', salt: exactBuffer(salt), info: exactBuffer(utf8(info)) },
    keys.derive,
    length * 8,
  );
  return new Uint8Array(bits);
}

// PKCS #8 wrapping of a 32-byte Ed25519 seed (RFC 8410).
const ed25519Pkcs8Prefix = Uint8Array.from([
  0x30, 0x2e, 0x02, 0x01, 0x00, 0x30, 0x05, 0x06, 0x03, 0x2b, 0x65, 0x70, 0x04, 0x22, 0x04, 0x20,
]);

export async function roomPublicKey(keys: PairingKeys): Promise<Uint8Array> {
  const seed = await hkdf(keys, empty, 'lumora relay v1 room key', 32);
  // Extractable only so the public half can be read; the private key is dropped right here.
  const key = await subtle.importKey('pkcs8', exactBuffer(concatBytes(ed25519Pkcs8Prefix, seed)), { name: 'Ed25519' }, true, ['sign']);
  seed.fill(0);
  const jwk = await subtle.exportKey('jwk', key);
  const publicKey = typeof jwk.x === 'string' ? fromBase64Url(jwk.x) : undefined;
  if (publicKey?.length !== 32) throw new Error('Ed25519 key without a public part');
  return publicKey;
}

// F = hex(SHA-256(P)): the name of the rooms and the device's pairing fingerprint.
export async function roomFingerprint(keys: PairingKeys): Promise<string> {
  const publicKey = await roomPublicKey(keys);
  return toHex(new Uint8Array(await subtle.digest('SHA-256', exactBuffer(publicKey))));
}

export async function proofKey(keys: PairingKeys): Promise<CryptoKey> {
  const raw = await hkdf(keys, empty, 'lumora relay v1 proof key', 32);
  return subtle.importKey('raw', exactBuffer(raw), { name: 'HMAC', hash: 'SHA-256' }, false, ['sign', 'verify']);
}

export function transcript(channel: Channel, phoneNonce: Uint8Array, agentNonce: Uint8Array): Uint8Array {
  return concatBytes(utf8(channel), zero, phoneNonce, agentNonce);
}

export async function signProof(key: CryptoKey, who: 'agent' | 'phone', t: Uint8Array): Promise<Uint8Array> {
  return new Uint8Array(await subtle.sign('HMAC', key, exactBuffer(concatBytes(utf8(who), zero, t))));
}

// HMAC verification through WebCrypto compares in constant time.
export async function verifyProof(key: CryptoKey, who: 'agent' | 'phone', t: Uint8Array, mac: Uint8Array): Promise<boolean> {
  return subtle.verify('HMAC', key, exactBuffer(mac), exactBuffer(concatBytes(utf8(who), zero, t)));
}

export interface SessionKeys {
  agentToPhone: CryptoKey;
  phoneToAgent: CryptoKey;
}

async function aesKey(raw: Uint8Array): Promise<CryptoKey> {
  return subtle.importKey('raw', exactBuffer(raw), 'AES-GCM', false, ['encrypt', 'decrypt']);
}

// Exposed raw only for the test vectors; the session uses sessionKeys().
export async function sessionKeyBytes(keys: PairingKeys, channel: Channel, phoneNonce: Uint8Array, agentNonce: Uint8Array) {
  const salt = concatBytes(phoneNonce, agentNonce);
  return {
    agentToPhone: await hkdf(keys, salt, 'lumora relay v1 agent to phone ' + channel, 32),
    phoneToAgent: await hkdf(keys, salt, 'lumora relay v1 phone to agent ' + channel, 32),
  };
}

export async function sessionKeys(keys: PairingKeys, channel: Channel, phoneNonce: Uint8Array, agentNonce: Uint8Array): Promise<SessionKeys> {
  const raw = await sessionKeyBytes(keys, channel, phoneNonce, agentNonce);
  const result = { agentToPhone: await aesKey(raw.agentToPhone), phoneToAgent: await aesKey(raw.phoneToAgent) };
  raw.agentToPhone.fill(0);
  raw.phoneToAgent.fill(0);
  return result;
}

export function counterIV(counter: number): Uint8Array {
  const iv = new Uint8Array(12);
  new DataView(iv.buffer).setBigUint64(4, BigInt(counter));
  return iv;
}

export async function seal(key: CryptoKey, counter: number, plaintext: Uint8Array): Promise<Uint8Array> {
  const iv = exactBuffer(counterIV(counter));
  return new Uint8Array(await subtle.encrypt({ name: 'AES-GCM', iv, tagLength: 128 }, key, exactBuffer(plaintext)));
}

// undefined when the message does not open: altered, replayed, reordered or the wrong direction.
export async function open(key: CryptoKey, counter: number, sealed: Uint8Array): Promise<Uint8Array | undefined> {
  if (sealed.length < 16) return undefined;
  try {
    const iv = exactBuffer(counterIV(counter));
    return new Uint8Array(await subtle.decrypt({ name: 'AES-GCM', iv, tagLength: 128 }, key, exactBuffer(sealed)));
  } catch {
    return undefined;
  }
}
