// The relay construction against the shared test vectors, which the agent reproduces too.
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { importPairingSecret, open, roomFingerprint, roomPublicKey, seal, sessionKeys } from '../../src/relay/crypto.ts';
import { startHandshake } from '../../src/relay/handshake.ts';
import { hex, sourceFile, toHexString } from './support.ts';

interface Vectors {
  secret: string;
  phoneNonce: string;
  agentNonce: string;
  roomKey: { publicKey: string; fingerprint: string };
  handshakes: {
    channel: 'control' | 'media';
    hello: string;
    challenge: string;
    proof: string;
    sealed: { from: 'phone' | 'agent'; counter: number; plaintext: string; sealed: string }[];
  }[];
}

const vectors = JSON.parse(sourceFile('docs/relay-protocol-vectors.json')) as Vectors;
const keys = () => importPairingSecret(hex(vectors.secret));

describe('room key', () => {
  it('derives the public key and fingerprint of the vectors', async () => {
    const k = await keys();
    assert.equal(toHexString(await roomPublicKey(k)), vectors.roomKey.publicKey);
    assert.equal(await roomFingerprint(k), vectors.roomKey.fingerprint);
  });
});

for (const vector of vectors.handshakes) {
  describe(`${vector.channel} handshake`, () => {
    const phoneNonce = hex(vectors.phoneNonce);

    it('sends the hello and proof of the vectors', async () => {
      const handshake = startHandshake(await keys(), vector.channel, phoneNonce);
      assert.equal(toHexString(handshake.hello), vector.hello);
      const answer = await handshake.answer(hex(vector.challenge));
      assert.ok(answer.ok);
      assert.equal(toHexString(answer.proof), vector.proof);
    });

    it('refuses a challenge the agent could not have made', async () => {
      const k = await keys();
      const good = hex(vector.challenge);
      const forged = good.slice();
      forged[forged.length - 1] ^= 1;
      const otherRoom = hex(vectors.handshakes.find((h) => h.channel !== vector.channel)!.challenge);
      const wrongType = good.slice();
      wrongType[1] = 3;
      for (const challenge of [forged, otherRoom, wrongType, good.subarray(0, 65)]) {
        const answer = await startHandshake(k, vector.channel, phoneNonce).answer(challenge);
        assert.equal(answer.ok, false);
      }
    });

    // Sealing the phone's messages and opening the agent's pins both session keys of the vectors.
    it('seals and opens the messages of the vectors', async () => {
      const session = await sessionKeys(await keys(), vector.channel, phoneNonce, hex(vectors.agentNonce));
      for (const message of vector.sealed) {
        if (message.from === 'phone') {
          assert.equal(toHexString(await seal(session.phoneToAgent, message.counter, hex(message.plaintext))), message.sealed);
        } else {
          const opened = await open(session.agentToPhone, message.counter, hex(message.sealed));
          assert.equal(opened && toHexString(opened), message.plaintext);
        }
      }
    });

    // An altered or truncated message fails AES-GCM's own check; what is ours is the counter in
    // the nonce, a key for each direction, and the length check before decrypting.
    it('refuses replayed, reflected and tag-less messages', async () => {
      const session = await sessionKeys(await keys(), vector.channel, phoneNonce, hex(vectors.agentNonce));
      const first = hex(vector.sealed.find((m) => m.from === 'agent')!.sealed);
      assert.equal(await open(session.agentToPhone, 1, first), undefined, 'replayed as the next message');
      assert.equal(await open(session.agentToPhone, 0, new Uint8Array(5)), undefined, 'shorter than a tag');
      const ownMessage = hex(vector.sealed.find((m) => m.from === 'phone')!.sealed);
      assert.equal(await open(session.agentToPhone, 0, ownMessage), undefined, 'the phone\'s own message reflected');
    });
  });
}
