#include "platform/x11/frame_source_x11.h"

#include "media/ffmpeg_handles.h"
#include "platform/capture_error.h"
#include "platform/linux/cursor_overlay.h"
#include "platform/x11/display_directory_x11.h"
#include "platform/x11/shm_segment.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_error.h"

#include <pthread.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>


#include <algorithm>
#include <chrono>
#include <vector>

namespace lumora::platform::x11 {
namespace {

// As many frames as a consumer may hold at once before ticks are skipped.
constexpr int kPoolDepth = 5;

std::uint64_t nowMillis() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace

struct FrameSourceX11::Session {
  std::shared_ptr<X11Connection> connection;
  DisplayRect display;
  int nativeWidth = 0;
  int nativeHeight = 0;
  FrameSize size;
  FrameHandler handler;

  xcb_damage_damage_t damage = 0;
  std::uint8_t damageEvent = 0;
  std::uint8_t cursorEvent = 0;
  std::vector<std::shared_ptr<ShmSegment>> captures;
  std::vector<PixelBuffer> scaled;  // pooled, only when the frame is smaller than the display
  media::ScalePtr scaler;

  std::vector<std::uint32_t> cursorPixels;
  linux_os::CursorImage cursor;
  int pointerX = -1;
  int pointerY = -1;
  bool dirty = true;  // the first tick always delivers a frame

  ~Session() {
    if (!connection) return;  // start failed before connecting
    if (damage != 0) xcb_damage_destroy(connection->get(), damage);
    xcb_flush(connection->get());
  }

  void readCursor() {
    Reply<xcb_xfixes_get_cursor_image_reply_t> reply(xcb_xfixes_get_cursor_image_reply(
        connection->get(), xcb_xfixes_get_cursor_image(connection->get()), nullptr));
    if (!reply) return;
    const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
    cursorPixels.assign(pixels,
                        pixels + xcb_xfixes_get_cursor_image_cursor_image_length(reply.get()));
    cursor = {reply->width, reply->height, reply->xhot, reply->yhot, cursorPixels};
  }

  // Reads what happened since the last tick; false once the server is gone.
  bool collectChanges() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection->get())) {
      const std::uint8_t type = event->response_type & 0x7F;
      if (type == damageEvent + XCB_DAMAGE_NOTIFY) {
        dirty = true;
      } else if (type == cursorEvent + XCB_XFIXES_CURSOR_NOTIFY) {
        readCursor();
        dirty = true;
      }
      std::free(event);
    }
    Reply<xcb_query_pointer_reply_t> pointer(xcb_query_pointer_reply(
        connection->get(), xcb_query_pointer(connection->get(), connection->root()), nullptr));
    if (!pointer) return connection->healthy();
    if (pointer->root_x != pointerX || pointer->root_y != pointerY) {
      pointerX = pointer->root_x;
      pointerY = pointer->root_y;
      dirty = true;  // the cursor is part of the picture
    }
    return true;
  }

  std::shared_ptr<ShmSegment> freeCapture() {
    for (auto& segment : captures) {
      if (segment.use_count() == 1) return segment;
    }
    return nullptr;
  }

  // One frame, or none when the consumer still holds every pooled buffer.
  std::optional<PixelBuffer> capture() {
    std::shared_ptr<ShmSegment> segment = freeCapture();
    if (!segment) return std::nullopt;
    // Cleared before reading, so drawing that lands during the read marks the next tick dirty.
    xcb_damage_subtract(connection->get(), damage, XCB_NONE, XCB_NONE);
    Reply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(
        connection->get(),
        xcb_shm_get_image(
            connection->get(), connection->root(), static_cast<std::int16_t>(display.x),
            static_cast<std::int16_t>(display.y), static_cast<std::uint16_t>(nativeWidth),
            static_cast<std::uint16_t>(nativeHeight), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment->id(),
            0),
        nullptr));
    if (!image) return std::nullopt;
    const std::size_t nativeStride = static_cast<std::size_t>(nativeWidth) * 4;
    linux_os::drawCursor(segment->data(), nativeStride, nativeWidth, nativeHeight, cursor,
               pointerX - static_cast<int>(display.x), pointerY - static_cast<int>(display.y));
    if (scaler == nullptr) {
      return PixelBuffer(nativeWidth, nativeHeight, nativeStride,
                         std::shared_ptr<std::uint8_t>(segment, segment->data()));
    }
    auto target = std::find_if(scaled.begin(), scaled.end(),
                               [](const PixelBuffer& b) { return b.shareCount() == 1; });
    if (target == scaled.end()) return std::nullopt;
    const std::uint8_t* source[] = {segment->data()};
    const int sourceStride[] = {static_cast<int>(nativeStride)};
    std::uint8_t* destination[] = {target->mutableData()};
    const int destinationStride[] = {static_cast<int>(target->stride())};
    sws_scale(scaler.get(), source, sourceStride, 0, nativeHeight, destination,
              destinationStride);
    return *target;
  }
};

FrameSourceX11::FrameSourceX11(std::string displayName, std::optional<int> maxWidth,
                               std::optional<int> maxHeight, std::optional<std::uint32_t> displayID,
                               int fps)
    : displayName_(std::move(displayName)),
      maxWidth_(maxWidth),
      maxHeight_(maxHeight),
      displayID_(displayID),
      fps_(std::max(fps, 1)) {}

