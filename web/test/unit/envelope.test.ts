import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { decodeEnvelope } from '../../src/protocol/envelope.ts';

const bytes = (value: unknown) => new TextEncoder().encode(typeof value === 'string' ? value : JSON.stringify(value));
const envelope = (payload: unknown, extra: Record<string, unknown> = {}) => bytes({ version: 1, id: 'A', payload, ...extra });

describe('envelope decoding', () => {
  // The envelopes the real agent sends are what every browser test's session reads.
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
