#include "sdk/account/account_service_error.h"

namespace lumora::sdk {

namespace {

// Long enough for the service's {"error", "message"} refusals, short enough for one line.
constexpr std::size_t kQuotedBodyBytes = 300;

std::string describe(AccountServiceError::Kind kind, int status, const std::string& body,
                     const std::string& reason) {
  switch (kind) {
    case AccountServiceError::Kind::http:
      return "the account service answered " + std::to_string(status) +
             (body.empty() ? "" : ": " + body.substr(0, kQuotedBodyBytes));
    case AccountServiceError::Kind::transport:
      return "account service request failed: " + reason;
    case AccountServiceError::Kind::decoding:
      return "unexpected answer from the account service: " + reason;
    case AccountServiceError::Kind::invalidPairingCode:
      return "invalid pairing code";
    case AccountServiceError::Kind::signInExpired:
      return "the sign-in has expired: sign in again";
  }
  return reason;
}

}  // namespace

AccountServiceError::AccountServiceError(Kind kind, int status, std::string body,
                                         std::string reason)
    : std::runtime_error(describe(kind, status, body, reason)),
      kind_(kind),
      status_(status),
      body_(std::move(body)),
      reason_(std::move(reason)) {}

}  // namespace lumora::sdk
