#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/bytes.h"

namespace lumora::sdk {

// Splits H.264 Annex B byte streams into NAL units and rewrites them length-prefixed (AVCC).
// Pure byte logic; any input is safe.
namespace AnnexBParser {

// The NAL unit types the decoder tells apart.
namespace NALType {
inline constexpr std::uint8_t nonIDR = 1;
inline constexpr std::uint8_t idr = 5;
inline constexpr std::uint8_t sps = 7;
inline constexpr std::uint8_t pps = 8;
}  // namespace NALType

// The NAL units of `data`, without their start codes, in order, as protocol::splitAnnexB cuts
// them.
std::vector<protocol::Bytes> nalUnits(protocol::ByteView data);

// The unit's NAL type (its first byte's low five bits); nothing for an empty unit.
std::optional<std::uint8_t> type(protocol::ByteView unit);

// Each unit preceded by its length as a 32-bit big-endian number.
protocol::Bytes toAVCC(const std::vector<protocol::Bytes>& units);

}  // namespace AnnexBParser

}  // namespace lumora::sdk
