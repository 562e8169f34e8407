#pragma once

#include <cstdint>
#include <vector>

#include "protocol/bytes.h"

namespace lumora::protocol {

// H.264 NAL unit types that the encoder and the viewers sort by.
enum NalType : int {
  kNalSlice = 1,
  kNalIdrSlice = 5,
  kNalSei = 6,
  kNalSps = 7,
  kNalPps = 8,
  kNalAccessUnitDelimiter = 9,
};

inline int nalType(ByteView nal) { return nal.empty() ? -1 : nal[0] & 0x1f; }

// Cuts an H.264 Annex B byte stream into its NAL units, start codes removed. At each position a
// 4-byte start code (00 00 00 01) is looked for before a 3-byte one (00 00 01), so the zero of a
// 4-byte code never stays on the unit before it; other trailing zeros stay. Bytes before the
// first start code and units left empty are skipped. The views point into `stream`; any input
// is safe.
std::vector<ByteView> splitAnnexB(ByteView stream);

// Appends 00 00 00 01 and the unit.
void appendNal(Bytes& out, ByteView nal);

}  // namespace lumora::protocol
