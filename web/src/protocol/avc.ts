// H.264 helpers for WebCodecs: the codec string from the sequence parameter set, and the avcC
// form for decoders that do not take Annex B.
import { concatBytes } from './bytes.ts';

// NAL units of an Annex B stream, start codes removed (3- or 4-byte codes).
export function splitAnnexB(stream: Uint8Array): Uint8Array[] {
  const units: Uint8Array[] = [];
  let unitStart = -1;
  let i = 0;
  while (i + 3 <= stream.length) {
    if (stream[i] === 0 && stream[i + 1] === 0 && stream[i + 2] === 1) {
      const codeStart = i > 0 && stream[i - 1] === 0 && i - 1 >= unitStart ? i - 1 : i;
      if (unitStart >= 0 && unitStart < codeStart) units.push(stream.subarray(unitStart, codeStart));
      unitStart = i + 3;
      i += 3;
    } else {
      i += 1;
    }
  }
  if (unitStart >= 0 && unitStart < stream.length) units.push(stream.subarray(unitStart));
  return units;
}

export const nalType = (unit: Uint8Array): number => (unit.length > 0 ? unit[0] & 0x1f : -1);
const spsType = 7;
const ppsType = 8;

export function findParameterSets(stream: Uint8Array): { sps: Uint8Array; pps: Uint8Array } | undefined {
  const units = splitAnnexB(stream);
  const sps = units.find((u) => nalType(u) === spsType);
  const pps = units.find((u) => nalType(u) === ppsType);
  return sps && pps && sps.length >= 4 ? { sps, pps } : undefined;
}

const hex2 = (n: number): string => n.toString(16).toUpperCase().padStart(2, '0');

// "avc1.PPCCLL": profile, constraint flags and level, bytes 1–3 of the SPS.
export function avcCodecString(sps: Uint8Array): string | undefined {
  if (sps.length < 4 || nalType(sps) !== spsType) return undefined;
  return `avc1.${hex2(sps[1])}${hex2(sps[2])}${hex2(sps[3])}`;
}

// AVCDecoderConfigurationRecord with one SPS and one PPS and 4-byte lengths.
export function buildAvcC(sps: Uint8Array, pps: Uint8Array): Uint8Array {
  const head = Uint8Array.of(1, sps[1], sps[2], sps[3], 0xff, 0xe1, sps.length >> 8, sps.length & 0xff);
  return concatBytes(head, sps, Uint8Array.of(1, pps.length >> 8, pps.length & 0xff), pps);
}

export function annexBToLengthPrefixed(stream: Uint8Array): Uint8Array {
  const parts: Uint8Array[] = [];
  for (const unit of splitAnnexB(stream)) {
    const length = new Uint8Array(4);
    new DataView(length.buffer).setUint32(0, unit.length, false);
    parts.push(length, unit);
  }
  return concatBytes(...parts);
}
