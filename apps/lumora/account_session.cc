#include "account_session.h"

#include <boost/url/parse.hpp>

#include <cstdlib>

#include "failure.h"
#include "net/http_client.h"

namespace lumora::cli {

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
  session_ = std::make_unique<sdk::SignedInSession>(serviceURL_, http_, *account_.tokens,
                                                    [this](const sdk::AuthTokens& renewed) {
                                                      account_.tokens = renewed;
                                                      store_.save(account_);
                                                    });
}

AccountSession::~AccountSession() = default;

template <class T>
T AccountSession::withAccessToken(sdk::SignedInSession::Call<T> call) {
  try {
    return runToEnd(session_->call<T>(std::move(call)));
  } catch (const sdk::SignedInSessionError&) {
    throw Failure("session expired: log in again with `lumora login`");
  }
}

std::vector<sdk::DeviceSummary> AccountSession::listDevices() {
  return withAccessToken<std::vector<sdk::DeviceSummary>>([&](std::string token) {
    return sdk::DeviceRegistryClient(serviceURL_, std::move(token), http_).listDevices();
  });
}

sdk::DeviceSummary AccountSession::registerDevice(const std::string& name,
                                                  const std::string& pairingCode) {
  return withAccessToken<sdk::DeviceSummary>([&](std::string token) {
    return sdk::DeviceRegistryClient(serviceURL_, std::move(token), http_)
        .registerDevice(name, std::string(sdk::kDevicePlatform), pairingCode);
  });
}

sdk::RelayTokenResponse AccountSession::relayToken(const std::string& fingerprint) {
  return withAccessToken<sdk::RelayTokenResponse>([&](std::string token) {
    return sdk::RelayTokenClient(serviceURL_, std::move(token), http_).issueToken(fingerprint);
  });
}

}  // namespace lumora::cli
