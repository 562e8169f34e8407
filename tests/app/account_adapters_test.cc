// The account controller over its real adapters and the real account service, whose access
// tokens live one second here: a registration made after the token expired refreshes the pair
// once and keeps the new one in the token store, and signing out ends the sign-in on the
// service.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <thread>

#include "app/account_adapters.h"
#include "app/account_controller.h"
#include "net/http_client.h"
#include "platform/linux/secret_store.h"
#include "protocol/pairing_secret.h"
#include "support/account_service_process.h"
#include "support/failure_of.h"
#include "support/run_awaitable.h"
#include "support/temp_dir.h"

namespace lumora::app {
namespace {

using testing_support::runAwaitable;

class AccountAdaptersTest : public ::testing::Test {
 protected:
  AccountController::Dependencies dependencies(std::optional<std::string> pairingCode) {
    return {std::make_shared<AuthClientAuthenticator>(service_.url(), network_.executor(), http_),
            std::make_shared<DeviceRegistryRegistrar>(service_.url(), network_.executor(), http_),
            tokens_, [pairingCode] { return pairingCode; },
            [] { return std::string("study desk"); }};
  }

  testing_support::AccountServiceProcess service_{
      {"--listen", "127.0.0.1:0", "--dev", "--access-token-lifetime", "1"}};
  testing_support::ThreadedIo network_;
  boost::asio::io_context main_;
  testing_support::TempDir home_;
  const std::shared_ptr<const net::HttpClient> http_ =
      std::make_shared<net::HttpClient>("lumora-tray-test");
  const std::shared_ptr<SecretTokenStore> tokens_ = std::make_shared<SecretTokenStore>(
      platform::linux_os::makeFileSecretStore(home_.path() / "tokens.json"));
};

TEST_F(AccountAdaptersTest, ARegistrationAfterTheAccessTokenExpiredRefreshesAndKeepsTheNewPair) {
  AccountController signingIn(dependencies(std::nullopt));
  runAwaitable(main_, signingIn.completeSignIn("dev", "ada@example.com"));
  ASSERT_EQ(signingIn.state().get().registeredDeviceName, "study desk")
      << signingIn.state().get().errorMessage.value_or("") << service_.log();
  const sdk::AuthTokens first = tokens_->load().value();

  // The next start of the application, once the access token has expired, with the agent
  // serving. (That the registration carries the pairing's fingerprint is
  // AgentAppCoordinatorTest's.)
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  const auto secret = protocol::PairingSecret::generate();
  AccountController restarted(dependencies(secret.code()));
  runAwaitable(main_, restarted.registerThisMacIfSignedIn());
  EXPECT_FALSE(restarted.state().get().errorMessage)
      << *restarted.state().get().errorMessage << service_.log();
  EXPECT_EQ(restarted.state().get().registeredDeviceName, "study desk");
  const sdk::AuthTokens renewed = tokens_->load().value();
  EXPECT_NE(renewed.refreshToken, first.refreshToken);
  EXPECT_NE(renewed.accessToken, first.accessToken);

  // Signing out ends the chain: the pair kept last is worth nothing anywhere now.
  runAwaitable(main_, restarted.signOut());
  EXPECT_FALSE(restarted.state().get().errorMessage) << *restarted.state().get().errorMessage;
  EXPECT_FALSE(tokens_->load());
  const auto refused = testing_support::failureOf<sdk::AuthClientError>(
      [&] { runAwaitable(sdk::AuthClient(service_.url(), http_).refresh(renewed.refreshToken)); });
  EXPECT_EQ(refused.status(), 401) << refused.what();
}

}  // namespace
}  // namespace lumora::app
