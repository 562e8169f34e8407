// The reconnecting session's reaction to what the service and the relay do.
import assert from 'node:assert/strict';
import { afterEach, beforeEach, describe, it, mock } from 'node:test';
import { ApiError } from '../../src/account/api-client.ts';
import { importPairingSecret } from '../../src/relay/crypto.ts';
import { ReconnectingSession, type ReconnectingOptions } from '../../src/session/reconnecting-session.ts';
import { refusedSocket, settle } from './support.ts';

// A session whose every room the relay refuses; the tokens it was issued and the rooms it opened.
async function session(issueToken?: ReconnectingOptions['issueToken']) {
  const states: string[] = [];
  const opened: string[] = [];
  let tokens = 0;
  const s = new ReconnectingSession({
    relayBase: 'ws://relay.test',
    fingerprint: 'f'.repeat(64),
    keys: await importPairingSecret(new Uint8Array(16)),
    deviceID: 'web-test',
    issueToken: issueToken ?? (async () => ({ token: `t${++tokens}`, room: 'r', expiresInSeconds: 300 })),
    openSocket: (url) => {
      opened.push(url);
      return refusedSocket();
    },
    chooseDisplay: async (d) => d[0],
    streamSize: () => ({ maxWidth: 2, maxHeight: 2 }),
    streaming: () => true,
    onFrame() {},
    onMalformedFrame() {},
    onEvent() {},
    onState: (state, reason, retry) => states.push(`${state}/${reason}${retry ? '/' + retry : ''}`),
  });
  return { s, states, opened, tokens: () => tokens };
}

describe('reconnecting session', () => {
  beforeEach(() => mock.timers.enable({ apis: ['setTimeout'] }));
  afterEach(() => mock.timers.reset());

  it('retries a room without its computer with backoff and a fresh token each time', async () => {
    const { s, states, opened, tokens } = await session();
    s.start();
    for (const delay of [1000, 2000]) {
      await settle();
      mock.timers.tick(delay);
    }
    await settle();
    s.stop();
    assert.deepEqual(states, ['connecting/none', 'reconnecting/noHost/1000', 'reconnecting/noHost/2000', 'reconnecting/noHost/4000']);
    assert.equal(tokens(), 3);
    assert.deepEqual(opened.slice(0, 2), [`ws://relay.test/relay/${'f'.repeat(64)}-media?token=t1`, `ws://relay.test/relay/${'f'.repeat(64)}?token=t1`]);
  });

  it('tries again at once when asked during a wait, from the start of the backoff', async () => {
    const { s, states, tokens } = await session();
    s.start();
    await settle();
    mock.timers.tick(1000);
    await settle();
    s.reconnectNow();
    s.reconnectNow(); // a second tap while the attempt runs changes nothing
    await settle();
    s.stop();
    assert.deepEqual(states, ['connecting/none', 'reconnecting/noHost/1000', 'reconnecting/noHost/2000', 'connecting/none', 'reconnecting/noHost/1000']);
    assert.equal(tokens(), 3);
  });

  it('gives up when the account does not hold the computer, or the sign-in is gone', async () => {
    for (const [status, reason] of [[403, 'notRegistered'], [401, 'signedOut']] as const) {
      const { s, states } = await session(() => Promise.reject(new ApiError(status, 'x', 'x')));
      s.start();
      await settle(5);
      s.stop();
      assert.deepEqual(states, ['connecting/none', `failed/${reason}`]);
    }
  });
});
