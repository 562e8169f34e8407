// Media frames into WebCodecs. Annex B chunks as sent, no description; if the decoder refuses
// that, the avcC form. After a gap in frame ids or a decoder error: reset, wait for a key frame.
// Only the newest decoded picture is kept; older ones are closed at once.
import { annexBToLengthPrefixed, avcCodecString, buildAvcC, findParameterSets } from '../protocol/avc.ts';
import type { MediaFrame } from '../protocol/media-frame.ts';

const maxPending = 64;

export interface DecoderStats {
  decodedFrames: number;
  droppedFrames: number;
  decoderErrors: number;
  lastDecoded?: { frameID: number; presentationTimeMillis: number; width: number; height: number; decodedAt: number };
  firstFrameAt?: number;
}

export class ScreenDecoder {
  private decoder: VideoDecoder | undefined;
  private codec: string | undefined;
  private lengthPrefixed = false;
  private lastFrameID: number | undefined;
  private waitingForKey = true;
  private newest: VideoFrame | undefined;
  private readonly pending = new Map<number, MediaFrame['meta']>();

  constructor(
    readonly stats: DecoderStats,
    private readonly onPicture: () => void,
  ) {}

  push(frame: MediaFrame): void {
    const { meta } = frame;
    if (meta.codec !== 'h264') return this.drop();
    if (this.lastFrameID !== undefined && meta.frameID !== this.lastFrameID + 1) this.waitingForKey = true;
    this.lastFrameID = meta.frameID;
    if (this.waitingForKey && !meta.isKeyframe) return this.drop();
    if (meta.isKeyframe && !this.configure(frame)) return this.drop();
    this.waitingForKey = false;
    const data = this.lengthPrefixed ? annexBToLengthPrefixed(frame.payload) : frame.payload;
    const timestamp = meta.frameID; // unique per chunk; the stats map it back
    this.pending.set(timestamp, meta);
    // A decoder that swallows chunks without output or error must not grow this without bound.
    if (this.pending.size > maxPending) this.pending.delete(this.pending.keys().next().value!);
    try {
      this.decoder!.decode(new EncodedVideoChunk({ type: meta.isKeyframe ? 'key' : 'delta', timestamp, data }));
    } catch {
      this.failed();
    }
  }

  // The newest picture, handed over to the caller (who closes it).
  take(): VideoFrame | undefined {
    const frame = this.newest;
    this.newest = undefined;
    return frame;
  }

  reset(): void {
    this.waitingForKey = true;
    this.lastFrameID = undefined;
    this.pending.clear();
    this.newest?.close();
    this.newest = undefined;
    if (this.decoder && this.decoder.state !== 'closed') this.decoder.close();
    this.decoder = undefined;
    this.codec = undefined;
  }

  private drop(): void {
    this.stats.droppedFrames++;
  }

  private configure(frame: MediaFrame): boolean {
    const sets = findParameterSets(frame.payload);
    const codec = sets && avcCodecString(sets.sps);
    if (!sets || !codec) return false;
    if (this.decoder && this.decoder.state === 'configured' && codec === this.codec) return true;
    if (!this.decoder || this.decoder.state === 'closed') {
      this.decoder = new VideoDecoder({ output: (picture) => this.output(picture), error: () => this.failed() });
    }
    const config: VideoDecoderConfig = { codec, optimizeForLatency: true };
    if (this.lengthPrefixed) config.description = buildAvcC(sets.sps, sets.pps);
    try {
      this.decoder.configure(config);
    } catch {
      return false;
    }
    this.codec = codec;
    return true;
  }

  private output(picture: VideoFrame): void {
    const meta = this.pending.get(picture.timestamp);
    this.pending.delete(picture.timestamp);
    this.newest?.close();
    this.newest = picture;
    const decodedAt = performance.timeOrigin + performance.now();
    this.stats.decodedFrames++;
    this.stats.firstFrameAt ??= decodedAt;
    this.stats.lastDecoded = {
      frameID: meta?.frameID ?? picture.timestamp,
      presentationTimeMillis: meta?.presentationTimeMillis ?? 0,
      width: picture.displayWidth,
      height: picture.displayHeight,
      decodedAt,
    };
    this.onPicture();
  }

  // A decoder that never produced a picture from Annex B gets one more go with avcC.
  private failed(): void {
    this.stats.decoderErrors++;
    if (!this.lengthPrefixed && this.stats.decodedFrames === 0) this.lengthPrefixed = true;
    this.reset();
  }
}
