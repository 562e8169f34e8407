#include "app/account_adapters.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "protocol/json_record_codec.h"

namespace lumora::app {

namespace asio = boost::asio;

AuthClientAuthenticator::AuthClientAuthenticator(std::string baseURL, asio::any_io_executor network,
                                                 std::shared_ptr<const net::HttpClient> session)
    : baseURL_(std::move(baseURL)), network_(std::move(network)), session_(std::move(session)) {}

asio::awaitable<sdk::AuthTokens> AuthClientAuthenticator::login(
    std::string provider, std::string token, std::optional<std::string> codeVerifier) {
  sdk::AuthClient client(baseURL_, session_);
  // Built outside the awaited expression: GCC 12 destroys a temporary handed to a coroutine
  // there twice.
  auto call = asio::co_spawn(
      network_, client.login(std::move(provider), std::move(token), std::move(codeVerifier)),
      asio::use_awaitable);
  co_return co_await std::move(call);
}

asio::awaitable<void> AuthClientAuthenticator::logout(std::string refreshToken) {
  sdk::AuthClient client(baseURL_, session_);
  auto call = asio::co_spawn(network_, client.logout(std::move(refreshToken)), asio::use_awaitable);
  co_await std::move(call);
}

std::shared_ptr<sdk::SignedInSession> AuthClientAuthenticator::openSession(
    sdk::AuthTokens tokens, sdk::SignedInSession::SaveTokens save) {
  return std::make_shared<sdk::SignedInSession>(baseURL_, session_, std::move(tokens),
                                                std::move(save));
}

DeviceRegistryRegistrar::DeviceRegistryRegistrar(std::string baseURL, asio::any_io_executor network,
                                                 std::shared_ptr<const net::HttpClient> session)
    : baseURL_(std::move(baseURL)), network_(std::move(network)), session_(std::move(session)) {}

asio::awaitable<sdk::DeviceSummary> DeviceRegistryRegistrar::registerDevice(
    std::shared_ptr<sdk::SignedInSession> session, std::string name, std::string platform,
    std::optional<std::string> pairingCode) {
  auto registering = session->call<sdk::DeviceSummary>(
      [base = baseURL_, http = session_, name = std::move(name), platform = std::move(platform),
       pairingCode = std::move(pairingCode)](std::string accessToken) {
        return sdk::DeviceRegistryClient(base, std::move(accessToken), http)
            .registerDevice(name, platform, pairingCode);
      });
  auto call = asio::co_spawn(network_, std::move(registering), asio::use_awaitable);
  co_return co_await std::move(call);
}

SecretTokenStore::SecretTokenStore(std::unique_ptr<platform::linux_os::SecretStore> store)
    : store_(std::move(store)) {}

void SecretTokenStore::save(const sdk::AuthTokens& tokens) {
  std::lock_guard guard(lock_);
  store_->save(boost::json::serialize(protocol::json_codec::encodeRecord(tokens)));
}

std::optional<sdk::AuthTokens> SecretTokenStore::load() {
  std::unique_lock guard(lock_);
  const auto secret = store_->load();
  guard.unlock();
  if (!secret) return std::nullopt;
  boost::system::error_code error;
  const boost::json::value parsed = boost::json::parse(*secret, error);
  if (error) return std::nullopt;
  sdk::AuthTokens tokens;
  protocol::json_codec::Failure failure;
  if (!protocol::json_codec::decodeRecord(parsed, tokens, failure)) return std::nullopt;
  return tokens;
}

void SecretTokenStore::clear() {
  std::lock_guard guard(lock_);
  store_->clear();
}

}  // namespace lumora::app
