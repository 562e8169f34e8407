#include "stream_latency.h"

#include <map>
#include <thread>

#include "sdk/sdk_error.h"
#include "sdk/video_decoder.h"

namespace lumora::bench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

void connectViaRelayWhenReady(sdk::AgentControlClient& client, const std::string& room,
                              const std::string& token, const std::string& code) {
  for (const auto deadline = Clock::now() + 20s;;) {
    try {
      client.connectViaRelay(room, token, code).get();
      return;
    } catch (const sdk::SDKError&) {
      if (Clock::now() > deadline) throw;
      std::this_thread::sleep_for(50ms);
    }
  }
}

DecodeLatency decodeLatency(sdk::Stream<protocol::MediaFrame>& frames, double seconds,
                            std::chrono::milliseconds wait) {
  DecodeLatency result;
  sdk::VideoDecoder decoder;
  std::map<std::uint64_t, std::uint64_t> captured;  // frame id → capture millis
  bool measuring = false;
  decoder.setOnDecoded([&](const sdk::DecodedPicture&, std::uint64_t frameID) {
    const auto now = Clock::now();
    if (!result.firstPicture) result.firstPicture = now;
    auto found = captured.find(frameID);
    if (found == captured.end()) return;
    if (measuring) {
      const double nowMillis =
          std::chrono::duration<double, std::milli>(now.time_since_epoch()).count();
      result.millis.push_back(nowMillis - static_cast<double>(found->second));
    }
    captured.erase(captured.begin(), std::next(found));
  });
  const auto warmUpEnd = Clock::now() + 1s;
  const auto end = warmUpEnd + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(seconds));
  bool keyed = false;
  while (Clock::now() < end) {
    auto frame = frames.next(wait);
    if (!frame) break;
    measuring = Clock::now() >= warmUpEnd;
    keyed = keyed || frame->meta.isKeyframe;
    if (!keyed) continue;
    captured[frame->meta.frameID] = frame->meta.presentationTimeMillis;
    decoder.decode(frame->payload, frame->meta.frameID);
    if (measuring) ++result.frames;
  }
  return result;
}

}  // namespace lumora::bench
