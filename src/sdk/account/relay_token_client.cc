#include "sdk/account/relay_token_client.h"

#include "sdk/internal/account_call.h"

namespace lumora::sdk {

RelayTokenClient::RelayTokenClient(std::string baseURL, std::string accessToken,
                                   std::shared_ptr<const net::HttpClient> session)
    : baseURL_(std::move(baseURL)),
      accessToken_(std::move(accessToken)),
      session_(std::move(session)) {}

boost::asio::awaitable<RelayTokenResponse> RelayTokenClient::issueToken(
    std::string fingerprint) const {
  return internal::callFor<RelayTokenResponse, RelayTokenError>(
      session_, baseURL_,
      {"POST", "/relay/token", accessToken_,
       internal::encodeBody(protocol::RelayTokenRequest{std::move(fingerprint)})});
}

}  // namespace lumora::sdk
