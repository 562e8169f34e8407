#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>

#include "protocol/frame_codec.h"
#include "sdk/message_channel.h"
#include "sdk/sdk_error.h"
#include "support/failure_of.h"
#include "support/raw_client.h"

namespace lumora::testing_support {

// The agent's side of one loopback connection, driven step by step by the test. Reads give up
// after five seconds, so a client that fails to send fails its test instead of hanging it.
class ScriptedPeer : public RawClient {
 public:
  ScriptedPeer() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    address_.sin_family = AF_INET;
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address_;
    if (::bind(listener_.get(), address(), sizeof address_) != 0 ||
        ::listen(listener_.get(), 0) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address_), &length) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
  }

  std::uint16_t port() const { return ntohs(address_.sin_port); }
  const sockaddr* address() const { return reinterpret_cast<const sockaddr*>(&address_); }

  void accept() {
    RawClient::operator=(RawClient(
        platform::linux_os::UniqueFd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC))));
    setReadLimit(std::chrono::seconds(5));
  }

  void reply(const protocol::Envelope& request, protocol::Payload payload) {
    send(protocol::Envelope::response(request.id, std::move(payload)));
  }
  void event(protocol::Payload payload) { send(protocol::Envelope::request(std::move(payload))); }

 private:
  platform::linux_os::UniqueFd listener_;
  sockaddr_in address_{};
};

// The SDKError a future fails with; a test failure when it succeeds or fails otherwise.
template <class Future>
sdk::SDKError sdkErrorOf(Future&& future) {
  return failureOf<sdk::SDKError>([&] { future.get(); });
}

// Blocking forms of the channel operations, for tests.
inline std::future<void> connectChannel(sdk::MessageChannel& channel) {
  auto promise = std::make_shared<std::promise<void>>();
  channel.connect([promise](std::exception_ptr error) {
    error ? promise->set_exception(error) : promise->set_value();
  });
  return promise->get_future();
}

inline std::future<void> sendOn(sdk::MessageChannel& channel, protocol::Bytes message) {
  auto promise = std::make_shared<std::promise<void>>();
  channel.send(std::move(message), [promise](std::exception_ptr error) {
    error ? promise->set_exception(error) : promise->set_value();
  });
  return promise->get_future();
}

inline std::future<protocol::Bytes> receiveOn(sdk::MessageChannel& channel) {
  auto promise = std::make_shared<std::promise<protocol::Bytes>>();
  channel.receive([promise](protocol::Bytes message, std::exception_ptr error) {
    error ? promise->set_exception(error) : promise->set_value(std::move(message));
  });
  return promise->get_future();
}

}  // namespace lumora::testing_support
