#include "account/account_service.h"

#include <boost/url/parse.hpp>

#include <stdexcept>

#include "account/account_store.h"
#include "account/private_files.h"
#include "account/sql_account_store.h"

namespace lumora::account {

namespace {

// The browser client, allowed to fetch from the Google token endpoint its sign-in exchanges a
// code at when that is not this service itself.
std::shared_ptr<const WebApp> loadWebApp(const std::string& folder,
                                         const ProviderSettings& providers) {
  std::vector<std::string> connectOrigins;
  if (!providers.google.clientIds.empty()) {
    auto token = boost::urls::parse_absolute_uri(providers.google.tokenUrl);
    if (token && token->has_authority()) {
      connectOrigins.push_back(std::string(token->scheme()) + "://" +
                               std::string(token->encoded_host_and_port()));
    }
  }
  // Without one the service answers /app/ with 404 and says why.
  auto app = folder.empty() ? std::nullopt : WebApp::load(folder, std::move(connectOrigins));
  return app ? std::make_shared<const WebApp>(std::move(*app)) : nullptr;
}

}  // namespace

AccountService::AccountService(ServiceConfig config, boost::asio::any_io_executor network,
                               boost::asio::any_io_executor worker, Clock clock)
    : config_(std::move(config)),
      network_(std::move(network)),
      worker_(std::move(worker)),
      clock_(std::move(clock)) {}

AccountService::~AccountService() { stop(); }

std::string AccountService::start() {
  // Checked before anything is opened, so that a refusal leaves nothing behind.
  if (!config_.server.tlsKeyFile.empty()) {
    if (auto why = openToOthers({config_.server.tlsKeyFile}, "the service's TLS private key")) {
      throw std::runtime_error(*why);
    }
  }
  std::shared_ptr<AccountStore> store = openAccountStore(config_.database);
  server_ = std::make_unique<AccountServer>(network_, config_.server);
  server_->bind();
  ProviderSettings providers = config_.providers;
  if (config_.dev) {
    // The stand-ins are reached the way a real provider is: over HTTP, at this very server.
    DevProviders::Settings settings = config_.devSettings;
    settings.baseUrl = url();
    if (settings.baseUrl.find("://0.0.0.0:") != std::string::npos) {
      settings.baseUrl.replace(settings.baseUrl.find("0.0.0.0"), 7, "127.0.0.1");
    }
    dev_ = std::make_shared<DevProviders>(settings, clock_);
    providers = dev_->providerSettings(std::move(providers));
  }
  auto web = loadWebApp(config_.webRoot, providers);
  auto identities = std::make_shared<IdentityProviders>(std::move(providers), clock_);
  auto api =
      std::make_shared<AccountApi>(std::move(store), std::move(identities), dev_, config_.lifetimes,
                                   clock_, worker_, config_.loginRate, std::move(web));
  server_->serve(std::move(api));
  return url();
}

void AccountService::stop() {
  if (server_) server_->stop();
}

std::string AccountService::url() const { return server_ ? server_->url() : std::string(); }

std::size_t AccountService::relayRoomCount() const {
  return server_ ? server_->relayRoomCount() : 0;
}

}  // namespace lumora::account
