#include "sdk/internal/io_thread.h"

#include <boost/asio/executor_work_guard.hpp>

namespace lumora::sdk::internal {

IoThread::IoThread() : context_(std::make_shared<boost::asio::io_context>(1)) {
  thread_ = std::thread([context = context_] {
    auto work = boost::asio::make_work_guard(*context);
    // A handler that throws (a caller's callback, say) must not end the connection's thread;
    // the handlers themselves report what they can before anything escapes.
    for (;;) {
      try {
        context->run();
        return;
      } catch (...) {
      }
    }
  });
}

IoThread::~IoThread() { stop(); }

void IoThread::stop() {
  context_->stop();
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

}  // namespace lumora::sdk::internal
