// Browser sign-in through the loopback redirect, end to end against the real account service
// in --dev mode, whose stand-ins of Google's and GitHub's endpoints sign real ID tokens. The
// browser is the real opener running the toolkit's xdg-open, which follows the redirects; one
// running /bin/true takes the URL and never loads it (a person who walks away).

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>

#include <atomic>
#include <memory>
#include <regex>

#include "account/account_client.h"
#include "protocol/pkce.h"
#include "sdk/oauth/github_oauth.h"
#include "sdk/oauth/google_oauth.h"
#include "sdk/oauth/oauth_flow_error.h"
#include "sdk/oauth/oauth_sign_in.h"
#include "sdk/oauth/oauth_urls.h"
#include "sdk/oauth/oauth_web_flow.h"
#include "sdk/oauth/provider_directory.h"
#include "sdk/oauth/xdg_open_browser.h"
#include "support/account_service_process.h"
#include "support/eventually.h"
#include "support/failure_of.h"
#include "support/fake_browser.h"

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

  std::shared_ptr<BrowserOpener> following() const {
    return std::make_shared<XdgOpenBrowser>(browserFolder / "bin/xdg-open");
  }
  static std::shared_ptr<BrowserOpener> walkingAway() {
    return std::make_shared<XdgOpenBrowser>("/bin/true");
  }

  testing_support::AccountServiceProcess service{{"--listen", "127.0.0.1:0", "--dev"}};
  const std::string serviceURL = service.url();
  const GitHubOAuth github{GitHubOAuth::Config::devService(serviceURL)};
  testing_support::TempDir browserFolder;
  const std::string browserPath = testing_support::fakeBrowserPath(browserFolder);  // makes it
};

// GitHub's sign-in (a code and its verifier, which the service then takes) is driven end to end
// by agent_app_coordinator_test.
TEST_F(OAuthWebFlowTest, GoogleSignInEndsWithAnIDTokenTheServiceAccepts) {
  // Configured the way the programs are: from what the service says of its own clients.
  const GoogleOAuth google(ProviderDirectory::fetch(serviceURL).applyTo(GoogleOAuth::Config()));
  EXPECT_EQ(google.config().tokenEndpoint, serviceURL + "/dev/google/token");
  OAuthWebFlow flow(following(), {});
  const auto idToken = signInWithGoogle(flow, google);
  ASSERT_TRUE(idToken);
  EXPECT_FALSE(idToken->codeVerifier) << "the verifier is spent in the exchange";
  const auto login = AccountClient(serviceURL)
                         .post("/auth/login", {{"provider", "google"}, {"token", idToken->token}});
  ASSERT_EQ(login.status, 200) << login.body;
  EXPECT_EQ(login.json().at("user").at("email"), "dev@example.com");
  // The browser shows the listener's page (curl keeps none of a failed answer).
  const std::string page = testing_support::contentOf(browserFolder / "bin/page.html");
  EXPECT_NE(page.find("Sign-in finished"), std::string::npos) << page;

  // A refused exchange is answered 400 with a JSON error and no token.
  auto refused = google.exchangeCodeForIDToken("g.unknown", protocol::pkce::newCodeVerifier(),
                                               loopbackRedirectURI(9, GoogleOAuth::callbackPath));
  EXPECT_EQ(flowErrorOf(refused), OAuthFlowError::Kind::cannotStart);
}

TEST_F(OAuthWebFlowTest, CannotStartWhenNoBrowserOpens) {
  // A program that fails, and one that cannot start (refused at once, inside open()).
  for (auto browser : std::vector<std::shared_ptr<BrowserOpener>>{
           std::make_shared<XdgOpenBrowser>("/bin/false"),
           std::make_shared<XdgOpenBrowser>("lumora-no-such-browser")}) {
    OAuthWebFlow flow(browser, {});
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
}

TEST_F(OAuthWebFlowTest, IsCancelledWhenTheBrowserNeverComesBack) {
  OAuthWebFlow flow(walkingAway(), {.callback = 1s});
  auto callback = signIn(flow, "S");
  EXPECT_EQ(callback.wait_for(200ms), std::future_status::timeout);
  EXPECT_EQ(flowErrorOf(callback), OAuthFlowError::Kind::cancelled);
}

// Hands each URL to the following browser while `follow` holds, else to one that walks away.
struct SwitchingBrowser : BrowserOpener {
  void open(const std::string& url, std::function<void(bool shown)> finished) override {
    (follow ? following : walkingAway)->open(url, std::move(finished));
  }
  std::shared_ptr<BrowserOpener> following, walkingAway;
  std::atomic<bool> follow = false;
};

TEST_F(OAuthWebFlowTest, ANewerSignInCancelsTheOpenOneAndGoingAwayCancelsTheLast) {
  auto browser = std::make_shared<SwitchingBrowser>();
  browser->following = following();
  browser->walkingAway = walkingAway();
  auto flow = std::make_unique<OAuthWebFlow>(browser, OAuthWebFlow::Timeouts{});
  auto first = signIn(*flow, "S1");
  browser->follow = true;
  auto second = signIn(*flow, "S2");
  EXPECT_EQ(flowErrorOf(first), OAuthFlowError::Kind::cancelled);
  EXPECT_TRUE(parseAuthorizationCode(second.get().url, "S2"));

  browser->follow = false;
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
    EXPECT_NE(turnedAway.body.find("close this window"), std::string::npos) << turnedAway.body;
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
