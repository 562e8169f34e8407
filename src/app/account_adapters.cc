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

DeviceRegistryRegistrar::DeviceRegistryRegistrar(std::string baseURL, asio::any_io_executor network,
                                                 std::shared_ptr<const net::HttpClient> session)
    : baseURL_(std::move(baseURL)), network_(std::move(network)), session_(std::move(session)) {}

asio::awaitable<sdk::DeviceSummary> DeviceRegistryRegistrar::registerDevice(
    std::string accessToken, std::string name, std::string platform,
    std::optional<std::string> pairingCode) {
  sdk::DeviceRegistryClient client(baseURL_, std::move(accessToken), session_);
  auto call = asio::co_spawn(
      network_, client.registerDevice(std::move(name), std::move(platform), std::move(pairingCode)),
      asio::use_awaitable);
  co_return co_await std::move(call);
}

SecretTokenStore::SecretTokenStore(std::unique_ptr<platform::linux_os::SecretStore> store)
    : store_(std::move(store)) {}

void SecretTokenStore::save(const sdk::AuthTokens& tokens) {
  store_->save(boost::json::serialize(protocol::json_codec::encodeRecord(tokens)));
}

std::optional<sdk::AuthTokens> SecretTokenStore::load() {
  const auto secret = store_->load();
  if (!secret) return std::nullopt;
  boost::system::error_code error;
  const boost::json::value parsed = boost::json::parse(*secret, error);
  if (error) return std::nullopt;
  sdk::AuthTokens tokens;
  protocol::json_codec::Failure failure;
  if (!protocol::json_codec::decodeRecord(parsed, tokens, failure)) return std::nullopt;
  return tokens;
}

void SecretTokenStore::clear() { store_->clear(); }

}  // namespace lumora::app
