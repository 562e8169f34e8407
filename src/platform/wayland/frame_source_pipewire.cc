#include "platform/wayland/frame_source_pipewire.h"

#include "media/ffmpeg_handles.h"
#include "platform/capture_error.h"
#include "platform/linux/cursor_overlay.h"
#include "platform/wayland/pipewire_format.h"

#include <linux/dma-buf.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace lumora::platform::wayland {
namespace {

using Clock = std::chrono::steady_clock;

// As many frames as a consumer may hold at once; with all of them held, delivery waits.
constexpr int kPoolDepth = 5;
// How long start() waits for the registry and then for the stream's format.
constexpr auto kStartTimeout = std::chrono::seconds(5);
// Cursor metadata with a side × side bitmap behind its headers.
constexpr std::size_t cursorMetaSize(int side) {
  return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) +
         static_cast<std::size_t>(side) * static_cast<std::size_t>(side) * 4;
}

std::uint64_t nowMillis() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
          .count());
}

void initialisePipeWire() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

// Holds the thread loop's lock for a scope, the way std::lock_guard holds a mutex.
class LoopLock {
 public:
  explicit LoopLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
  ~LoopLock() { pw_thread_loop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pw_thread_loop* loop_;
};

// Brackets CPU reads of a DMA-BUF, so that caches agree with what the GPU wrote.
class DmaBufRead {
 public:
  explicit DmaBufRead(int fd) : fd_(fd) { sync(DMA_BUF_SYNC_START); }
  ~DmaBufRead() { sync(DMA_BUF_SYNC_END); }
  DmaBufRead(const DmaBufRead&) = delete;
  DmaBufRead& operator=(const DmaBufRead&) = delete;

