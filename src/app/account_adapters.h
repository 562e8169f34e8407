#pragma once

#include <boost/asio/any_io_executor.hpp>

#include <memory>
#include <mutex>
#include <string>

#include "app/account_controller.h"
#include "platform/linux/secret_store.h"

namespace lumora::net {
class HttpClient;
}

namespace lumora::app {

// The account controller's links to the account service and to the user's secrets.
//
// The service calls run on `network` (an executor backed by a running io_context: the main
// executor of a desktop toolkit cannot drive sockets) and complete back on the executor that
// awaited them.

// Logs in and out through an AuthClient over `baseURL`, a fresh one for each call; its sessions
// refresh there too.
class AuthClientAuthenticator final : public AccountAuthenticating {
 public:
  AuthClientAuthenticator(std::string baseURL, boost::asio::any_io_executor network,
                          std::shared_ptr<const net::HttpClient> session);
  boost::asio::awaitable<sdk::AuthTokens> login(std::string provider, std::string token,
                                                std::optional<std::string> codeVerifier) override;
  boost::asio::awaitable<void> logout(std::string refreshToken) override;
  std::shared_ptr<sdk::SignedInSession> openSession(sdk::AuthTokens tokens,
                                                    sdk::SignedInSession::SaveTokens save) override;

 private:
  std::string baseURL_;
  boost::asio::any_io_executor network_;
  std::shared_ptr<const net::HttpClient> session_;
};

// Registers through a DeviceRegistryClient over `baseURL` and the session's access token, one
// per call; the session's refresh runs on `network` too.
class DeviceRegistryRegistrar final : public DeviceRegistering {
 public:
  DeviceRegistryRegistrar(std::string baseURL, boost::asio::any_io_executor network,
                          std::shared_ptr<const net::HttpClient> session);
  boost::asio::awaitable<sdk::DeviceSummary> registerDevice(
      std::shared_ptr<sdk::SignedInSession> session, std::string name, std::string platform,
      std::optional<std::string> pairingCode) override;

 private:
  std::string baseURL_;
  boost::asio::any_io_executor network_;
  std::shared_ptr<const net::HttpClient> session_;
};

// Keeps the token pair as its JSON (the account service's field names) in a secret store.
// Calls from several threads are made one at a time.
class SecretTokenStore final : public TokenStoring {
 public:
  explicit SecretTokenStore(std::unique_ptr<platform::linux_os::SecretStore> store);
  void save(const sdk::AuthTokens& tokens) override;
  std::optional<sdk::AuthTokens> load() override;
  void clear() override;

 private:
  std::mutex lock_;  // one store call at a time
  std::unique_ptr<platform::linux_os::SecretStore> store_;
};

}  // namespace lumora::app
