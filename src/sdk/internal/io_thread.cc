#include "sdk/internal/io_thread.h"

#include <boost/asio/executor_work_guard.hpp>

#include <cstdlib>
#include <mutex>
#include <vector>

namespace lumora::sdk::internal {

namespace {

// Threads whose owner let go of them from inside one of their own handlers, so nobody could
// join them on the spot. They end right after that handler; they are joined when the next one
// arrives (if finished) and at the latest when the process exits, so a program that returns
// from main never cuts a connection thread off mid-way (its per-thread state, OpenSSL's error
// queue for one, would be lost).
class OrphanedThreads {
 public:
  static OrphanedThreads& instance() {
    // Never destroyed: the exit handler below runs after static destructors may have started.
    static auto* orphans = new OrphanedThreads();
    return *orphans;
  }

  void adopt(std::thread thread, std::shared_ptr<std::atomic<bool>> finished) {
    std::vector<Orphan> done;
    {
      std::lock_guard guard(lock_);
      if (!exitHandlerInstalled_) {
        std::atexit([] { instance().joinAll(); });
        exitHandlerInstalled_ = true;
      }
      for (auto it = orphans_.begin(); it != orphans_.end();) {
        if (it->finished->load()) {
          done.push_back(std::move(*it));
          it = orphans_.erase(it);
        } else {
          ++it;
        }
      }
      orphans_.push_back({std::move(thread), std::move(finished)});
    }
    for (auto& orphan : done) orphan.thread.join();
  }

 private:
  struct Orphan {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };

  void joinAll() {
    std::vector<Orphan> all;
    {
      std::lock_guard guard(lock_);
      all.swap(orphans_);
    }
    for (auto& orphan : all) {
      if (orphan.thread.get_id() != std::this_thread::get_id()) orphan.thread.join();
    }
  }

  std::mutex lock_;
  std::vector<Orphan> orphans_;
  bool exitHandlerInstalled_ = false;
};

}  // namespace

IoThread::IoThread()
    : context_(std::make_shared<boost::asio::io_context>(1)),
      finished_(std::make_shared<std::atomic<bool>>(false)) {
  thread_ = std::thread([context = context_, finished = finished_] {
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
    *finished = true;
  });
}

IoThread::~IoThread() { stop(); }

void IoThread::stop() {
  context_->stop();
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    OrphanedThreads::instance().adopt(std::move(thread_), finished_);
  } else {
    thread_.join();
  }
}

}  // namespace lumora::sdk::internal
