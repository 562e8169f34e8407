#include "platform/wayland/pipewire_stream.h"

#include "platform/capture_error.h"

#include <pipewire/pipewire.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

namespace lumora::platform::wayland {
namespace {

using Clock = std::chrono::steady_clock;

// How long open() waits for the registry and then for the stream's format.
constexpr auto kStartTimeout = std::chrono::seconds(5);

[[noreturn]] void fail(const std::string& why) {
  throw CaptureError(CaptureError::platformFailure, why);
}

void initialisePipeWire() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

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

}  // namespace

LoopLock::LoopLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
LoopLock::~LoopLock() { pw_thread_loop_unlock(loop_); }

PipeWireStream::PipeWireStream(Listener& listener, std::uint32_t nodeID, int fps,
                               bool cursorMetadata)
    : listener_(listener), nodeID_(nodeID), fps_(fps), cursorMetadata_(cursorMetadata) {}

PipeWireStream::~PipeWireStream() { close(); }

void PipeWireStream::open(linux_os::UniqueFd remote) {
  initialisePipeWire();
  // The loop's name becomes its thread's name.
  loop_ = pw_thread_loop_new("lumora.capture", nullptr);
  if (loop_ == nullptr) fail("cannot set up the screen-cast thread");
  context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
  if (context_ == nullptr) fail("cannot set up PipeWire");
  if (pw_thread_loop_start(loop_) < 0) fail("cannot start the screen-cast thread");

  LoopLock locked(loop_);
  // The connection owns the descriptor from here on and closes it when it ends.
  core_ = pw_context_connect_fd(context_, remote.release(), nullptr, 0);
  if (core_ == nullptr) fail("cannot connect to the screen-cast session");
  static const pw_core_events coreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = [](void* self, std::uint32_t id, int seq) {
      static_cast<PipeWireStream*>(self)->onCoreDone(id, seq);
    };
    events.error = [](void* self, std::uint32_t id, int, int res, const char* message) {
      static_cast<PipeWireStream*>(self)->onCoreError(id, res, message);
    };
    return events;
  }();
  addCoreListener(core_, &coreListener_, &coreEvents, this);

  // The portal's remote shows only the nodes it granted: a node missing from the registry is a
  // stream that ended, and waiting for it would only run into the timeout.
  registry_ = registryOf(core_);
  if (registry_ == nullptr) fail("cannot read the screen-cast session");
  static const pw_registry_events registryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = [](void* self, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                       const spa_dict*) { static_cast<PipeWireStream*>(self)->onGlobal(id, type); };
    events.global_remove = [](void* self, std::uint32_t id) {
      static_cast<PipeWireStream*>(self)->onGlobalRemoved(id);
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
  waitUntil(deadline, [this] { return formatReady_; });
  if (!failure_.empty()) fail(failure_);
  if (!formatReady_) fail("the screen-cast stream did not start");
}

void PipeWireStream::close() {
  if (loop_ != nullptr) {
    {
      LoopLock locked(loop_);
      closing_ = true;
      if (stream_ != nullptr) {
        if (held_ != nullptr) pw_stream_queue_buffer(stream_, held_);
        held_ = nullptr;
        pw_stream_disconnect(stream_);
      }
    }
    pw_thread_loop_stop(loop_);
  }
  // The loop thread has ended: nothing else touches these now.
  if (timer_ != nullptr) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), timer_);
  timer_ = nullptr;
  if (stream_ != nullptr) pw_stream_destroy(stream_);
  stream_ = nullptr;
  if (registry_ != nullptr) pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
  registry_ = nullptr;
  if (core_ != nullptr) pw_core_disconnect(core_);
  core_ = nullptr;
  if (context_ != nullptr) pw_context_destroy(context_);
  context_ = nullptr;
  if (loop_ != nullptr) pw_thread_loop_destroy(loop_);
  loop_ = nullptr;
}

LoopLock PipeWireStream::lock() { return LoopLock(loop_); }

pw_buffer* PipeWireStream::dequeue() { return pw_stream_dequeue_buffer(stream_); }

void PipeWireStream::requeue(pw_buffer* buffer) { pw_stream_queue_buffer(stream_, buffer); }

void PipeWireStream::hold(pw_buffer* buffer) {
  if (held_ != nullptr) pw_stream_queue_buffer(stream_, held_);
  held_ = buffer;
}

pw_buffer* PipeWireStream::takeHeld() { return std::exchange(held_, nullptr); }

void PipeWireStream::armTimer(Clock::duration wait) {
  const auto due = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
  timespec value{static_cast<time_t>(due / 1'000'000'000), static_cast<long>(due % 1'000'000'000)};
  pw_loop_update_timer(pw_thread_loop_get_loop(loop_), timer_, &value, nullptr, false);
  timerArmed_ = true;
}

