import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { decodeEnvelope } from '../../src/protocol/envelope.ts';

const bytes = (value: unknown) => new TextEncoder().encode(typeof value === 'string' ? value : JSON.stringify(value));
const envelope = (payload: unknown, extra: Record<string, unknown> = {}) => bytes({ version: 1, id: 'A', payload, ...extra });

describe('envelope decoding', () => {
  it('reads replies the page relies on', () => {
    const challenge = decodeEnvelope(envelope({ type: 'auth.challenge', data: { nonce: 'AAECAw==' } }, { correlationID: 'R', version: 7 }));
    assert.ok(challenge.ok);
    assert.equal(challenge.value.correlationID, 'R');
    assert.deepEqual(challenge.value.payload, { type: 'auth.challenge', nonce: Uint8Array.of(0, 1, 2, 3) });
    const list = decodeEnvelope(envelope({ type: 'screen.display_list', data: { displays: [{ id: 3, name: 'A', width: 1280, height: 800, isMain: true }] } }, { correlationID: null }));
    assert.ok(list.ok);
    assert.equal(list.value.correlationID, undefined);
    assert.equal(list.value.payload.type === 'screen.display_list' && list.value.payload.displays[0].id, 3);
    const ack = decodeEnvelope(envelope({ type: 'ack', data: [] }));
    assert.ok(ack.ok, 'the data of a field-less payload is not inspected');
  });

  it('refuses what is not an envelope, without throwing', () => {
    const refused: [string, Uint8Array][] = [
      ['not UTF-8', Uint8Array.of(0xff, 0xfe)],
      ['not JSON', bytes('{"version":1,')],
      ['an array', bytes([1, 2])],
      ['a fractional version', envelope({ type: 'ack', data: {} }, { version: 1.5 })],
      ['a numeric id', envelope({ type: 'ack', data: {} }, { id: 5 })],
      ['a numeric correlationID', envelope({ type: 'ack', data: {} }, { correlationID: 5 })],
      ['no payload', bytes({ version: 1, id: 'A' })],
      ['an unknown type', envelope({ type: 'screen.explode', data: {} })],
      ['no data', envelope({ type: 'ping' })],
      ['a nonce that is not Base64', envelope({ type: 'auth.challenge', data: { nonce: 'not base64!' } })],
      ['an error without message', envelope({ type: 'error', data: { code: 'x' } })],
      ['a display with a negative id', envelope({ type: 'screen.display_list', data: { displays: [{ id: -1, name: 'A', width: 1, height: 1, isMain: true }] } })],
      ['a display list that is not a list', envelope({ type: 'screen.display_list', data: { displays: {} } })],
    ];
    for (const [what, input] of refused) {
      const decoded = decodeEnvelope(input);
      assert.equal(decoded.ok, false, what);
    }
  });
});
