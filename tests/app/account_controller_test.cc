#include "app/account_controller.h"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include <memory>

#include "app/app_fakes.h"
#include "support/run_awaitable.h"

namespace lumora::app {
namespace {

using testing_support::runAwaitable;

class AccountControllerTest : public ::testing::Test {
 protected:
  std::unique_ptr<AccountController> make() {
    return std::make_unique<AccountController>(AccountController::Dependencies{
        authenticator, registrar, store, [this] { return pairingCode; },
        [] { return std::string("workstation"); }});
  }
  const AccountController::State& state() { return controller->state().get(); }

  boost::asio::io_context io;
  std::shared_ptr<app_test::FakeAuthenticator> authenticator =
      std::make_shared<app_test::FakeAuthenticator>();
  std::shared_ptr<app_test::FakeRegistrar> registrar = std::make_shared<app_test::FakeRegistrar>();
  std::shared_ptr<app_test::FakeTokenStore> store = std::make_shared<app_test::FakeTokenStore>();
  std::optional<std::string> pairingCode;
  std::unique_ptr<AccountController> controller = make();
};

TEST_F(AccountControllerTest, ARestoredSignInShowsEmailElseDisplayNameElseId) {
  EXPECT_FALSE(state().isSignedIn());
  sdk::AuthUser user{"u7", "github", std::nullopt, "Ada L."};
  store->stored = sdk::AuthTokens{"a", "r", user};
  EXPECT_EQ(make()->state().get().email, "Ada L.");
  store->stored->user.displayName.reset();
  EXPECT_EQ(make()->state().get().email, "u7");
  store->stored->user.email = "ada@example.com";
  controller = make();
  EXPECT_EQ(state(), (AccountController::State{"ada@example.com", {}, false, {}}));
  EXPECT_TRUE(registrar->calls.empty());
}

TEST_F(AccountControllerTest, SignInStoresTheTokensShowsTheUserAndRegisters) {
  registrar->registryName = "workstation (2)";
  registrar->gate.close();
  auto done = boost::asio::co_spawn(io, controller->completeSignIn("github", "code-1", "v-1"),
                                    boost::asio::use_future);
  io.poll();
  EXPECT_TRUE(state().isWorking);
  EXPECT_EQ(state().email, "ada@example.com");
  EXPECT_EQ(store->stored, authenticator->tokens);

  registrar->gate.open();
  io.restart();
  io.run();
  done.get();
  EXPECT_EQ(authenticator->logins, std::vector<std::string>{"github:code-1:v-1"});
  EXPECT_EQ(registrar->calls, std::vector<std::string>{"access-1 workstation linux -"});
  EXPECT_EQ(state(), (AccountController::State{"ada@example.com", "workstation (2)", false, {}}));
}

TEST_F(AccountControllerTest, AConflictMeansRegisteredUnderTheLocalName) {
  registrar->registryName = "renamed";
  registrar->failure = std::make_exception_ptr(sdk::DeviceRegistryError::http(409, "exists"));
  runAwaitable(io, controller->completeSignIn("google", "id"));
  EXPECT_EQ(state(), (AccountController::State{"ada@example.com", "workstation", false, {}}));
}

TEST_F(AccountControllerTest, ARefusedRegistrationLeavesTheUserSignedInWithItsText) {
  const auto refusal = sdk::DeviceRegistryError::http(401, "expired");
  registrar->failure = std::make_exception_ptr(refusal);
  runAwaitable(io, controller->completeSignIn("google", "id"));
  EXPECT_EQ(state(),
            (AccountController::State{"ada@example.com", {}, false, std::string(refusal.what())}));
  EXPECT_TRUE(store->stored);
}

TEST_F(AccountControllerTest, AFailedLoginOrStoreLeavesSignedOutAndRegistersNothing) {
  const auto refusal = sdk::AuthClientError::transport("connection refused");
  authenticator->failure = std::make_exception_ptr(refusal);
  runAwaitable(io, controller->completeSignIn("google", "id"));
  EXPECT_EQ(state(), (AccountController::State{{}, {}, false, std::string(refusal.what())}));

  authenticator->failure = nullptr;
  store->saveFailure = "no keyring";
  runAwaitable(io, controller->completeSignIn("google", "id"));
  EXPECT_EQ(state(), (AccountController::State{{}, {}, false, "no keyring"}));
  EXPECT_FALSE(store->stored);
  EXPECT_TRUE(registrar->calls.empty());

  // Signed out, a registration changes nothing, not even the last error.
  runAwaitable(io, controller->registerThisMacIfSignedIn());
  EXPECT_EQ(state().errorMessage, "no keyring");
  EXPECT_TRUE(registrar->calls.empty());
}

TEST_F(AccountControllerTest, RegistrationSendsThePairingCodeOfTheMomentAndSignOutForgets) {
  runAwaitable(io, controller->completeSignIn("google", "id"));
  pairingCode = "123456";
  registrar->failure = std::make_exception_ptr(sdk::DeviceRegistryError::http(500, ""));
  runAwaitable(io, controller->registerThisMacIfSignedIn());
  EXPECT_EQ(registrar->calls.back(), "access-1 workstation linux 123456");
  EXPECT_EQ(state().errorMessage, "the account service answered 500");

  // A sign-out the service acknowledges leaves no error behind (what it forgets: the case below).
  runAwaitable(io, controller->signOut());
  EXPECT_EQ(state(), AccountController::State{});
}

TEST_F(AccountControllerTest, SignOutForgetsAtOnceThenEndsTheSignInOnTheService) {
  runAwaitable(io, controller->completeSignIn("google", "id"));
  authenticator->logoutFailure =
      std::make_exception_ptr(sdk::AuthClientError::transport("Connection refused"));
  authenticator->logoutGate.close();
  auto done = boost::asio::co_spawn(io, controller->signOut(), boost::asio::use_future);
  io.restart();
  io.poll();
  // Forgotten before the service answers: a slow service leaves nothing signed in here.
  EXPECT_EQ(authenticator->logouts, std::vector<std::string>{"refresh-1"});
  EXPECT_FALSE(store->stored);
  EXPECT_FALSE(state().isSignedIn());
  authenticator->logoutGate.open();
  io.restart();
  io.run();
  done.get();
  EXPECT_EQ(state().errorMessage,
            "signed out here, but the account service was not told: account service request "
            "failed: Connection refused");
}

}  // namespace
}  // namespace lumora::app
