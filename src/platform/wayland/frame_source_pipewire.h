#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/agent_log.h"
#include "platform/fitted_size.h"
#include "platform/frame_source.h"
#include "platform/linux/unique_fd.h"

namespace lumora::platform::wayland {

// How the pointer reaches the frames of a screen-cast stream.
enum class CursorDelivery {
  none,      // not at all (hidden)
  embedded,  // the compositor draws it into the pixels
  metadata,  // beside the pixels (SPA_META_Cursor): this source draws it in
};

// One screen-cast stream as the portal describes it: its PipeWire node and where it sits in
// the desktop's logical space (position and size may be missing).
struct PortalStream {
  std::uint32_t nodeID = 0;
  std::optional<std::int32_t> x;
  std::optional<std::int32_t> y;
  std::optional<std::int32_t> width;
  std::optional<std::int32_t> height;
  bool operator==(const PortalStream&) const = default;
};

// Live frames of one portal stream, received from PipeWire on a thread of its own
// ("lumora.capture").
//
// Frames are BGRA at fittedSize(the stream's pixel size, box): shared-memory buffers (MemFd,
// MemPtr) and mappable DMA-BUFs are read with their chunk's offset and stride (0: packed rows);
// corrupted or empty chunks, and chunks whose rows would reach past the mapping, are skipped. A
// frame is delivered only when its pixels differ from the last one delivered, at most `fps` a
// second (of faster pictures the newest is kept); libswscale converts and scales into a pool of
// frames, and a consumer holding all of them delays delivery instead of growing the pool. With
// CursorDelivery::metadata the cursor bitmap that comes with the buffers is drawn in.
//
// start() connects with a fresh descriptor from `openRemote` and returns once the stream
// negotiated its format, or throws CaptureError (platformFailure) saying why not; what
// `openRemote` throws comes through as a CaptureError too. A stream that fails or ends later is
// logged once and delivers nothing more. start() and stop() are for one owning thread; the
// handler runs on the capture thread, and stop() waits for a call in progress.
class FrameSourcePipeWire : public FrameSource {
 public:
  using RemoteOpener = std::function<linux_os::UniqueFd()>;

  FrameSourcePipeWire(RemoteOpener openRemote, PortalStream stream, CursorDelivery cursor,
                      std::optional<int> maxWidth, std::optional<int> maxHeight, int fps);
  ~FrameSourcePipeWire() override;

  void start(FrameHandler handler) override;
  void stop() override;

  // The size of the delivered frames; 0 until started.
  int capturedWidth() const;
  int capturedHeight() const;

 private:
  struct Session;
  std::unique_ptr<Session> session_;
};

}  // namespace lumora::platform::wayland
