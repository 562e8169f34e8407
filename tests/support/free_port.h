#pragma once

#include <cstdint>

namespace lumora::testing_support {

// A loopback port that is free now, and the one after it too (a program that serves its control
// channel on N and its media channel on N + 1), outside the range the system hands out for port 0
// and outgoing connections. Nothing holds them: take them soon.
std::uint16_t freePortPair();

}  // namespace lumora::testing_support
