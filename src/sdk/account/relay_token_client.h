#pragma once

#include <boost/asio/awaitable.hpp>

#include <memory>
#include <string>

#include "protocol/account_records.h"
#include "sdk/account/account_service_error.h"

namespace lumora::net {
class HttpClient;
}

namespace lumora::sdk {

// A short-lived token that lets a phone into an agent's relay room.
using RelayTokenResponse = protocol::RelayTokenResponse;

// Asks the account service for a relay token, for the signed-in user, to the agent whose
// pairing fingerprint is given: the service issues one only for a device of the user's own.
//
// The request goes to the origin of `baseURL` as AuthClient's do, with the access token as
// bearer and 60 seconds to answer. Fails with RelayTokenError: http outside 200–299 (403 when
// the fingerprint is none of the user's devices), transport when no HTTP answer comes,
// decoding when a 2xx body is not a token.
//
// The operation keeps what it needs: the client may go before it completes.
class RelayTokenClient {
 public:
  RelayTokenClient(std::string baseURL, std::string accessToken,
                   std::shared_ptr<const net::HttpClient> session);

  boost::asio::awaitable<RelayTokenResponse> issueToken(std::string fingerprint) const;

 private:
  std::string baseURL_;
  std::string accessToken_;
  std::shared_ptr<const net::HttpClient> session_;
};

}  // namespace lumora::sdk
