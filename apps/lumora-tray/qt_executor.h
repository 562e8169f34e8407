#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <boost/asio/execution.hpp>
#include <boost/asio/execution_context.hpp>

#include <memory>
#include <type_traits>
#include <utility>

namespace lumora::tray {

// Qt's event loop as an Asio execution context: what is handed to its executor runs on the
// thread of the Qt object behind it (the GUI thread), between Qt's own events. The application's
// controllers take it as their main executor, so their coroutines and the widgets share one
// thread. Sockets stay on an io_context of their own: this loop only receives completions.
//
// Threads: executors may be used from any thread; the context is made and destroyed on the GUI
// thread, after the last thread that posts to it has stopped.
class QtExecutionContext : public boost::asio::execution_context {
 public:
  class executor_type;

  QtExecutionContext();
  ~QtExecutionContext();

  executor_type get_executor() noexcept;

 private:
  class Receiver;
  // A function waiting in Qt's event queue.
  struct Task : QEvent {
    Task();
    virtual void run() = 0;
  };
  template <class F>
  struct TaskOf final : Task {
    template <class G>
    explicit TaskOf(G&& g) : function(std::forward<G>(g)) {}
    void run() override { function(); }
    F function;
  };

  void post(std::unique_ptr<Task> task);

  std::unique_ptr<QObject> receiver_;
};

class QtExecutionContext::executor_type {
 public:
  explicit executor_type(QtExecutionContext& context) noexcept : context_(&context) {}

  boost::asio::execution_context& query(boost::asio::execution::context_t) const noexcept {
    return *context_;
  }
  static constexpr boost::asio::execution::blocking_t query(
      boost::asio::execution::blocking_t) noexcept {
    return boost::asio::execution::blocking.never;
  }
  executor_type require(boost::asio::execution::blocking_t::never_t) const noexcept {
    return *this;
  }

  // Queues `f` behind the events already waiting; never runs it inside the call.
  template <class F>
  void execute(F&& f) const {
    context_->post(std::make_unique<TaskOf<std::decay_t<F>>>(std::forward<F>(f)));
  }

  bool operator==(const executor_type& other) const noexcept { return context_ == other.context_; }

 private:
  QtExecutionContext* context_;
};

inline QtExecutionContext::executor_type QtExecutionContext::get_executor() noexcept {
  return executor_type(*this);
}

}  // namespace lumora::tray
