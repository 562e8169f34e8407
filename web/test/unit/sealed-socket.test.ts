// A relay room through SealedSocket, with the agent's side played here by the same construction
// (its values are pinned by the vectors in relay-crypto.test.ts).
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { importPairingSecret, proofKey, seal, sessionKeys, signProof, transcript, verifyProof, type PairingKeys } from '../../src/relay/crypto.ts';
import { type CloseReason, type MessageSocket, RelayClosedError, SealedSocket } from '../../src/relay/sealed-socket.ts';

const secret = Uint8Array.from({ length: 16 }, (_, i) => i);
const text = (s: string) => new TextEncoder().encode(s);
// WebCrypto works off the main thread: wait for what a test expects, a while at most.
const until = async (done: () => boolean) => {
  for (const start = Date.now(); !done() && Date.now() - start < 2000; ) await new Promise((r) => setTimeout(r, 1));
};

// The agent's end of a control room, behind a socket that has just opened.
class AgentEnd implements MessageSocket {
  binaryType: BinaryType = 'blob';
  readyState = 1;
  onopen: ((e: Event) => void) | null = null;
  onmessage: ((e: MessageEvent) => void) | null = null;
  onclose: ((e: CloseEvent) => void) | null = null;
  onerror: ((e: Event) => void) | null = null;
  closed = false;
  private keys: Awaited<ReturnType<typeof sessionKeys>> | undefined;
  private phoneNonce = new Uint8Array(0);
  private readonly agentNonce = crypto.getRandomValues(new Uint8Array(32));
  private step = 0;
  private sent = 0;
  private work: Promise<void> = Promise.resolve();

  constructor(private readonly pairing: PairingKeys) {
    queueMicrotask(() => this.onopen?.(new Event('open')));
  }

  send(data: ArrayBuffer): void {
    const bytes = new Uint8Array(data);
    const step = this.step++;
    // One message at a time, as the agent reads them.
    this.work = this.work.then(async () => {
      const proof = await proofKey(this.pairing);
      if (step === 0) {
        this.phoneNonce = bytes.slice(2);
        const mac = await signProof(proof, 'agent', transcript('control', this.phoneNonce, this.agentNonce));
        this.deliver(Uint8Array.from([1, 2, ...this.agentNonce, ...mac]));
      } else if (step === 1) {
        assert.ok(await verifyProof(proof, 'phone', transcript('control', this.phoneNonce, this.agentNonce), bytes.slice(2)));
        this.keys = await sessionKeys(this.pairing, 'control', this.phoneNonce, this.agentNonce);
      }
    });
  }

  async sendSealed(message: string, alter = false): Promise<void> {
    await this.work;
    const sealed = await seal(this.keys!.agentToPhone, this.sent++, text(message));
    if (alter) sealed[0] ^= 1;
    this.deliver(sealed);
  }

  deliver(bytes: Uint8Array | string): void {
    this.onmessage?.({ data: typeof bytes === 'string' ? bytes : bytes.slice().buffer } as MessageEvent);
  }

  close(): void {
    this.closed = true;
  }
}

async function connected(agentSecret = secret) {
  const [agentKeys, phoneKeys] = [await importPairingSecret(agentSecret), await importPairingSecret(secret)];
  const agent = new AgentEnd(agentKeys);
  const messages: string[] = [];
  const closes: CloseReason[] = [];
  await SealedSocket.connect(agent, phoneKeys, 'control', {
    onMessage: (m) => messages.push(new TextDecoder().decode(m)),
    onClose: (r) => closes.push(r),
  });
  return { agent, messages, closes };
}

// The handshake and the sealed messages both ways, in order, are what every browser test runs
// against the real agent; these are the ends a healthy session never shows. (A room that never
// opened is 'unreachable': reconnect.test.ts retries it as noHost.)
describe('sealed socket', () => {
  it('tells a relay instance going away (1012) from a session that ended', async () => {
    for (const [code, reason] of [[1012, 'restart'], [1000, 'closed'], [1006, 'closed']] as const) {
      const { agent, messages, closes } = await connected();
      agent.deliver('{"type":"peer"}'); // the relay's own text is not part of the session
      await agent.sendSealed('last');
      agent.onclose?.({ code } as CloseEvent);
      await until(() => closes.length > 0);
      assert.deepEqual(messages, ['last'], 'what came before the close is delivered first');
      assert.deepEqual(closes, [reason]);
    }
  });

  it('ends the session at a message that does not open, and delivers nothing after it', async () => {
    const { agent, messages, closes } = await connected();
    await agent.sendSealed('fine');
    await agent.sendSealed('altered', true);
    await agent.sendSealed('after');
    await until(() => closes.length > 0);
    await new Promise((r) => setTimeout(r, 100)); // give a wrongly delivered message time to show
    assert.deepEqual(messages, ['fine']);
    assert.deepEqual(closes, ['tampered']);
    assert.ok(agent.closed);
  });

  it('refuses an agent that does not know the secret', async () => {
    await assert.rejects(connected(new Uint8Array(16)), (e: unknown) => e instanceof RelayClosedError && e.reason === 'handshake');
  });
});
