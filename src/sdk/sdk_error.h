#pragma once

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "protocol/common_payloads.h"
#include "protocol/message_type.h"

namespace lumora::sdk {

// The client library's error. Every failure the library reports itself is one of these; errors
// of the caller's own callbacks pass through unchanged. what() gives an English description.
class SDKError : public std::runtime_error {
 public:
  enum class Kind {
    connectionFailed,    // set-up failed, a send failed, a time-out, an invalid port: see reason()
    agent,               // the agent answered with an error: see agentError()
    unexpectedResponse,  // the agent answered with another type: see responseType()
    notConnected,        // there is no connection to send on
    disconnected,        // the connection ended while waiting
  };

  static SDKError connectionFailed(std::string reason);
  static SDKError agent(protocol::ProtocolError error);
  static SDKError unexpectedResponse(protocol::MessageType type);
  static SDKError notConnected();
  static SDKError disconnected();

  Kind kind() const { return kind_; }
  // The human-readable reason of a connectionFailed error; empty for the other kinds.
  const std::string& reason() const { return reason_; }
  // The agent's code and message of an agent error.
  const std::optional<protocol::ProtocolError>& agentError() const { return agentError_; }
  // The type of the reply an unexpectedResponse error received.
  std::optional<protocol::MessageType> responseType() const { return responseType_; }

 private:
  SDKError(Kind kind, const std::string& description);

  Kind kind_;
  std::string reason_;
  std::optional<protocol::ProtocolError> agentError_;
  std::optional<protocol::MessageType> responseType_;
};

// A copy of the error held by `error` when it is an SDKError, else nothing.
std::optional<SDKError> sdkErrorOf(const std::exception_ptr& error);

}  // namespace lumora::sdk
