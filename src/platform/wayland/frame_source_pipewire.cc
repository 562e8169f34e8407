#include "platform/wayland/frame_source_pipewire.h"

#include "platform/capture_error.h"
#include "platform/wayland/frame_pacer.h"
#include "platform/wayland/pipewire_stream.h"
#include "platform/wayland/stream_picture.h"

#include <pipewire/stream.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>

namespace lumora::platform::wayland {
namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t nowMillis() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
          .count());
}

// One running capture: the stream's buffers become pictures, pictures become frames at the
// pace asked for. Everything but open() runs under the stream's loop lock.
class Capture final : PipeWireStream::Listener {
 public:
  // `width` and `height` follow the size of the frames, for readers on other threads.
  Capture(const core::AgentLog& log, std::atomic<int>& width, std::atomic<int>& height,
          const PortalStream& stream, CursorDelivery cursor, std::optional<int> maxWidth,
          std::optional<int> maxHeight, int fps, FrameHandler handler)
      : log_(log),
        publishedWidth_(width),
        publishedHeight_(height),
        maxWidth_(maxWidth),
        maxHeight_(maxHeight),
        handler_(std::move(handler)),
        stream_(*this, stream.nodeID, fps, cursor == CursorDelivery::metadata),
        picture_(cursor == CursorDelivery::metadata),
        pacer_(fps) {}
  // The loop stops before the picture and the pacer it calls into go.
  ~Capture() { stream_.close(); }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Connects over `remote` and waits for the format; throws CaptureError saying why not (the
  // destructor then frees what was set up).
  void open(linux_os::UniqueFd remote) { stream_.open(std::move(remote)); }

  // Lets frames through once start() is about to return, and publishes their size. A picture
  // that came during start() is delivered then, from the loop thread like every other.
  FrameSize markStarted() {
    const LoopLock locked = stream_.lock();
    started_ = true;
    pacer_.forgetDelivered();
    publishedWidth_ = size_.width;
    publishedHeight_ = size_.height;
    if (picture_.valid() && !stream_.ended()) {
      pacer_.requestRetry();
      if (!stream_.timerArmed()) stream_.armTimer(std::chrono::milliseconds(1));
    }
    return size_;
  }

 private:
  bool formatAgreed(const StreamFormat& format) override {
    const FrameSize size = fittedSize(format.width, format.height, maxWidth_, maxHeight_);
    if (!pacer_.resize(size) || !picture_.configure(format, size)) return false;
    size_ = size;
    if (started_) {
      publishedWidth_ = size.width;
      publishedHeight_ = size.height;
    }
    return true;
  }

  // Takes every waiting buffer; the newest readable one is kept for the next frame and the rest
  // go straight back, so a producer faster than the rate costs no conversions.
  void buffersArrived() override {
    while (pw_buffer* buffer = stream_.dequeue()) {
      if (stream_.ended() || !picture_.configured()) {
        stream_.requeue(buffer);
        continue;
      }
      if (picture_.readCursor(*buffer)) cursorChanged_ = true;
      if (picture_.readable(*buffer)) {
        stream_.hold(buffer);
      } else {
        stream_.requeue(buffer);
      }
    }
    schedule();
  }

  void timerFired() override { schedule(); }

  // The owner notices the silence and restarts.
  void failed(const std::string& why) override {
    if (started_) log_.error("PipeWire capture stopped: " + why);
  }

  // Makes a frame now when one is due, else arms the timer for when it will be.
  void schedule() {
    if (stream_.ended() || (!stream_.holding() && !cursorChanged_ && !pacer_.retryPending())) {
      return;
    }
    const auto now = Clock::now();
    if (pacer_.due(now)) {
      makeFrame();
      if (!pacer_.retryPending()) return;
    }
    if (!stream_.timerArmed()) stream_.armTimer(pacer_.untilDue(now));
  }

  void makeFrame() {
    const bool cursorMoved = std::exchange(cursorChanged_, false);
    const bool retrying = pacer_.takeRetry();
    bool changed = cursorMoved || retrying;
    if (pw_buffer* buffer = stream_.takeHeld()) {
      changed = picture_.read(*buffer) || changed;
      stream_.requeue(buffer);
    }
    if (!picture_.valid() || !changed) return;
    PixelBuffer* frame = pacer_.freeFrame();
    if (frame == nullptr) return;  // the consumer holds every frame: retried an interval later
    picture_.drawInto(*frame);
    if (!pacer_.isNew()) return;
    if (!started_) return;  // start() has not returned yet: the first frame waits for it
    handler_(*frame, nowMillis());
  }

  const core::AgentLog& log_;
  std::atomic<int>& publishedWidth_;
  std::atomic<int>& publishedHeight_;
  const std::optional<int> maxWidth_;
  const std::optional<int> maxHeight_;
  FrameHandler handler_;

  PipeWireStream stream_;
  StreamPicture picture_;
  FramePacer pacer_;
  FrameSize size_{0, 0};
  bool cursorChanged_ = false;
  bool started_ = false;
};

}  // namespace

struct FrameSourcePipeWire::Session {
  RemoteOpener openRemote;
  PortalStream stream;
  CursorDelivery cursor;
  std::optional<int> maxWidth;
  std::optional<int> maxHeight;
  int fps;
  core::AgentLog log{"capture"};
  std::atomic<int> width{0};
  std::atomic<int> height{0};
  std::unique_ptr<Capture> capture;
};

FrameSourcePipeWire::FrameSourcePipeWire(RemoteOpener openRemote, PortalStream stream,
                                         CursorDelivery cursor, std::optional<int> maxWidth,
                                         std::optional<int> maxHeight, int fps)
    : session_(std::make_unique<Session>()) {
  session_->openRemote = std::move(openRemote);
  session_->stream = std::move(stream);
  session_->cursor = cursor;
  session_->maxWidth = maxWidth;
  session_->maxHeight = maxHeight;
  session_->fps = std::max(fps, 1);
}

FrameSourcePipeWire::~FrameSourcePipeWire() { stop(); }

void FrameSourcePipeWire::start(FrameHandler handler) {
  stop();
  Session& s = *session_;
  linux_os::UniqueFd fd;
  try {
    fd = s.openRemote();
  } catch (const CaptureError&) {
    throw;
  } catch (const std::exception& e) {
    throw CaptureError(CaptureError::platformFailure, e.what());
  }
  if (!fd) throw CaptureError(CaptureError::platformFailure, "no screen-cast session to read");

  auto capture = std::make_unique<Capture>(s.log, s.width, s.height, s.stream, s.cursor, s.maxWidth,
                                           s.maxHeight, s.fps, std::move(handler));
  capture->open(std::move(fd));  // on a throw, the capture's destructor closes what it opened
  const FrameSize size = capture->markStarted();
  s.capture = std::move(capture);
  s.log.info("PipeWire capture started " + std::to_string(size.width) + "x" +
             std::to_string(size.height));
}

void FrameSourcePipeWire::stop() {
  if (session_->capture) session_->capture.reset();
}

int FrameSourcePipeWire::capturedWidth() const { return session_->width.load(); }
int FrameSourcePipeWire::capturedHeight() const { return session_->height.load(); }

}  // namespace lumora::platform::wayland
