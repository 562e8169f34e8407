#pragma once

#include <cstdint>

namespace lumora::core {

// Tells apart the connections requests come from, so that what one connection leaves behind (a
// mouse button held mid-drag) is undone when that connection ends, and not when another does.
// Every connection gets a new one; 0 is none.
using PeerID = std::uint64_t;

}  // namespace lumora::core
