#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/display_directory.h"
#include "platform/frame_source.h"
#include "platform/input_injector.h"
#include "platform/pasteboard_access.h"

namespace lumora::platform {

// What a stream or a single capture asks of a frame source: a box the frames must fit in (none
// is no limit on that side), the display (none is the main one) and the highest frame rate.
struct FrameSourceRequest {
  std::optional<int> maxWidth;
  std::optional<int> maxHeight;
  std::optional<std::uint32_t> displayID;
  int fps = 30;
};

// One desktop the agent serves, as one display-server backend reaches it: its displays, its
// input, its clipboard and its screen frames. The parts it hands out stay usable after the
// desktop object itself is gone.
class Desktop {
 public:
  virtual ~Desktop() = default;

  virtual std::shared_ptr<DisplayDirectory> displays() = 0;
  virtual std::shared_ptr<InputInjector> injector() = 0;
  virtual std::shared_ptr<PasteboardAccess> pasteboard() = 0;
  // A new source each call; whether capture can run is what its start() says. Safe to call
  // from any thread.
  virtual std::unique_ptr<FrameSource> makeFrameSource(const FrameSourceRequest& request) = 0;
};

}  // namespace lumora::platform
