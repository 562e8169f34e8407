#pragma once

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "account_store.h"
#include "sdk/account/device_registry_client.h"
#include "sdk/account/relay_token_client.h"
#include "sdk/account/signed_in_session.h"

namespace lumora::net {
class HttpClient;
}

namespace lumora::cli {

// Runs one account call to its end on this thread.
template <class T>
T runToEnd(boost::asio::awaitable<T> task) {
  boost::asio::io_context io;
  auto result = boost::asio::co_spawn(io, std::move(task), boost::asio::use_future);
  io.run();
  return result.get();
}

// The account service to sign in to: `given` (--account-service), else $LUMORA_API_BASE_URL,
// else the one stored at the last login. Throws Failure saying that --account-service is
// needed when there is none.
std::string accountServiceURL(const std::optional<std::string>& given, const StoredAccount& stored);

// The relay on the account service's origin: ws for http, wss for https, e.g.
// "http://host:8780/api" gives "ws://host:8780". Throws Failure for another scheme.
std::string relayBaseOf(const std::string& serviceURL);

// The account this user logged in to, for the commands that call it with the access token,
// through the client library's SignedInSession: an access token the service refuses (401) is
// refreshed once, the new pair stored, and the call made again; a refused refresh throws
// Failure saying to log in again.
class AccountSession {
 public:
  // Throws Failure "not logged in: run `lumora login`" when no tokens are stored.
  explicit AccountSession(AccountStore store);
  ~AccountSession();

  const std::string& serviceURL() const { return serviceURL_; }

  std::vector<sdk::DeviceSummary> listDevices();
  sdk::DeviceSummary registerDevice(const std::string& name, const std::string& pairingCode);
  sdk::RelayTokenResponse relayToken(const std::string& fingerprint);

 private:
  template <class T>
  T withAccessToken(sdk::SignedInSession::Call<T> call);

  AccountStore store_;
  StoredAccount account_;
  std::string serviceURL_;
  std::shared_ptr<const net::HttpClient> http_;
  std::unique_ptr<sdk::SignedInSession> session_;
};

}  // namespace lumora::cli
