#include "sdk/sdk_error.h"

namespace lumora::sdk {

SDKError::SDKError(Kind kind, const std::string& description)
    : std::runtime_error(description), kind_(kind) {}

SDKError SDKError::connectionFailed(std::string reason) {
  SDKError error(Kind::connectionFailed, "connection failed: " + reason);
  error.reason_ = std::move(reason);
  return error;
}

SDKError SDKError::agent(protocol::ProtocolError agentError) {
  SDKError error(Kind::agent, "agent error " + agentError.code + ": " + agentError.message);
  error.agentError_ = std::move(agentError);
  return error;
}

SDKError SDKError::unexpectedResponse(protocol::MessageType type) {
  SDKError error(Kind::unexpectedResponse,
                 "unexpected response: " + std::string(protocol::rawValue(type)));
  error.responseType_ = type;
  return error;
}

SDKError SDKError::notConnected() { return SDKError(Kind::notConnected, "not connected"); }

SDKError SDKError::disconnected() { return SDKError(Kind::disconnected, "disconnected"); }

std::optional<SDKError> sdkErrorOf(const std::exception_ptr& error) {
  if (!error) return std::nullopt;
  try {
    std::rethrow_exception(error);
  } catch (const SDKError& sdkError) {
    return sdkError;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace lumora::sdk
