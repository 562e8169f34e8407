#pragma once

// Used by the PipeWire frame source only; not part of this folder's interface.

#include <spa/utils/hook.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/linux/unique_fd.h"
#include "platform/wayland/pipewire_format.h"

struct pw_buffer;
struct pw_context;
struct pw_core;
struct pw_registry;
struct pw_stream;
struct pw_thread_loop;
struct spa_pod;
struct spa_source;

namespace lumora::platform::wayland {

// Holds a thread loop's lock for a scope, the way std::lock_guard holds a mutex.
class LoopLock {
 public:
  explicit LoopLock(pw_thread_loop* loop);
  ~LoopLock();
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pw_thread_loop* loop_;
};

// One screen-cast node read over a PipeWire remote, on a thread loop of its own
// ("lumora.capture"): the connection, the registry that shows whether the node exists, the
// stream with its format negotiation, a timer on the same loop, and the one buffer its owner
// keeps for later.
//
// Everything but open() and close() is called under the loop's lock: from the listener's
// callbacks (the loop thread holds it while it runs them) or inside lock().
class PipeWireStream {
 public:
  // What the stream tells its owner, on the loop thread.
  class Listener {
   public:
    // The producer and we agreed on `format`; false when frames of it cannot be made.
    virtual bool formatAgreed(const StreamFormat& format) = 0;
    // Buffers wait to be dequeued.
    virtual void buffersArrived() = 0;
    virtual void timerFired() = 0;
    // The stream failed or ended on its own (once; not while closing): nothing more comes.
    virtual void failed(const std::string& why) = 0;

   protected:
    ~Listener() = default;
  };

  PipeWireStream(Listener& listener, std::uint32_t nodeID, int fps, bool cursorMetadata);
  ~PipeWireStream();
  PipeWireStream(const PipeWireStream&) = delete;
  PipeWireStream& operator=(const PipeWireStream&) = delete;

  // Connects over `remote`, finds the node and waits for an agreed format; throws CaptureError
  // (platformFailure) saying why not. close() then frees what was set up.
  void open(linux_os::UniqueFd remote);
  // Stops the loop and frees everything; after it returns no listener call is made.
  void close();

  [[nodiscard]] LoopLock lock();

  // Closing, failed or ended: buffers only go back.
  bool ended() const { return closing_ || !failure_.empty(); }

  pw_buffer* dequeue();
  void requeue(pw_buffer* buffer);
  // Keeps `buffer` for later, giving back the one kept before.
  void hold(pw_buffer* buffer);
  // The kept buffer (the caller requeues it), or null.
  pw_buffer* takeHeld();
  bool holding() const { return held_ != nullptr; }

  // Fires the timer once after `wait`.
  void armTimer(std::chrono::steady_clock::duration wait);
  bool timerArmed() const { return timerArmed_; }

 private:
  template <class Condition>
  void waitUntil(std::chrono::steady_clock::time_point deadline, Condition done);
  void connectStream();
  void reportFailure(const std::string& why);

  void onCoreDone(std::uint32_t id, int seq);
  void onCoreError(std::uint32_t id, int res, const char* message);
  void onGlobal(std::uint32_t id, const char* type);
  void onGlobalRemoved(std::uint32_t id);
  void onStateChanged(int state, const char* error);
  void onParamChanged(std::uint32_t id, const spa_pod* param);
  void onBufferRemoved(pw_buffer* buffer);
  void onTimer();

  Listener& listener_;
  const std::uint32_t nodeID_;
  const int fps_;
  const bool cursorMetadata_;

  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_registry* registry_ = nullptr;
  pw_stream* stream_ = nullptr;
  spa_source* timer_ = nullptr;
  spa_hook coreListener_{};
  spa_hook registryListener_{};
  spa_hook streamListener_{};

  int syncSeq_ = -1;
  bool registryRead_ = false;
  bool nodeSeen_ = false;
  bool formatReady_ = false;
  bool closing_ = false;
  std::string failure_;
  pw_buffer* held_ = nullptr;
  bool timerArmed_ = false;
};

}  // namespace lumora::platform::wayland
