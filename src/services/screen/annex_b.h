#pragma once

#include "protocol/bytes.h"

#include <cstdint>
#include <vector>

namespace lumora::services::screen {

// H.264 NAL unit types the encoder sorts by.
enum NalType : int {
  kNalSlice = 1,
  kNalIdrSlice = 5,
  kNalSei = 6,
  kNalSps = 7,
  kNalPps = 8,
  kNalAccessUnitDelimiter = 9,
};

inline int nalType(protocol::ByteView nal) { return nal.empty() ? -1 : nal[0] & 0x1f; }

// Cuts an Annex B byte stream into its NAL units, start codes removed. Both 3- and 4-byte start
// codes are accepted; bytes before the first start code are skipped, as are the zero bytes that
// trail a unit (they belong to the next start code: a unit's last byte is never zero) and units
// left empty. The views point into `stream`.
std::vector<protocol::ByteView> splitAnnexB(protocol::ByteView stream);

// Appends 00 00 00 01 and the unit.
void appendNal(protocol::Bytes& out, protocol::ByteView nal);

}  // namespace lumora::services::screen
