// Browser sign-in's loopback listener: what ends a flow and who may finish it. The browser is the
// real opener running /bin/true, which takes the URL and never loads it (a person who walks
// away); the test plays the browser's way back itself. A whole sign-in with a browser that
// follows the redirects to the service's stand-ins is the lumora program's CliLogin test.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>

#include <memory>
#include <regex>

#include "account/account_client.h"
#include "protocol/pkce.h"
#include "sdk/oauth/github_oauth.h"
#include "sdk/oauth/oauth_flow_error.h"
#include "sdk/oauth/oauth_urls.h"
#include "sdk/oauth/oauth_web_flow.h"
#include "sdk/oauth/xdg_open_browser.h"
#include "support/eventually.h"
#include "support/failure_of.h"

namespace lumora::sdk {
namespace {

using account::testing::AccountClient;
using namespace std::chrono_literals;

// The kind of OAuthFlowError a future fails with; any other outcome fails the test.
template <class T>
OAuthFlowError::Kind flowErrorOf(std::future<T>& future) {
  return testing_support::failureOf<OAuthFlowError>([&] { future.get(); }).kind();
}

class OAuthWebFlowTest : public ::testing::Test {
 protected:
  // A GitHub sign-in on `flow`; `listener` becomes the origin of its redirect URI.
  std::future<OAuthWebFlow::Callback> signIn(OAuthWebFlow& flow, const std::string& state,
                                             std::string* listener = nullptr) {
    return flow.authenticate(
        [&](const std::string& redirectURI) {
          if (listener) *listener = redirectURI.substr(0, redirectURI.rfind("/oauth/github"));
          return github.authorizeURL(state, protocol::pkce::s256Challenge(kVerifier), redirectURI);
        },
        GitHubOAuth::callbackPath, state);
  }
  static constexpr const char* kVerifier = "verifier-of-the-flow-tests-0123456789abcdef";

  static std::shared_ptr<BrowserOpener> walkingAway() {
    return std::make_shared<XdgOpenBrowser>("/bin/true");
  }

  const GitHubOAuth github;
};

TEST_F(OAuthWebFlowTest, CannotStartWhenNoBrowserOpens) {
  // A browser program that fails. (One that cannot start at all is CliLogin's "no browser".)
  OAuthWebFlow flow(std::make_shared<XdgOpenBrowser>("/bin/false"), {});
  std::string listener;
  auto callback = signIn(flow, "S", &listener);
  EXPECT_EQ(flowErrorOf(callback), OAuthFlowError::Kind::cannotStart);
  // The listener closes with the flow's end.
  EXPECT_TRUE(testing_support::eventually([&] {
    try {
      AccountClient(listener).get("/");
      return false;
    } catch (const std::exception&) {
      return true;
    }
  }));
}

TEST_F(OAuthWebFlowTest, IsCancelledWhenTheBrowserNeverComesBack) {
  OAuthWebFlow flow(walkingAway(), {.callback = 1s});
  auto callback = signIn(flow, "S");
  EXPECT_EQ(callback.wait_for(200ms), std::future_status::timeout);
  EXPECT_EQ(flowErrorOf(callback), OAuthFlowError::Kind::cancelled);
}

TEST_F(OAuthWebFlowTest, ANewerSignInCancelsTheOpenOneAndGoingAwayCancelsTheLast) {
  auto flow = std::make_unique<OAuthWebFlow>(walkingAway(), OAuthWebFlow::Timeouts{});
  auto first = signIn(*flow, "S1");
  std::string listener;
  auto second = signIn(*flow, "S2", &listener);
  EXPECT_EQ(flowErrorOf(first), OAuthFlowError::Kind::cancelled);
  EXPECT_EQ(AccountClient(listener).get("/oauth/github?code=c&state=S2").status, 200);
  EXPECT_TRUE(parseAuthorizationCode(second.get().url, "S2"));

  auto third = signIn(*flow, "S3");
  flow.reset();
  EXPECT_EQ(flowErrorOf(third), OAuthFlowError::Kind::cancelled);
}

TEST_F(OAuthWebFlowTest, OnlyTheCallbackWithItsOwnStateFinishesIt) {
  OAuthWebFlow flow(walkingAway(), {.connection = 500ms});
  std::string origin;
  auto callback = signIn(flow, "S", &origin);
  const AccountClient listener(origin);

  // A connection that never sends anything (browsers open such) holds nothing up, and is
  // dropped after the connection time-out.
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket idle(io);
  idle.connect({boost::asio::ip::make_address("127.0.0.1"),
                static_cast<unsigned short>(std::stoi(origin.substr(origin.rfind(':') + 1)))});
  EXPECT_EQ(listener.get("/favicon.ico").status, 404);
  EXPECT_EQ(listener.request("POST", "/oauth/github?code=c&state=S").status, 404);
  EXPECT_ANY_THROW(listener.request("GET", "/oauth/github?code=c&state=S", {}, {},
                                    {{"Cookie", std::string(9000, 'x')}}));
  EXPECT_EQ(callback.wait_for(0s), std::future_status::timeout);

  // A local program that guesses the port cannot end the sign-in, nor slip its own code in:
  // without this sign-in's state it gets the mismatch page, and the flow waits on.
  for (const char* foreign : {"/oauth/github?code=planted&state=T", "/oauth/github?code=planted"}) {
    const auto turnedAway = listener.get(foreign);
    EXPECT_EQ(turnedAway.status, 400) << foreign;
    EXPECT_NE(turnedAway.body.find("did not match"), std::string::npos) << turnedAway.body;
  }
  EXPECT_EQ(callback.wait_for(200ms), std::future_status::timeout);

  EXPECT_EQ(listener.get("/oauth/github?code=c&state=S").status, 200);
  const auto finished = callback.get();
  EXPECT_EQ(finished.url, origin + "/oauth/github?code=c&state=S");
  EXPECT_TRUE(std::regex_match(finished.redirectURI,
                               std::regex(R"(http://127\.0\.0\.1:[1-9][0-9]*/oauth/github)")))
      << finished.redirectURI;
  char byte;
  boost::system::error_code closed;
  boost::asio::read(idle, boost::asio::buffer(&byte, 1), closed);
  EXPECT_EQ(closed, boost::asio::error::eof);
}

}  // namespace
}  // namespace lumora::sdk
