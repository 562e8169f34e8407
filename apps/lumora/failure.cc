#include "failure.h"

#include <boost/json/parse.hpp>

#include "sdk/account/account_service_error.h"
#include "sdk/sdk_error.h"

namespace lumora::cli {

namespace {

// The service's own words for a refusal ({"error", "message"}) with its status; its whole
// description when the body says nothing readable.
std::string accountRefusal(const sdk::AccountServiceError& error) {
  boost::system::error_code ec;
  const auto body = boost::json::parse(error.body(), ec);
  const auto* object = ec ? nullptr : body.if_object();
  const auto* message = object ? object->if_contains("message") : nullptr;
  if (!message || !message->is_string() || message->as_string().empty()) return error.what();
  // One line, and not all of a megabyte of it.
  std::string text(message->as_string().subview(0, 200));
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return text + " (" + std::to_string(error.status()) + ")";
}

}  // namespace

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
  } catch (const sdk::AccountServiceError& e) {
    return e.kind() == sdk::AccountServiceError::Kind::http ? accountRefusal(e) : e.what();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace lumora::cli