FrameSourceX11::~FrameSourceX11() { stop(); }

void FrameSourceX11::start(FrameHandler handler) {
  stop();
  auto session = std::make_shared<Session>();
  session->handler = std::move(handler);
  try {
    session->connection = std::make_shared<X11Connection>(displayName_);
    X11Connection& x = *session->connection;
    x.requireExtension(&xcb_shm_id, "MIT-SHM");
    x.requireExtension(&xcb_damage_id, "DAMAGE");
    x.requireExtension(&xcb_xfixes_id, "XFIXES");

    // Choose the display before anything else, so that a missing one fails cheaply.
    DisplayDirectoryX11 directory(displayName_);
    const auto monitors = directory.monitors();
    if (monitors.empty()) throw CaptureError::noDisplayAvailable();
    const DisplayDirectoryX11::Monitor* chosen = &monitors.front();
    if (displayID_) {
      auto wanted = std::find_if(monitors.begin(), monitors.end(),
                                 [&](const auto& m) { return m.descriptor.id == *displayID_; });
      if (wanted != monitors.end()) {
        chosen = &*wanted;
      } else {
        log_.error("displayID " + std::to_string(*displayID_) + " not found among " +
                   std::to_string(monitors.size()) + " displays; falling back to primary");
      }
    }
    session->display = chosen->bounds;
    session->nativeWidth = static_cast<int>(chosen->bounds.width);
    session->nativeHeight = static_cast<int>(chosen->bounds.height);
    session->size = fittedSize(session->nativeWidth, session->nativeHeight, maxWidth_, maxHeight_);
    if (x.screen()->root_depth != 24 && x.screen()->root_depth != 32) {
      throw X11Error("capture needs a 24- or 32-bit screen");
    }

    free(xcb_damage_query_version_reply(x.get(), xcb_damage_query_version(x.get(), 1, 1), nullptr));
    free(xcb_xfixes_query_version_reply(x.get(), xcb_xfixes_query_version(x.get(), 4, 0), nullptr));
    session->damageEvent = x.firstEvent(&xcb_damage_id);
    session->cursorEvent = x.firstEvent(&xcb_xfixes_id);
    session->damage = xcb_generate_id(x.get());
    xcb_damage_create(x.get(), session->damage, x.root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    xcb_xfixes_select_cursor_input(x.get(), x.root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    session->readCursor();

    const std::size_t bytes = static_cast<std::size_t>(session->nativeWidth) *
                              static_cast<std::size_t>(session->nativeHeight) * 4;
    const bool scales = session->size.width != session->nativeWidth ||
                        session->size.height != session->nativeHeight;
    // Scaling copies the image out at once, so one capture segment is enough then.
    for (int i = 0; i < (scales ? 1 : kPoolDepth); ++i) {
      session->captures.push_back(std::make_shared<ShmSegment>(session->connection, bytes));
    }
    if (scales) {
      session->scaler.reset(sws_getContext(session->nativeWidth, session->nativeHeight,
                                           AV_PIX_FMT_BGR0, session->size.width,
                                           session->size.height, AV_PIX_FMT_BGRA, SWS_BILINEAR,
                                           nullptr, nullptr, nullptr));
      if (session->scaler == nullptr) throw X11Error("cannot set up frame scaling");
      for (int i = 0; i < kPoolDepth; ++i) {
        auto buffer = PixelBuffer::allocate(session->size.width, session->size.height);
        if (!buffer) throw X11Error("frame size out of range");
        session->scaled.push_back(*buffer);
      }
    }
    xcb_flush(x.get());
  } catch (const CaptureError&) {
    throw;
  } catch (const std::exception& e) {
    throw CaptureError(CaptureError::platformFailure, e.what());
  }

  capturedWidth_ = session->size.width;
  capturedHeight_ = session->size.height;
  {
    std::lock_guard lock(mutex_);
    stopping_ = false;
  }
  thread_ = std::thread([this, session] { run(session); });
  log_.info("X11 capture started " + std::to_string(session->size.width) + "x" +
            std::to_string(session->size.height));
}

void FrameSourceX11::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void FrameSourceX11::run(std::shared_ptr<Session> session) {
  pthread_setname_np(pthread_self(), "lumora.capture");
  const auto interval = std::chrono::nanoseconds(1'000'000'000 / fps_);
  auto next = std::chrono::steady_clock::now();
  while (true) {
    {
      std::unique_lock lock(mutex_);
      if (wake_.wait_until(lock, next, [this] { return stopping_; })) return;
    }
    next += interval;
    const auto now = std::chrono::steady_clock::now();
    if (next < now) next = now;  // a slow consumer delays ticks instead of bunching them up

    if (!session->collectChanges()) {
      log_.error("X11 capture stopped: connection to the X server lost");
      return;
    }
    if (!session->dirty) continue;
    if (auto frame = session->capture()) {
      session->dirty = false;
      session->handler(*frame, nowMillis());
    }
  }
}

}  // namespace lumora::platform::x11
