#include "sdk/internal/io_thread.h"

#include <openssl/crypto.h>
#include <pthread.h>

#include <boost/asio/executor_work_guard.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace lumora::sdk::internal {

// One connection thread as the registry below knows it.
struct IoThread::Worker {
  // Weak: the loop (with the handlers and sockets still queued on it) goes with its thread and
  // owner, not with this record, which may wait for a join long after.
  std::weak_ptr<boost::asio::io_context> context;
  std::thread thread;  // moved out by whoever joins it
  std::thread::id id;
  std::atomic<bool> finished{false};  // set by the thread as its loop ends
  bool released = false;              // its owner let go of it from inside its own handler
  bool joined = false;
};

namespace {

using Worker = IoThread::Worker;

// Every connection thread of the process, so that none is still running when the process
// exits. An owner that lets go from another thread joins its thread on the spot. One that
// lets go from inside one of the thread's own handlers cannot; that thread ends right after
// the handler and is joined when the next thread starts or is let go of (if finished by then).
//
// At exit, whatever still runs is stopped and joined: a program that returns from main while
// a connection thread is finishing its last handler (the owner gone a moment earlier) would
// otherwise tear its libraries down under that thread. OpenSSL's own exit handler deletes the
// keys of its per-thread state (the error queue that signing the pairing proof creates on the
// connection thread); a thread still running then leaks that state as it ends, and one still
// signing uses a library already cleaned up. Exit handlers run in reverse order of
// registration, so OpenSSL is initialised (registering its handler) before ours is installed.
//
// A forked child has none of the parent's threads: it forgets them rather than wait for them.
class Workers {
 public:
  static Workers& instance() {
    // Never destroyed: the exit handler below may run after static destructors have started.
    static auto* workers = new Workers();
    return *workers;
  }

  Workers() {
    ::pthread_atfork([] { instance().lock_.lock(); }, [] { instance().lock_.unlock(); },
                     [] { instance().forgetAfterFork(); });
  }

  void add(std::shared_ptr<Worker> worker) {
    Taken done;
    {
      std::lock_guard guard(lock_);
      if (!exitHandlerInstalled_) {
        // What the first signature would do anyway; no options at all would initialise nothing.
        ::OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr);
        std::atexit([] { instance().stopAll(); });
        exitHandlerInstalled_ = true;
      }
      done = takeFinishedLocked();
      workers_.push_back(std::move(worker));
    }
    joinTaken(std::move(done));
  }

  // From any thread but the worker's own: returns once its thread has ended.
  void join(const std::shared_ptr<Worker>& worker) {
    std::unique_lock guard(lock_);
    if (worker->joined) return;
    if (!worker->thread.joinable()) {
      // Someone else is joining it (the exit handler, say): wait for them.
      joined_.wait(guard, [&] { return worker->joined; });
      return;
    }
    std::thread thread = std::move(worker->thread);
    guard.unlock();
    thread.join();
    guard.lock();
    markJoinedLocked(worker);
  }

  // From the worker's own thread, whose owner has just let go of it.
  void release(const std::shared_ptr<Worker>& worker) {
    Taken done;
    {
      std::lock_guard guard(lock_);
      worker->released = true;
      done = takeFinishedLocked();
    }
    joinTaken(std::move(done));
  }

 private:
  using Taken = std::vector<std::pair<std::shared_ptr<Worker>, std::thread>>;

  // Released workers whose loop has ended, with their threads moved out for joining.
  Taken takeFinishedLocked() {
    Taken taken;
    for (auto& worker : workers_) {
      if (worker->released && worker->finished.load() && worker->thread.joinable() &&
          worker->thread.get_id() != std::this_thread::get_id()) {
        taken.emplace_back(worker, std::move(worker->thread));
      }
    }
    return taken;
  }

  void joinTaken(Taken taken) {
    if (taken.empty()) return;
    for (auto& [worker, thread] : taken) thread.join();
    std::lock_guard guard(lock_);
    for (auto& [worker, thread] : taken) markJoinedLocked(worker);
  }

  void markJoinedLocked(const std::shared_ptr<Worker>& worker) {
    worker->joined = true;
    std::erase(workers_, worker);
    joined_.notify_all();
  }

  // In the child of a fork, with lock_ held since before the fork.
  void forgetAfterFork() {
    for (auto& worker : workers_) {
      if (worker->thread.joinable()) worker->thread.detach();
      worker->joined = true;
    }
    workers_.clear();
    lock_.unlock();
  }

  void stopAll() {
    Taken taken;
    std::vector<std::shared_ptr<boost::asio::io_context>> contexts;
    {
      std::lock_guard guard(lock_);
      for (auto& worker : workers_) {
        if (auto context = worker->context.lock()) contexts.push_back(std::move(context));
        // exit() called from a connection thread's own handler: that one cannot be joined.
        if (worker->thread.joinable() && worker->thread.get_id() != std::this_thread::get_id()) {
          taken.emplace_back(worker, std::move(worker->thread));
        }
      }
    }
    // Outside the lock: the last reference to a loop may go here, and with it queued handlers
    // whose owners' destructors come back to this registry.
    for (auto& context : contexts) context->stop();
    contexts.clear();
    joinTaken(std::move(taken));
  }

  std::mutex lock_;  // guards every field below and each worker's thread, released and joined
  std::condition_variable joined_;
  std::vector<std::shared_ptr<Worker>> workers_;  // started and not yet joined
  bool exitHandlerInstalled_ = false;
};

}  // namespace

IoThread::IoThread()
    : context_(std::make_shared<boost::asio::io_context>(1)), worker_(std::make_shared<Worker>()) {
  worker_->context = context_;
  // The registry keeps the worker until its thread is joined, so it outlives the thread.
  worker_->thread = std::thread([context = context_, worker = worker_.get()] {
    auto work = boost::asio::make_work_guard(*context);
    // A handler that throws (a caller's callback, say) must not end the connection's thread;
    // the handlers themselves report what they can before anything escapes.
    for (;;) {
      try {
        context->run();
        break;
      } catch (...) {
      }
    }
    worker->finished = true;
  });
  worker_->id = worker_->thread.get_id();
  Workers::instance().add(worker_);
}

IoThread::~IoThread() { stop(); }

boost::asio::io_context& IoThread::context() { return *context_; }

void IoThread::stop() {
  context_->stop();
  if (stopped_) return;
  stopped_ = true;
  if (worker_->id == std::this_thread::get_id()) {
    Workers::instance().release(worker_);
  } else {
    Workers::instance().join(worker_);
  }
}

}  // namespace lumora::sdk::internal