 private:
  void sync(std::uint64_t phase) {
    if (fd_ < 0) return;
    dma_buf_sync request{phase | DMA_BUF_SYNC_READ};
    while (ioctl(fd_, DMA_BUF_IOCTL_SYNC, &request) == -1 && errno == EINTR) {
    }
  }
  int fd_;
};

// PipeWire's interface macros cast their first argument C-style; these keep that out of the code
// below.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
void addCoreListener(pw_core* core, spa_hook* hook, const pw_core_events* events, void* data) {
  pw_core_add_listener(core, hook, events, data);
}
int syncCore(pw_core* core) { return pw_core_sync(core, PW_ID_CORE, 0); }
pw_registry* registryOf(pw_core* core) {
  return pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
}
void addRegistryListener(pw_registry* registry, spa_hook* hook, const pw_registry_events* events,
                         void* data) {
  pw_registry_add_listener(registry, hook, events, data);
}
#pragma GCC diagnostic pop

// One running capture: the PipeWire objects and everything the loop thread touches. All of it
// is used under the thread loop's lock, which the loop thread holds while it runs callbacks.
class Capture {
 public:
  // `width` and `height` follow the size of the frames, for readers on other threads.
  Capture(const core::AgentLog& log, std::atomic<int>& width, std::atomic<int>& height,
          PortalStream stream, CursorDelivery cursor, std::optional<int> maxWidth,
          std::optional<int> maxHeight, int fps, FrameHandler handler)
      : log_(log),
        publishedWidth_(width),
        publishedHeight_(height),
        portalStream_(std::move(stream)),
        cursorMode_(cursor),
        maxWidth_(maxWidth),
        maxHeight_(maxHeight),
        interval_(std::chrono::nanoseconds(1'000'000'000 / fps)),
        fps_(fps),
        handler_(std::move(handler)) {}

  ~Capture() { close(); }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Connects over `fd` and waits for the format; throws CaptureError saying why not.
  void open(linux_os::UniqueFd fd) {
    initialisePipeWire();
    // The loop's name becomes its thread's name.
    loop_ = pw_thread_loop_new("lumora.capture", nullptr);
    if (loop_ == nullptr) fail("cannot set up the screen-cast thread");
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    if (context_ == nullptr) fail("cannot set up PipeWire");
    if (pw_thread_loop_start(loop_) < 0) fail("cannot start the screen-cast thread");

    LoopLock lock(loop_);
    // The connection owns the descriptor from here on and closes it when it ends.
    core_ = pw_context_connect_fd(context_, fd.release(), nullptr, 0);
    if (core_ == nullptr) fail("cannot connect to the screen-cast session");
    static const pw_core_events coreEvents = [] {
      pw_core_events events{};
      events.version = PW_VERSION_CORE_EVENTS;
      events.done = [](void* self, std::uint32_t id, int seq) {
        static_cast<Capture*>(self)->onCoreDone(id, seq);
      };
      events.error = [](void* self, std::uint32_t id, int seq, int res, const char* message) {
        static_cast<Capture*>(self)->onCoreError(id, seq, res, message);
      };
      return events;
    }();
    addCoreListener(core_, &coreListener_, &coreEvents, this);

    // The portal's remote shows only the nodes it granted: a node missing from the registry is
    // a stream that ended, and waiting for it would only run into the timeout.
    registry_ = registryOf(core_);
    if (registry_ == nullptr) fail("cannot read the screen-cast session");
    static const pw_registry_events registryEvents = [] {
      pw_registry_events events{};
      events.version = PW_VERSION_REGISTRY_EVENTS;
      events.global = [](void* self, std::uint32_t id, std::uint32_t, const char* type,
                         std::uint32_t,
                         const spa_dict*) { static_cast<Capture*>(self)->onGlobal(id, type); };
      events.global_remove = [](void* self, std::uint32_t id) {
        static_cast<Capture*>(self)->onGlobalRemoved(id);
      };
      return events;
    }();
    addRegistryListener(registry_, &registryListener_, &registryEvents, this);
    syncSeq_ = syncCore(core_);
    const auto deadline = Clock::now() + kStartTimeout;
    waitUntil(deadline, [this] { return registryRead_; });
    if (!failure_.empty()) fail(failure_);
    if (!registryRead_) fail("the screen-cast session does not answer");
    if (!nodeSeen_) fail("the screen-cast stream is no longer available");

    connectStream();
    waitUntil(deadline, [this] { return size_.width > 0; });
    if (!failure_.empty()) fail(failure_);
    if (size_.width == 0) fail("the screen-cast stream did not start");
  }

  // Stops callbacks and frees everything; after it returns the handler is never called again.
  void close() {
    if (loop_ != nullptr) {
      {
        LoopLock lock(loop_);
        closing_ = true;
        if (pwStream_ != nullptr) {
          if (held_ != nullptr) pw_stream_queue_buffer(pwStream_, held_);
          held_ = nullptr;
          pw_stream_disconnect(pwStream_);
        }
      }
      pw_thread_loop_stop(loop_);
    }
    // The loop thread has ended: nothing else touches these now.
    if (timer_ != nullptr) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), timer_);
    timer_ = nullptr;
    if (pwStream_ != nullptr) pw_stream_destroy(pwStream_);
    pwStream_ = nullptr;
    if (registry_ != nullptr) pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    registry_ = nullptr;
    if (core_ != nullptr) pw_core_disconnect(core_);
    core_ = nullptr;
    if (context_ != nullptr) pw_context_destroy(context_);
    context_ = nullptr;
    if (loop_ != nullptr) pw_thread_loop_destroy(loop_);
    loop_ = nullptr;
  }

  // Lets frames through once start() is about to return, and publishes their size. A picture
  // that came during start() is delivered then, from the loop thread like every other.
  FrameSize markStarted() {
    LoopLock lock(loop_);
    started_ = true;
    lastDelivered_ = -1;
    publishedWidth_ = size_.width;
    publishedHeight_ = size_.height;
    if (pictureValid_ && failure_.empty()) {
      retry_ = true;
      if (!timerArmed_) armTimer(std::chrono::milliseconds(1));
    }
    return size_;
  }

 private:
  [[noreturn]] static void fail(const std::string& why) {
    throw CaptureError(CaptureError::platformFailure, why);
  }

