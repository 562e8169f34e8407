import assert from 'node:assert/strict';
import { describe, it, mock } from 'node:test';
import { AgentError, ControlClient } from '../../src/session/control-client.ts';
import type { OutgoingPayload } from '../../src/protocol/envelope.ts';

const ping = (): OutgoingPayload => ({ type: 'ping', data: {} });

const reply = (correlationID: string | undefined, payload: unknown) =>
  new TextEncoder().encode(JSON.stringify({ version: 1, id: 'R', ...(correlationID ? { correlationID } : {}), payload }));

function client(timeoutMs = 10000) {
  const sent: string[] = [];
  const unsolicited: string[] = [];
  const c = new ControlClient((bytes) => sent.push(JSON.parse(new TextDecoder().decode(bytes)).id), (e) => unsolicited.push(e.payload.type), timeoutMs);
  return { c, sent, unsolicited };
}

describe('control client', () => {
  it('matches replies to requests by correlationID, in any order', async () => {
    const { c, sent, unsolicited } = client();
    const first = c.request(ping());
    const second = c.request(ping());
    assert.ok(c.receive(reply(sent[1], { type: 'ack', data: {} })));
    assert.ok(c.receive(reply(undefined, { type: 'terminal.output', data: {} })));
    assert.ok(c.receive(reply(sent[0], { type: 'error', data: { code: 'unavailable', message: 'no input here' } })));
    assert.deepEqual(await second, { type: 'ack' });
    await assert.rejects(first, (e: unknown) => e instanceof AgentError && e.code === 'unavailable' && e.message === 'no input here');
    assert.deepEqual(unsolicited, ['terminal.output']);
  });

  it('tells its owner when the bytes are not an envelope', () => {
    const { c } = client();
    assert.equal(c.receive(new TextEncoder().encode('{"payload":')), false);
  });

  it('gives up on a request the agent never answers, and on every request at close', async () => {
    mock.timers.enable({ apis: ['setTimeout'] });
    try {
      const { c } = client(5000);
      const late = c.request(ping());
      mock.timers.tick(5000);
      await assert.rejects(late, (e: unknown) => e instanceof AgentError && e.code === 'timeout');
      const pending = c.request(ping());
      c.close();
      await assert.rejects(pending, (e: unknown) => e instanceof AgentError && e.code === 'closed');
      await assert.rejects(c.request(ping()), (e: unknown) => e instanceof AgentError && e.code === 'closed');
    } finally {
      mock.timers.reset();
    }
  });
});
