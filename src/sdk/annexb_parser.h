#pragma once

#include <cstdint>
#include <vector>

#include "protocol/bytes.h"

namespace lumora::sdk {

// Splits H.264 Annex B byte streams into NAL units and rewrites them length-prefixed (AVCC).
// Pure byte logic; any input is safe. NAL types are protocol::nalType's (protocol/annex_b.h).
namespace AnnexBParser {

// The NAL units of `data`, without their start codes, in order, as protocol::splitAnnexB cuts
// them.
std::vector<protocol::Bytes> nalUnits(protocol::ByteView data);

// Each unit preceded by its length as a 32-bit big-endian number.
protocol::Bytes toAVCC(const std::vector<protocol::Bytes>& units);

}  // namespace AnnexBParser

}  // namespace lumora::sdk
