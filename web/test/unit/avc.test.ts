import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { annexBToLengthPrefixed, avcCodecString, buildAvcC, findParameterSets } from '../../src/protocol/avc.ts';

const sps = Uint8Array.of(0x67, 0x64, 0x00, 0x1f, 0xac, 0xd9);
const pps = Uint8Array.of(0x68, 0xeb, 0xe3);
const idr = Uint8Array.of(0x65, 0x88, 0x84, 0x00, 0x00, 0x03, 0x01);
const stream = Uint8Array.from([0, 0, 0, 1, ...sps, 0, 0, 0, 1, ...pps, 0, 0, 1, ...idr]);

describe('H.264 helpers', () => {
  // The codec named from an SPS is what decoder.test.ts configures WebCodecs with.
  it('names no codec from what is not an SPS', () => {
    assert.equal(avcCodecString(pps), undefined);
    assert.equal(findParameterSets(Uint8Array.from([0, 0, 1, ...idr])), undefined);
  });

  // The stream's 3-byte start code and emulation-prevented bytes are split and kept here too.
  it('builds avcC and length-prefixed units for decoders that want them', () => {
    assert.deepEqual([...buildAvcC(sps, pps)], [1, 0x64, 0x00, 0x1f, 0xff, 0xe1, 0, 6, ...sps, 1, 0, 3, ...pps]);
    assert.deepEqual([...annexBToLengthPrefixed(stream)], [0, 0, 0, 6, ...sps, 0, 0, 0, 3, ...pps, 0, 0, 0, 7, ...idr]);
  });
});
