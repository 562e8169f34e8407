#pragma once

#include <exception>
#include <future>
#include <memory>
#include <utility>

#include "protocol/payload.h"
#include "sdk/internal/control_core.h"
#include "sdk/sdk_error.h"

namespace lumora::sdk::internal {

// Sends `payload` as a request whose reply must be of type R. `next` gets the reply's record;
// `fail` gets the error instead (including anything `next` throws).
template <protocol::MessageType R, class Next, class Fail>
void expectReply(ControlCore& core, protocol::Payload payload, Next next, Fail fail) {
  core.request(std::move(payload), [next = std::move(next), fail = std::move(fail)](
                                       protocol::Payload reply, std::exception_ptr error) mutable {
    if (error) return fail(error);
    auto* record = reply.template get<R>();
    if (!record) {
      return fail(std::make_exception_ptr(SDKError::unexpectedResponse(reply.messageType())));
    }
    try {
      next(std::move(*record));
    } catch (...) {
      fail(std::current_exception());
    }
  });
}

// A promise that callbacks of several steps share.
template <class T>
class SharedPromise {
 public:
  SharedPromise() : promise_(std::make_shared<std::promise<T>>()) {}

  std::future<T> future() { return promise_->get_future(); }

  template <class... Value>
  void succeed(Value&&... value) const {
    try {
      promise_->set_value(std::forward<Value>(value)...);
    } catch (const std::future_error&) {
      // Already settled; the first outcome stands.
    }
  }
  void fail(std::exception_ptr error) const {
    try {
      promise_->set_exception(std::move(error));
    } catch (const std::future_error&) {
    }
  }
  auto failer() const {
    return [*this](std::exception_ptr error) { fail(std::move(error)); };
  }

 private:
  std::shared_ptr<std::promise<T>> promise_;
};

// A future that has already failed with `error`.
template <class T, class Error>
std::future<T> failedFuture(Error error) {
  std::promise<T> promise;
  promise.set_exception(std::make_exception_ptr(std::move(error)));
  return promise.get_future();
}

}  // namespace lumora::sdk::internal
