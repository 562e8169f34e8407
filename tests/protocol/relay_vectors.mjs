// The protected relay's test vectors, computed with WebCrypto (Node's, the same API a browser
// has), independently of the C++ implementation that must reproduce them.
//   node relay_vectors.mjs            prints the vectors as JSON
//   node relay_vectors.mjs FILE       exits 1 unless FILE holds exactly these vectors
import { readFileSync } from 'node:fs';

const { subtle } = globalThis.crypto;
const text = (s) => new TextEncoder().encode(s);
const hex = (bytes) => Buffer.from(bytes).toString('hex');
const join = (...parts) => {
  const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  let at = 0;
  for (const p of parts) {
    out.set(p, at);
    at += p.length;
  }
  return out;
};
const counting = (from, length) => Uint8Array.from({ length }, (_, i) => from + i);
const zero = Uint8Array.of(0);

async function hkdf(ikm, salt, info, length) {
  const base = await subtle.importKey('raw', ikm, 'HKDF', false, ['deriveBits']);
  const bits = await subtle.deriveBits({ name: 'HKDF', hash: 'SHA-256', salt, info }, base, length * 8);
  return new Uint8Array(bits);
}

async function hmac(key, message) {
  const k = await subtle.importKey('raw', key, { name: 'HMAC', hash: 'SHA-256' }, false, ['sign']);
  return new Uint8Array(await subtle.sign('HMAC', k, message));
}

async function sha256(data) {
  return new Uint8Array(await subtle.digest('SHA-256', data));
}

// An Ed25519 private key from its 32-byte seed: the seed behind PKCS #8's fixed prefix.
async function ed25519(seed) {
  const prefix = Uint8Array.from([0x30, 0x2e, 0x02, 0x01, 0x00, 0x30, 0x05, 0x06, 0x03, 0x2b, 0x65,
    0x70, 0x04, 0x22, 0x04, 0x20]);
  const key = await subtle.importKey('pkcs8', join(prefix, seed), { name: 'Ed25519' }, true, ['sign']);
  const jwk = await subtle.exportKey('jwk', key);
  const publicKey = new Uint8Array(Buffer.from(jwk.x, 'base64url'));
  const sign = async (message) => new Uint8Array(await subtle.sign({ name: 'Ed25519' }, key, message));
  return { publicKey, sign };
}

async function seal(key, counter, plaintext) {
  const k = await subtle.importKey('raw', key, 'AES-GCM', false, ['encrypt']);
  const iv = new Uint8Array(12);
  new DataView(iv.buffer).setBigUint64(4, BigInt(counter));
  return new Uint8Array(await subtle.encrypt({ name: 'AES-GCM', iv, tagLength: 128 }, k, plaintext));
}

async function vectors() {
  const secret = counting(0, 16);
  const phoneNonce = counting(0x10, 32);
  const agentNonce = counting(0x30, 32);
  const challenge = counting(0x50, 32);
  const account = 'account-1';
  const nonce = 'nonce-1';

  const seed = await hkdf(secret, new Uint8Array(0), text('lumora relay v1 room key'), 32);
  const key = await ed25519(seed);
  const fingerprint = hex(await sha256(key.publicKey));
  const hostMessage = (room) => join(text('lumora relay v1 host'), zero, text(room), zero, challenge);
  const registration = join(text('lumora relay v1 register'), zero, text(account), zero, text(nonce));

  const proofKey = await hkdf(secret, new Uint8Array(0), text('lumora relay v1 proof key'), 32);
  const handshakes = [];
  for (const channel of ['control', 'media']) {
    const transcript = join(text(channel), zero, phoneNonce, agentNonce);
    const agentMac = await hmac(proofKey, join(text('agent'), zero, transcript));
    const phoneMac = await hmac(proofKey, join(text('phone'), zero, transcript));
    const salt = join(phoneNonce, agentNonce);
    const agentToPhone = await hkdf(secret, salt, text('lumora relay v1 agent to phone ' + channel), 32);
    const phoneToAgent = await hkdf(secret, salt, text('lumora relay v1 phone to agent ' + channel), 32);
    const messages = [
      ['phone', 0, text('{"type":"auth.begin"}')],
      ['phone', 1, new Uint8Array(0)],
      ['agent', 0, text('{"type":"auth.challenge"}')],
      ['agent', 1, counting(0, 200)],
    ];
    const sealed = [];
    for (const [from, counter, plaintext] of messages) {
      const k = from === 'phone' ? phoneToAgent : agentToPhone;
      sealed.push({ from, counter, plaintext: hex(plaintext), sealed: hex(await seal(k, counter, plaintext)) });
    }
    handshakes.push({
      channel,
      hello: hex(join(Uint8Array.of(1, 1), phoneNonce)),
      challenge: hex(join(Uint8Array.of(1, 2), agentNonce, agentMac)),
      proof: hex(join(Uint8Array.of(1, 3), phoneMac)),
      agentToPhoneKey: hex(agentToPhone),
      phoneToAgentKey: hex(phoneToAgent),
      sealed,
    });
  }

  return {
    secret: hex(secret),
    phoneNonce: hex(phoneNonce),
    agentNonce: hex(agentNonce),
    roomKey: {
      seed: hex(seed),
      publicKey: hex(key.publicKey),
      fingerprint,
      hostProofs: await Promise.all([fingerprint, fingerprint + '-media'].map(async (room) => ({
        room,
        challenge: hex(challenge),
        message: hex(hostMessage(room)),
        signature: hex(await key.sign(hostMessage(room))),
      }))),
      registration: {
        account,
        nonce,
        message: hex(registration),
        signature: hex(await key.sign(registration)),
      },
    },
    proofKey: hex(proofKey),
    handshakes,
  };
}

const computed = JSON.stringify(await vectors(), null, 2) + '\n';
if (process.argv.length > 2) {
  const stored = readFileSync(process.argv[2], 'utf8');
  if (JSON.stringify(JSON.parse(stored)) !== JSON.stringify(JSON.parse(computed))) {
    console.error(`${process.argv[2]} differs from what WebCrypto computes:\n${computed}`);
    process.exit(1);
  }
  console.log(`${process.argv[2]}: the vectors match WebCrypto`);
} else {
  process.stdout.write(computed);
}
