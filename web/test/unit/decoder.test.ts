// The decoder's bookkeeping around WebCodecs, which Node lacks: a stand-in VideoDecoder records
// what it is given (real decoding is the browser tests' job).
import assert from 'node:assert/strict';
import { beforeEach, describe, it } from 'node:test';
import type { MediaFrame } from '../../src/protocol/media-frame.ts';
import { type DecoderStats, ScreenDecoder } from '../../src/screen/decoder.ts';

interface Picture { timestamp: number; displayWidth: number; displayHeight: number; closed: boolean; close(): void }
class StandInDecoder {
  static last: StandInDecoder;
  state = 'unconfigured';
  configs: VideoDecoderConfig[] = [];
  chunks: { type: string; timestamp: number; data: Uint8Array }[] = [];
  constructor(readonly init: { output(p: Picture): void; error(e: Error): void }) {
    StandInDecoder.last = this;
  }
  configure(config: VideoDecoderConfig) { this.configs.push(config); this.state = 'configured'; }
  decode(chunk: { type: string; timestamp: number; data: Uint8Array }) { this.chunks.push(chunk); }
  close() { this.state = 'closed'; }
  emit(timestamp: number): Picture {
    const picture = { timestamp, displayWidth: 64, displayHeight: 48, closed: false, close() { this.closed = true; } };
    this.init.output(picture);
    return picture;
  }
}
Object.assign(globalThis, {
  VideoDecoder: StandInDecoder,
  EncodedVideoChunk: class { constructor(init: object) { Object.assign(this, init); } },
});

const sps = [0x67, 0x42, 0xc0, 0x1f, 0xda];
const pps = [0x68, 0xce, 0x3c];
const keyPayload = Uint8Array.from([0, 0, 0, 1, ...sps, 0, 0, 0, 1, ...pps, 0, 0, 0, 1, 0x65, 0x88]);
const deltaPayload = Uint8Array.from([0, 0, 0, 1, 0x41, 0x9a]);
const frame = (frameID: number, key: boolean): MediaFrame => ({
  meta: { frameID, width: 64, height: 48, codec: 'h264', isKeyframe: key, byteCount: 0, presentationTimeMillis: 1000 + frameID },
  payload: key ? keyPayload : deltaPayload,
});

describe('screen decoder', () => {
  let stats: DecoderStats;
  let decoder: ScreenDecoder;
  beforeEach(() => {
    stats = { decodedFrames: 0, droppedFrames: 0, decoderErrors: 0 };
    decoder = new ScreenDecoder(stats, () => {});
  });

  // Annex B decoded as sent, with the codec of its SPS, is what every browser test watches.
  it('waits for a key frame at the start and after a gap in frame ids', () => {
    for (const [id, key] of [[0, false], [1, true], [2, false], [4, false], [5, false], [6, true]] as const) {
      decoder.push(frame(id, key));
    }
    assert.deepEqual(StandInDecoder.last.chunks.map((c) => [c.type, c.timestamp]), [['key', 1], ['delta', 2], ['key', 6]]);
    assert.equal(stats.droppedFrames, 3);
  });

  it('keeps only the newest picture and reports it', () => {
    decoder.push(frame(1, true));
    decoder.push(frame(2, false));
    const first = StandInDecoder.last.emit(1);
    const second = StandInDecoder.last.emit(2);
    assert.ok(first.closed && !second.closed);
    assert.equal(decoder.take(), second);
    assert.equal(decoder.take(), undefined);
    assert.equal(stats.decodedFrames, 2);
    assert.equal(stats.lastDecoded?.frameID, 2);
    assert.equal(stats.lastDecoded?.presentationTimeMillis, 1002);
  });

  it('after an error before any picture, starts over with avcC and length-prefixed units', () => {
    decoder.push(frame(1, true));
    const annexB = StandInDecoder.last;
    annexB.init.error(new Error('unsupported'));
    assert.equal(annexB.state, 'closed');
    decoder.push(frame(2, false));
    decoder.push(frame(3, true));
    const avcc = StandInDecoder.last;
    assert.notEqual(avcc, annexB);
    assert.ok(avcc.configs[0].description, 'configured with a description');
    assert.deepEqual([...avcc.chunks[0].data.subarray(0, 4)], [0, 0, 0, sps.length]);
    assert.equal(stats.decoderErrors, 1);
  });
});
