import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { parseMediaFrame } from '../../src/protocol/media-frame.ts';

const meta = { frameID: 9, width: 1280, height: 800, codec: 'h264', isKeyframe: true, byteCount: 3, presentationTimeMillis: 1234 };

function frame(header: unknown, payload: Uint8Array, lengths: { header?: number; payload?: number } = {}): Uint8Array {
  const h = typeof header === 'string' ? new TextEncoder().encode(header) : header instanceof Uint8Array ? header : new TextEncoder().encode(JSON.stringify(header));
  const out = new Uint8Array(8 + h.length + payload.length);
  const view = new DataView(out.buffer);
  view.setUint32(0, lengths.header ?? h.length);
  out.set(h, 4);
  view.setUint32(4 + h.length, lengths.payload ?? payload.length);
  out.set(payload, 8 + h.length);
  return out;
}

describe('media frame', () => {
  it('gives an error for hostile or broken frames', () => {
    // A good frame is what every browser test decodes; each case breaks it in one way.
    const good = frame(meta, Uint8Array.of(1, 2, 3));
    assert.ok(parseMediaFrame(good).ok);
    const cases: [string, Uint8Array][] = [
      ['a truncated header length', good.subarray(0, 3)],
      ['a header length of 4 GiB', frame(meta, Uint8Array.of(1), { header: 0xffffffff })],
      ['a header length past the message', good.subarray(0, 20)],
      ['a payload length of 4 GiB', frame(meta, Uint8Array.of(1), { payload: 0xffffffff })],
      ['a header that is not JSON', frame('{"frameID":', Uint8Array.of(1))],
      ['a header that is not UTF-8', frame(Uint8Array.of(0xc3, 0x28), Uint8Array.of(1))],
      ['a header that is a list', frame([meta], Uint8Array.of(1))],
      ['a negative frame id', frame({ ...meta, frameID: -1 }, Uint8Array.of(1))],
      ['an unknown codec', frame({ ...meta, codec: 'vp9' }, Uint8Array.of(1))],
      ['a key frame flag that is not boolean', frame({ ...meta, isKeyframe: 1 }, Uint8Array.of(1))],
    ];
    for (const [what, message] of cases) assert.equal(parseMediaFrame(message).ok, false, what);
  });
});
