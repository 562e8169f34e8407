#include "failure.h"

#include "sdk/sdk_error.h"

namespace lumora::cli {

std::string reasonOf(const std::exception_ptr& error) {
  if (auto sdk = sdk::sdkErrorOf(error)) {
    switch (sdk->kind()) {
      case sdk::SDKError::Kind::agent: {
        const auto& agentError = *sdk->agentError();
        return agentError.message.empty() ? agentError.code : agentError.message;
      }
      case sdk::SDKError::Kind::connectionFailed:
        return sdk->reason();
      case sdk::SDKError::Kind::disconnected:
      case sdk::SDKError::Kind::notConnected:
        return "connection to the agent lost";
      case sdk::SDKError::Kind::unexpectedResponse:
        return sdk->what();
    }
  }
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace lumora::cli
