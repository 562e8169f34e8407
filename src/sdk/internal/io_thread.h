#pragma once

#include <boost/asio/io_context.hpp>

#include <memory>

namespace lumora::sdk::internal {

// One thread running one io_context: the serial queue of a connection object. Every handler
// of that object runs here, one after another, so its socket state needs no lock.
class IoThread {
 public:
  IoThread();
  ~IoThread();
  IoThread(const IoThread&) = delete;
  IoThread& operator=(const IoThread&) = delete;

  boost::asio::io_context& context();

  // Stops the loop; handlers not yet run are dropped. Waits for the thread unless called from
  // it (an owner released inside one of its own handlers), in which case the thread finishes
  // the running handler and ends by itself, and is joined later (at the latest at exit).
  // Idempotent. Owner only.
  void stop();

  // The thread and its loop, shared with the process-wide registry that joins every
  // connection thread before the process exits (io_thread.cc).
  struct Worker;

 private:
  // Shared with the thread, which may outlive this object after a stop from inside a handler.
  std::shared_ptr<boost::asio::io_context> context_;
  std::shared_ptr<Worker> worker_;
  bool stopped_ = false;
};

}  // namespace lumora::sdk::internal
