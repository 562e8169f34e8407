#pragma once

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <memory>
#include <thread>

namespace lumora::sdk::internal {

// One thread running one io_context: the serial queue of a connection object. Every handler
// of that object runs here, one after another, so its socket state needs no lock.
class IoThread {
 public:
  IoThread();
  ~IoThread();
  IoThread(const IoThread&) = delete;
  IoThread& operator=(const IoThread&) = delete;

  boost::asio::io_context& context() { return *context_; }

  // Stops the loop; handlers not yet run are dropped. Waits for the thread unless called from
  // it (an owner released inside one of its own handlers), in which case the thread finishes
  // the running handler and ends by itself, and is joined later (at the latest at exit).
  // Idempotent.
  void stop();

 private:
  // Shared with the thread, which may outlive this object after a stop from inside a handler.
  std::shared_ptr<boost::asio::io_context> context_;
  std::shared_ptr<std::atomic<bool>> finished_;  // set by the thread as it ends
  std::thread thread_;
};

}  // namespace lumora::sdk::internal