// Waits under the loop lock until `done` holds, a failure is reported or `deadline` passes.
template <class Condition>
void PipeWireStream::waitUntil(Clock::time_point deadline, Condition done) {
  while (!done() && failure_.empty()) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return;
    timespec until;
    pw_thread_loop_get_time(loop_, &until,
                            std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
    pw_thread_loop_timed_wait_full(loop_, &until);
  }
}

void PipeWireStream::connectStream() {
  pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                           "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr);
  stream_ = pw_stream_new(core_, "lumora capture", props);
  if (stream_ == nullptr) fail("cannot set up the screen-cast stream");
  static const pw_stream_events streamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = [](void* self, pw_stream_state, pw_stream_state state,
                              const char* error) {
      static_cast<PipeWireStream*>(self)->onStateChanged(state, error);
    };
    events.param_changed = [](void* self, std::uint32_t id, const spa_pod* param) {
      static_cast<PipeWireStream*>(self)->onParamChanged(id, param);
    };
    events.remove_buffer = [](void* self, pw_buffer* buffer) {
      static_cast<PipeWireStream*>(self)->onBufferRemoved(buffer);
    };
    events.process = [](void* self) {
      static_cast<PipeWireStream*>(self)->listener_.buffersArrived();
    };
    return events;
  }();
  pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);

  timer_ = pw_loop_add_timer(
      pw_thread_loop_get_loop(loop_),
      [](void* self, std::uint64_t) { static_cast<PipeWireStream*>(self)->onTimer(); }, this);
  if (timer_ == nullptr) fail("cannot set up the frame timer");

  std::uint8_t storage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_pod* params[] = {offeredFormat(builder, fps_)};
  const int connected = pw_stream_connect(
      stream_, PW_DIRECTION_INPUT, nodeID_,
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params,
      1);
  if (connected < 0) fail("cannot connect to the screen-cast stream");
}

// Stream errors and a vanished remote end the capture; the owner hears of it once.
void PipeWireStream::reportFailure(const std::string& why) {
  if (!failure_.empty()) return;
  failure_ = why;
  if (!closing_) listener_.failed(why);
  pw_thread_loop_signal(loop_, false);
}

void PipeWireStream::onCoreDone(std::uint32_t id, int seq) {
  if (id == PW_ID_CORE && seq == syncSeq_) {
    registryRead_ = true;
    pw_thread_loop_signal(loop_, false);
  }
}

void PipeWireStream::onCoreError(std::uint32_t id, int res, const char* message) {
  if (id != PW_ID_CORE) return;  // a proxy's own error arrives on the stream too
  if (res == -EPIPE) {
    reportFailure("the screen-cast session ended");
  } else {
    reportFailure(std::string("the screen-cast session failed: ") +
                  (message != nullptr ? message : spa_strerror(res)));
  }
}

void PipeWireStream::onGlobal(std::uint32_t id, const char* type) {
  if (id == nodeID_ && type != nullptr && std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
    nodeSeen_ = true;
  }
}

// The producer's node is gone (the screen-cast ended): the stream would wait forever.
void PipeWireStream::onGlobalRemoved(std::uint32_t id) {
  if (id == nodeID_) reportFailure("the screen-cast stream ended");
}

void PipeWireStream::onStateChanged(int state, const char* error) {
  if (state == PW_STREAM_STATE_ERROR) {
    reportFailure(std::string("the screen-cast stream failed: ") +
                  (error != nullptr ? error : "unknown error"));
  } else if (state == PW_STREAM_STATE_UNCONNECTED && !closing_) {
    reportFailure("the screen-cast stream ended");
  }
}

// The producer's answer to what we offered: frames are set up for it, then the buffers and
// metadata we take are asked for.
void PipeWireStream::onParamChanged(std::uint32_t id, const spa_pod* param) {
  if (id != SPA_PARAM_Format || param == nullptr) return;
  const auto format = agreedFormat(param);
  if (!format) {
    reportFailure("the screen-cast stream offered no usable picture format");
    return;
  }
  if (!listener_.formatAgreed(*format)) {
    reportFailure("cannot set up frame conversion");
    return;
  }
  std::uint8_t storage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  std::vector<const spa_pod*> params = bufferParams(builder, cursorMetadata_);
  pw_stream_update_params(stream_, params.data(), static_cast<std::uint32_t>(params.size()));
  formatReady_ = true;
  pw_thread_loop_signal(loop_, false);
}

void PipeWireStream::onBufferRemoved(pw_buffer* buffer) {
  if (held_ == buffer) held_ = nullptr;
}

void PipeWireStream::onTimer() {
  timerArmed_ = false;
  listener_.timerFired();
}

}  // namespace lumora::platform::wayland
