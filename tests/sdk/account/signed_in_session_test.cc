// A sign-in's session against the real account service on loopback, its clock moved past the
// access token's life: calls that meet the expired token together refresh it once, and a
// refused refresh asks for a new sign-in.

#include "sdk/account/signed_in_session.h"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>

#include "account/service_harness.h"
#include "net/http_client.h"
#include "sdk/account/device_registry_client.h"
#include "support/failure_of.h"
#include "support/run_awaitable.h"

namespace lumora::sdk {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using testing_support::runAwaitable;

class SignedInSessionTest : public ::testing::Test {
 protected:
  SignedInSession sessionOf(AuthTokens tokens) {
    return SignedInSession(service.url(), http, std::move(tokens),
                           [this](const AuthTokens& renewed) { saved.push_back(renewed); });
  }
  SignedInSession::Call<std::vector<DeviceSummary>> listDevices(int& attempts) {
    return [this, &attempts](std::string accessToken) {
      ++attempts;
      return DeviceRegistryClient(service.url(), std::move(accessToken), http).listDevices();
    };
  }

  account::testing::ServiceUnderTest service;
  const std::shared_ptr<const net::HttpClient> http =
      std::make_shared<const net::HttpClient>("lumora-sdk-test");
  const AuthClient auth{service.url(), http};
  const AuthTokens signedIn = runAwaitable(auth.login("dev", "ada@example.com"));
  std::vector<AuthTokens> saved;
};

TEST_F(SignedInSessionTest, TwoCallsMeetingAnExpiredTokenRefreshItOnceSaveItAndBothGoAgain) {
  service.advance(16min);
  SignedInSession session = sessionOf(signedIn);
  asio::io_context io;
  // Each call holds its refusal until the other has met one too, so that both meet the expired
  // token before either has refreshed it.
  asio::steady_timer bothRefused(io, asio::steady_timer::time_point::max());
  int refusals = 0;
  std::vector<std::string> tokensTried;
  auto holdingRefusals =
      [&](std::string accessToken) -> asio::awaitable<std::vector<DeviceSummary>> {
    tokensTried.push_back(accessToken);
    // The spent pair's successor is kept before anything can go wrong with it.
    if (accessToken != signedIn.accessToken) {
      EXPECT_EQ(saved.size(), 1u) << "went again before saving";
    }
    std::exception_ptr refusal;
    try {
      auto listing = DeviceRegistryClient(service.url(), accessToken, http).listDevices();
      co_return co_await std::move(listing);
    } catch (const AccountServiceError&) {
      refusal = std::current_exception();
    }
    if (++refusals == 2) {
      bothRefused.cancel();
    } else {
      boost::system::error_code cancelled;
      co_await bothRefused.async_wait(asio::redirect_error(asio::use_awaitable, cancelled));
    }
    std::rethrow_exception(refusal);
  };
  auto first = asio::co_spawn(io, session.call<std::vector<DeviceSummary>>(holdingRefusals),
                              asio::use_future);
  auto second = asio::co_spawn(io, session.call<std::vector<DeviceSummary>>(holdingRefusals),
                               asio::use_future);
  io.run();
  EXPECT_TRUE(first.get().empty());
  EXPECT_TRUE(second.get().empty());

  ASSERT_EQ(saved.size(), 1u) << "refreshed more than once";
  EXPECT_EQ(session.tokens(), saved[0]);
  EXPECT_EQ(tokensTried, (std::vector<std::string>{signedIn.accessToken, signedIn.accessToken,
                                                   saved[0].accessToken, saved[0].accessToken}));
  // A second refresh with the spent token would have ended the whole chain: it goes on.
  EXPECT_NO_THROW(runAwaitable(auth.refresh(saved[0].refreshToken)));
}

TEST_F(SignedInSessionTest, ARefusedRefreshSaysToSignInAgainAndAnUnreachableOneSaysWhy) {
  // The sign-in's refresh token was spent elsewhere (another copy of the tokens refreshed).
  runAwaitable(auth.refresh(signedIn.refreshToken));
  service.advance(16min);
  SignedInSession stale = sessionOf(signedIn);
  int attempts = 0;
  const auto expired = testing_support::failureOf<SignedInSessionError>(
      [&] { runAwaitable(stale.call(listDevices(attempts))); });
  EXPECT_EQ(expired.kind(), AccountServiceError::Kind::signInExpired);
  EXPECT_EQ(expired.status(), 401);
  EXPECT_NE(std::string(expired.what()).find("sign in again"), std::string::npos) << expired.what();
  EXPECT_EQ(attempts, 1);
  EXPECT_TRUE(saved.empty());

  // A service that cannot be reached is not a reason to sign in again.
  SignedInSession unreachable("http://127.0.0.1:1", http, signedIn, {});
  const auto unreached = testing_support::failureOf<AuthClientError>([&] {
    runAwaitable(unreachable.call<int>([](std::string) -> asio::awaitable<int> {
      throw DeviceRegistryError::http(401, "");
      co_return 0;
    }));
  });
  EXPECT_EQ(unreached.kind(), AccountServiceError::Kind::transport);
}

}  // namespace
}  // namespace lumora::sdk
