#pragma once

// What the client library's benchmarks share: joining an agent's relay room once the agent is
// in it, and timing a stream's pictures from the agent's capture to their decode here.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "protocol/media_frame.h"
#include "sdk/agent_control_client.h"
#include "sdk/stream.h"

namespace lumora::bench {

// Connects `client` to the relay room `room` with `token`, trying again while the agent is not
// in it yet, for at most 20 seconds (then the last refusal is thrown).
void connectViaRelayWhenReady(sdk::AgentControlClient& client, const std::string& room,
                              const std::string& token, const std::string& code);

struct DecodeLatency {
  // From each picture's capture (the agent's steady-clock stamp) to its decode here, for the
  // pictures decoded after the warm-up.
  std::vector<double> millis;
  // Frames fed to the decoder after the warm-up.
  std::size_t frames = 0;
  // When the first picture was decoded.
  std::optional<std::chrono::steady_clock::time_point> firstPicture;
};

// Decodes `frames` from their first key frame for a second's warm-up and then `seconds`, or
// until no frame comes for `wait`. The agent runs on this machine: its capture stamps and this
// process's steady clock are the same clock.
DecodeLatency decodeLatency(sdk::Stream<protocol::MediaFrame>& frames, double seconds,
                            std::chrono::milliseconds wait);

}  // namespace lumora::bench
