// The phone's side of the relay session handshake: hello → challenge → proof.
import { concatBytes, randomBytes } from '../protocol/bytes.ts';
import { type Channel, type PairingKeys, type SessionKeys, proofKey, sessionKeys, signProof, transcript, verifyProof } from './crypto.ts';

const version = 1;
const helloType = 1;
const challengeType = 2;
const proofType = 3;
const nonceLength = 32;
const macLength = 32;

export interface PhoneHandshake {
  hello: Uint8Array;
  // The proof to send and the session keys, or an error when the agent's message is refused.
  answer(challenge: Uint8Array): Promise<{ ok: true; proof: Uint8Array; keys: SessionKeys } | { ok: false; error: string }>;
}

export function startHandshake(keys: PairingKeys, channel: Channel, phoneNonce: Uint8Array = randomBytes(nonceLength)): PhoneHandshake {
  return {
    hello: concatBytes(Uint8Array.of(version, helloType), phoneNonce),
    async answer(challenge) {
      if (challenge.length !== 2 + nonceLength + macLength || challenge[0] !== version || challenge[1] !== challengeType) {
        return { ok: false, error: 'malformed challenge' };
      }
      const agentNonce = challenge.slice(2, 2 + nonceLength);
      const agentMac = challenge.slice(2 + nonceLength);
      const key = await proofKey(keys);
      const t = transcript(channel, phoneNonce, agentNonce);
      if (!(await verifyProof(key, 'agent', t, agentMac))) return { ok: false, error: 'the computer did not prove the pairing secret' };
      const proof = concatBytes(Uint8Array.of(version, proofType), await signProof(key, 'phone', t));
      return { ok: true, proof, keys: await sessionKeys(keys, channel, phoneNonce, agentNonce) };
    },
  };
}
