#include "sdk/oauth/oauth_flow_error.h"

namespace lumora::sdk {

OAuthFlowError::OAuthFlowError(Kind kind, const char* description)
    : std::runtime_error(description), kind_(kind) {}

OAuthFlowError OAuthFlowError::cancelled() {
  return OAuthFlowError(Kind::cancelled, "the sign-in was cancelled");
}

OAuthFlowError OAuthFlowError::cannotStart() {
  return OAuthFlowError(Kind::cannotStart, "the sign-in could not be started");
}

}  // namespace lumora::sdk
