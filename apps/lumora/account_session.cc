#include "account_session.h"

#include <boost/url/parse.hpp>

#include <cstdlib>

#include "asio/http_client.h"
#include "failure.h"
#include "sdk/account/auth_client.h"

namespace lumora::cli {

namespace {

bool refusedAsUnauthorized(const sdk::AccountServiceError& error) {
  return error.kind() == sdk::AccountServiceError::Kind::http && error.status() == 401;
}

}  // namespace

std::string accountServiceURL(const std::optional<std::string>& given,
                              const StoredAccount& stored) {
  if (given && !given->empty()) return *given;
  if (const char* environment = std::getenv("LUMORA_API_BASE_URL"); environment && *environment) {
    return environment;
  }
  if (stored.serviceURL) return *stored.serviceURL;
  throw Failure(
      "no account service known: give --account-service URL (or set LUMORA_API_BASE_URL)");
}

std::string relayBaseOf(const std::string& serviceURL) {
  auto parsed = boost::urls::parse_absolute_uri(serviceURL);
  if (!parsed || !parsed->has_authority()) {
    throw Failure("invalid account service URL: " + serviceURL);
  }
  const auto scheme = parsed->scheme();
  if (scheme != "http" && scheme != "https") {
    throw Failure("invalid account service URL: " + serviceURL + " (not http or https)");
  }
  return (scheme == "https" ? "wss://" : "ws://") + std::string(parsed->encoded_authority());
}

AccountSession::AccountSession(AccountStore store)
    : store_(std::move(store)),
      account_(store_.load()),
      http_(std::make_shared<net::HttpClient>("lumora-cli")) {
  if (!account_.tokens || !account_.serviceURL) {
    throw Failure("not logged in: run `lumora login`");
  }
  serviceURL_ = *account_.serviceURL;
}

AccountSession::~AccountSession() = default;

template <class Call>
auto AccountSession::withAccessToken(const Call& call) {
  try {
    return runToEnd(call(account_.tokens->accessToken));
  } catch (const sdk::AccountServiceError& error) {
    if (!refusedAsUnauthorized(error)) throw;
  }
  refresh();
  return runToEnd(call(account_.tokens->accessToken));
}

void AccountSession::refresh() {
  sdk::AuthClient auth(serviceURL_, http_);
  try {
    account_.tokens = runToEnd(auth.refresh(account_.tokens->refreshToken));
  } catch (const sdk::AccountServiceError& error) {
    if (error.kind() != sdk::AccountServiceError::Kind::http) throw;
    throw Failure("session expired: log in again with `lumora login`");
  }
  // The old refresh token is spent: the new pair must be kept before anything else can fail.
  store_.save(account_);
}

std::vector<sdk::DeviceSummary> AccountSession::listDevices() {
  return withAccessToken([&](const std::string& token) {
    return sdk::DeviceRegistryClient(serviceURL_, token, http_).listDevices();
  });
}

sdk::DeviceSummary AccountSession::registerDevice(const std::string& name,
                                                  const std::string& pairingCode) {
  return withAccessToken([&](const std::string& token) {
    return sdk::DeviceRegistryClient(serviceURL_, token, http_)
        .registerDevice(name, std::string(sdk::kDevicePlatform), pairingCode);
  });
}

sdk::RelayTokenResponse AccountSession::relayToken(const std::string& fingerprint) {
  return withAccessToken([&](const std::string& token) {
    return sdk::RelayTokenClient(serviceURL_, token, http_).issueToken(fingerprint);
  });
}

}  // namespace lumora::cli