  // Waits under the loop lock until `done` holds, a failure is reported or `deadline` passes.
  template <class Condition>
  void waitUntil(Clock::time_point deadline, Condition done) {
    while (!done() && failure_.empty()) {
      const auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) return;
      timespec until;
      pw_thread_loop_get_time(loop_, &until,
                              std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
      pw_thread_loop_timed_wait_full(loop_, &until);
    }
  }

  void connectStream() {
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                             "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr);
    pwStream_ = pw_stream_new(core_, "lumora capture", props);
    if (pwStream_ == nullptr) fail("cannot set up the screen-cast stream");
    static const pw_stream_events streamEvents = [] {
      pw_stream_events events{};
      events.version = PW_VERSION_STREAM_EVENTS;
      events.state_changed = [](void* self, pw_stream_state, pw_stream_state state,
                                const char* error) {
        static_cast<Capture*>(self)->onStateChanged(state, error);
      };
      events.param_changed = [](void* self, std::uint32_t id, const spa_pod* param) {
        static_cast<Capture*>(self)->onParamChanged(id, param);
      };
      events.remove_buffer = [](void* self, pw_buffer* buffer) {
        auto* capture = static_cast<Capture*>(self);
        if (capture->held_ == buffer) capture->held_ = nullptr;
      };
      events.process = [](void* self) { static_cast<Capture*>(self)->onProcess(); };
      return events;
    }();
    pw_stream_add_listener(pwStream_, &streamListener_, &streamEvents, this);

    timer_ = pw_loop_add_timer(
        pw_thread_loop_get_loop(loop_),
        [](void* self, std::uint64_t) { static_cast<Capture*>(self)->onTimer(); }, this);
    if (timer_ == nullptr) fail("cannot set up the frame timer");

    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    spa_pod_frame object;
    spa_pod_frame choice;
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(&builder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), 0);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Enum, 0);
    const auto formats = offeredVideoFormats();
    spa_pod_builder_id(&builder, formats.front());  // the default
    for (std::uint32_t format : formats) spa_pod_builder_id(&builder, format);
    spa_pod_builder_pop(&builder, &choice);
    // No SPA_FORMAT_VIDEO_modifier: DMA-BUFs then come linear (or as shared memory) and are
    // read through their mapping. Tiled or compressed layouts would need a GPU import, which
    // this source does not do.
    spa_rectangle defaultSize{1920, 1080};
    spa_rectangle smallest{1, 1};
    spa_rectangle largest{PixelBuffer::kMaxSide, PixelBuffer::kMaxSide};
    spa_fraction defaultRate{static_cast<std::uint32_t>(fps_), 1};
    spa_fraction slowest{0, 1};
    spa_fraction fastest{1000, 1};
    spa_pod_builder_add(&builder, SPA_FORMAT_VIDEO_size,
                        SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &smallest, &largest),
                        SPA_FORMAT_VIDEO_framerate,
                        SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &slowest, &fastest), 0);
    const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object))};

    const int connected = pw_stream_connect(
        pwStream_, PW_DIRECTION_INPUT, portalStream_.nodeID,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
    if (connected < 0) fail("cannot connect to the screen-cast stream");
  }

  // Stream errors and a vanished remote end the capture: logged once, nothing more delivered;
  // the owner notices the silence and restarts.
  void reportFailure(const std::string& why) {
    if (!failure_.empty()) return;
    failure_ = why;
    if (started_ && !closing_) log_.error("PipeWire capture stopped: " + why);
    pw_thread_loop_signal(loop_, false);
  }

  void onCoreDone(std::uint32_t id, int seq) {
    if (id == PW_ID_CORE && seq == syncSeq_) {
      registryRead_ = true;
      pw_thread_loop_signal(loop_, false);
    }
  }

  void onCoreError(std::uint32_t id, int, int res, const char* message) {
    if (id != PW_ID_CORE) return;  // a proxy's own error arrives on the stream too
    if (res == -EPIPE) {
      reportFailure("the screen-cast session ended");
    } else {
      reportFailure(std::string("the screen-cast session failed: ") +
                    (message != nullptr ? message : spa_strerror(res)));
    }
  }

  void onGlobal(std::uint32_t id, const char* type) {
    if (id == portalStream_.nodeID && type != nullptr &&
        std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
      nodeSeen_ = true;
    }
  }

  // The producer's node is gone (the screen-cast ended): the stream would wait forever.
  void onGlobalRemoved(std::uint32_t id) {
    if (id == portalStream_.nodeID) reportFailure("the screen-cast stream ended");
  }

  void onStateChanged(pw_stream_state state, const char* error) {
    if (state == PW_STREAM_STATE_ERROR) {
      reportFailure(std::string("the screen-cast stream failed: ") +
                    (error != nullptr ? error : "unknown error"));
    } else if (state == PW_STREAM_STATE_UNCONNECTED && !closing_) {
      reportFailure("the screen-cast stream ended");
    }
  }

  void onParamChanged(std::uint32_t id, const spa_pod* param) {
    if (id != SPA_PARAM_Format || param == nullptr) return;
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    spa_video_info_raw info{};
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
        spa_format_video_raw_parse(param, &info) < 0) {
      reportFailure("the screen-cast stream offered no usable picture format");
      return;
    }
    const auto pixelFormat = ffmpegPixelFormat(info.format);
    const int width = static_cast<int>(info.size.width);
    const int height = static_cast<int>(info.size.height);
    if (!pixelFormat || width < 1 || height < 1 || info.size.width > PixelBuffer::kMaxSide ||
        info.size.height > PixelBuffer::kMaxSide) {
      reportFailure("the screen-cast stream offered no usable picture format");
      return;
    }
    if (!setUpConversion(width, height, *pixelFormat)) {
      reportFailure("cannot set up frame conversion");
      return;
    }

    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    std::vector<const spa_pod*> params;
    const int dataTypes = (1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_DmaBuf);
    params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(8, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(dataTypes))));
    params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
        SPA_POD_Int(static_cast<int>(sizeof(spa_meta_header))))));
    // Damaged regions are asked for because some producers send them only when asked; frames
    // are still compared whole, as producers disagree on what an empty list means.
    params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(static_cast<int>(sizeof(spa_meta_region) * 16),
                                 static_cast<int>(sizeof(spa_meta_region)),
                                 static_cast<int>(sizeof(spa_meta_region) * 16)))));
    if (cursorMode_ == CursorDelivery::metadata) {
      params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
          &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
          SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
          SPA_POD_CHOICE_RANGE_Int(static_cast<int>(cursorMetaSize(64)),
                                   static_cast<int>(cursorMetaSize(1)),
                                   static_cast<int>(cursorMetaSize(kMaxCursorSide))))));
    }
    pw_stream_update_params(pwStream_, params.data(), static_cast<std::uint32_t>(params.size()));
    pw_thread_loop_signal(loop_, false);
  }

  // Scaler, picture and pool for a stream of width × height in `format`; false when they cannot
  // be had. A later format change replaces them (frames the consumer holds keep their bytes).
  bool setUpConversion(int width, int height, AVPixelFormat format) {
    const FrameSize size = fittedSize(width, height, maxWidth_, maxHeight_);
    media::ScalePtr scaler(sws_getContext(width, height, format, size.width, size.height,
                                          AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr,
                                          nullptr));
    if (scaler == nullptr) return false;
    std::vector<PixelBuffer> pool;
    for (int i = 0; i < kPoolDepth; ++i) {
      auto buffer = PixelBuffer::allocate(size.width, size.height);
      if (!buffer) return false;
      pool.push_back(std::move(*buffer));
    }
    auto picture = PixelBuffer::allocate(size.width, size.height);
    if (!picture) return false;
    scaler_ = std::move(scaler);
    // Blue-first pixels at the frame's own size need no conversion, only a copy: the fourth
    // byte may stay padding.
    directCopy_ = (format == AV_PIX_FMT_BGR0 || format == AV_PIX_FMT_BGRA) && size.width == width &&
                  size.height == height;
    pool_ = std::move(pool);
    picture_ = std::move(*picture);
    pictureValid_ = false;
    lastDelivered_ = -1;
    streamWidth_ = width;
    streamHeight_ = height;
    size_ = size;
    if (started_) {
      publishedWidth_ = size.width;
      publishedHeight_ = size.height;
    }
    return true;
  }

  // Where the buffer's pixels lie, or none when it must be skipped.
  std::optional<PlaneLayout> usablePlane(const pw_buffer& buffer) const {
    const spa_buffer* spa = buffer.buffer;
    if (spa == nullptr || spa->n_datas < 1) return std::nullopt;
    const auto* header = static_cast<const spa_meta_header*>(
        spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)));
    if (header != nullptr && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0) {
      return std::nullopt;
    }
    const spa_data& data = spa->datas[0];
    if (data.data == nullptr || data.chunk == nullptr) return std::nullopt;
    if (data.type != SPA_DATA_MemFd && data.type != SPA_DATA_MemPtr &&
        data.type != SPA_DATA_DmaBuf) {
      return std::nullopt;
    }
    return readablePlane(data.maxsize, data.chunk->offset, data.chunk->size, data.chunk->stride,
                         data.chunk->flags, streamWidth_, streamHeight_);
  }

  void readCursor(const pw_buffer& buffer) {
    if (cursorMode_ != CursorDelivery::metadata || buffer.buffer == nullptr) return;
    const spa_meta* meta = spa_buffer_find_meta(buffer.buffer, SPA_META_Cursor);
    if (meta == nullptr) return;
    if (applyCursorMeta(meta->data, meta->size, cursor_)) cursorChanged_ = true;
  }

  // Takes every waiting buffer; the newest usable one is kept for the next frame and the rest
  // go straight back, so a producer faster than `fps` costs no conversions.
  void onProcess() {
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(pwStream_)) {
      if (closing_ || !failure_.empty() || streamWidth_ == 0) {
        pw_stream_queue_buffer(pwStream_, buffer);
        continue;
      }
      readCursor(*buffer);
      if (usablePlane(*buffer)) {
        if (held_ != nullptr) pw_stream_queue_buffer(pwStream_, held_);
        held_ = buffer;
      } else {
        pw_stream_queue_buffer(pwStream_, buffer);
      }
    }
    schedule();
  }

  void onTimer() {
    timerArmed_ = false;
    schedule();
  }

  // Makes a frame now when the last one is at least an interval old, else arms the timer for
  // when it will be.
  void schedule() {
    if (closing_ || !failure_.empty() || (held_ == nullptr && !cursorChanged_ && !retry_)) return;
    const auto now = Clock::now();
    if (now - lastFrame_ >= interval_) {
      lastFrame_ = now;
      makeFrame();
      if (!retry_) return;
    }
    if (timerArmed_) return;
    Clock::duration wait = lastFrame_ + interval_ - now;
    if (wait <= Clock::duration::zero()) wait = interval_;  // a retry after a frame just made
    armTimer(wait);
  }

  void armTimer(Clock::duration wait) {
    const auto due = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timespec value{static_cast<time_t>(due / 1'000'000'000),
                   static_cast<long>(due % 1'000'000'000)};
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), timer_, &value, nullptr, false);
    timerArmed_ = true;
  }

  void makeFrame() {
    // A producer that sends the same picture again (many do, at their own rate) costs one
    // comparison, not a conversion and a frame.
    const bool cursorMoved = std::exchange(cursorChanged_, false);
    const bool retrying = std::exchange(retry_, false);
    bool changed = cursorMoved || retrying;
    if (held_ != nullptr) {
      pw_buffer* buffer = std::exchange(held_, nullptr);
      changed = convert(*buffer) || changed;
      pw_stream_queue_buffer(pwStream_, buffer);
    }
    if (!pictureValid_ || !changed) return;

    int target = -1;
    for (int i = 0; i < static_cast<int>(pool_.size()); ++i) {
      if (i != lastDelivered_ && pool_[i].shareCount() == 1) {
        target = i;
        break;
      }
    }
    if (target < 0) {
      retry_ = true;  // the consumer holds every frame: try again an interval later
      return;
    }
    PixelBuffer& frame = pool_[target];
    std::memcpy(frame.mutableData(), picture_.data(), picture_.byteCount());
    if (cursorMode_ == CursorDelivery::metadata && cursor_.visible) {
      // The bitmap is drawn at its own size; only its position follows the scaling.
      const int x = static_cast<int>(static_cast<long long>(cursor_.x) * size_.width /
                                     std::max(streamWidth_, 1));
      const int y = static_cast<int>(static_cast<long long>(cursor_.y) * size_.height /
                                     std::max(streamHeight_, 1));
      linux_os::drawCursor(
          frame.mutableData(), frame.stride(), frame.width(), frame.height(),
          {cursor_.width, cursor_.height, cursor_.hotX, cursor_.hotY, cursor_.pixels}, x, y);
    }
    if (lastDelivered_ >= 0 &&
        std::memcmp(pool_[lastDelivered_].data(), frame.data(), frame.byteCount()) == 0) {
      return;
    }
    lastDelivered_ = target;
    if (!started_) return;  // start() has not returned yet: the first frame waits for it
    handler_(frame, nowMillis());
  }

  // Brings the buffer's picture into picture_; false when the picture is what it was.
  bool convert(const pw_buffer& buffer) {
    const auto plane = usablePlane(buffer);  // the format may have changed since it was held
    if (!plane) return false;
    const spa_data& data = buffer.buffer->datas[0];
    DmaBufRead fence(data.type == SPA_DATA_DmaBuf ? static_cast<int>(data.fd) : -1);
    const auto* pixels = static_cast<const std::uint8_t*>(data.data) + plane->offset;
    if (directCopy_) return copyIfChanged(pixels, static_cast<std::size_t>(plane->stride));
    const std::uint8_t* source[] = {pixels};
    const int sourceStride[] = {plane->stride};
    std::uint8_t* destination[] = {picture_.mutableData()};
    const int destinationStride[] = {static_cast<int>(picture_.stride())};
    sws_scale(scaler_.get(), source, sourceStride, 0, streamHeight_, destination,
              destinationStride);
    pictureValid_ = true;
    return true;
  }

  // Copies the rows from the first one that differs; false when none does.
  bool copyIfChanged(const std::uint8_t* pixels, std::size_t stride) {
    const std::size_t rowBytes = static_cast<std::size_t>(streamWidth_) * 4;
    int row = 0;
    if (pictureValid_) {
      while (row < streamHeight_ &&
             std::memcmp(pixels + stride * row, picture_.row(row), rowBytes) == 0) {
        ++row;
      }
      if (row == streamHeight_) return false;
    }
    for (; row < streamHeight_; ++row) {
      std::memcpy(picture_.mutableData() + picture_.stride() * row, pixels + stride * row,
                  rowBytes);
    }
    pictureValid_ = true;
    return true;
  }

  const core::AgentLog& log_;
  std::atomic<int>& publishedWidth_;
  std::atomic<int>& publishedHeight_;
  const PortalStream portalStream_;
  const CursorDelivery cursorMode_;
  const std::optional<int> maxWidth_;
  const std::optional<int> maxHeight_;
  const Clock::duration interval_;
  const int fps_;
  FrameHandler handler_;

  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_registry* registry_ = nullptr;
  pw_stream* pwStream_ = nullptr;
  spa_source* timer_ = nullptr;
  spa_hook coreListener_{};
  spa_hook registryListener_{};
  spa_hook streamListener_{};

  int syncSeq_ = -1;
  bool registryRead_ = false;
  bool nodeSeen_ = false;
  bool started_ = false;
  bool closing_ = false;
  std::string failure_;

  int streamWidth_ = 0;
  int streamHeight_ = 0;
  FrameSize size_{0, 0};
  media::ScalePtr scaler_;
  PixelBuffer picture_;  // the latest stream picture at frame size, without the cursor
  bool pictureValid_ = false;
  bool directCopy_ = false;
  std::vector<PixelBuffer> pool_;
  int lastDelivered_ = -1;
  StreamCursor cursor_;
  bool cursorChanged_ = false;

  pw_buffer* held_ = nullptr;
  bool retry_ = false;
  bool timerArmed_ = false;
  Clock::time_point lastFrame_{};
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
