// Browser sign-in through the loopback redirect, end to end against the real account service
// in --dev mode, whose stand-ins of Google's and GitHub's endpoints sign real ID tokens.

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>

#include <cstring>
#include <regex>

#include "account/account_client.h"
#include "fake_browser_opener.h"
#include "sdk/oauth/github_oauth.h"
#include "sdk/oauth/google_oauth.h"
#include "sdk/oauth/oauth_flow_error.h"
#include "sdk/oauth/oauth_web_flow.h"
#include "sdk/oauth/xdg_open_browser.h"
#include "support/account_service_process.h"

namespace lumora::sdk {
namespace {

using account::testing::AccountClient;
using testing::FakeBrowserOpener;
using namespace std::chrono_literals;

using Behaviour = FakeBrowserOpener::Behaviour;

// The error a future fails with: its OAuthFlowError kind, or nothing for any other failure.
template <class T>
std::optional<OAuthFlowError::Kind> flowErrorOf(std::future<T>& future) {
  try {
    future.get();
  } catch (...) {
    if (auto error = oauthFlowErrorOf(std::current_exception())) return error->kind();
    throw;
  }
  ADD_FAILURE() << "the future succeeded";
  return std::nullopt;
}

// A flow whose listener the test can reach: the redirect URI it built its URL with.
struct Started {
  std::future<OAuthWebFlow::Callback> callback;
  std::string redirectURI;
  // http://127.0.0.1:PORT
  std::string origin() const {
    return redirectURI.substr(0, redirectURI.size() - std::strlen(GitHubOAuth::callbackPath));
  }
};

Started startGitHub(OAuthWebFlow& flow, const GitHubOAuth& github, const std::string& state) {
  Started started;
  started.callback = flow.authenticate(
      [&](const std::string& redirectURI) {
        started.redirectURI = redirectURI;
        return github.authorizeURL(state, redirectURI);
      },
      GitHubOAuth::callbackPath);
  return started;
}

class OAuthWebFlowTest : public ::testing::Test {
 protected:
  testing_support::AccountServiceProcess service{{"--listen", "127.0.0.1:0", "--dev"}};
  const std::string serviceURL = service.url();
  const GitHubOAuth github{GitHubOAuth::Config::devService(serviceURL)};
};

TEST_F(OAuthWebFlowTest, GoogleSignInEndsWithAnIDTokenTheServiceAccepts) {
  const GoogleOAuth google(GoogleOAuth::Config::devService(serviceURL));
  auto browser = std::make_shared<FakeBrowserOpener>();
  OAuthWebFlow flow(browser, {});
  const std::string state = "0F6A4C1E-29B7-4E21-9C6D-3B5E7A8F9D10";
  const std::string verifier = GoogleOAuth::codeVerifier();

  const OAuthWebFlow::Callback callback =
      flow.authenticate(
              [&](const std::string& redirectURI) {
                return google.authorizeURL(state, GoogleOAuth::codeChallenge(verifier),
                                           redirectURI);
              },
              GoogleOAuth::callbackPath)
          .get();
  EXPECT_TRUE(std::regex_match(callback.redirectURI,
                               std::regex(R"(http://127\.0\.0\.1:[1-9][0-9]*/oauth2redirect)")))
      << callback.redirectURI;
  EXPECT_TRUE(callback.url.starts_with(callback.redirectURI + "?")) << callback.url;
  const auto page = browser->shownPage();
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("Sign-in finished"), std::string::npos) << page->body;

  const auto code = GoogleOAuth::parseCode(callback.url, state);
  ASSERT_TRUE(code) << callback.url;
  const std::string idToken =
      google.exchangeCodeForIDToken(*code, verifier, callback.redirectURI).get();
  const auto login =
      AccountClient(serviceURL).post("/auth/login", {{"provider", "google"}, {"token", idToken}});
  ASSERT_EQ(login.status, 200) << login.body;
  EXPECT_EQ(login.json().at("user").at("provider"), "google");
  EXPECT_EQ(login.json().at("user").at("email"), "dev@example.com");

  // Codes are single-use: the second exchange is answered 400 with a JSON error and no token.
  auto again = google.exchangeCodeForIDToken(*code, verifier, callback.redirectURI);
  EXPECT_EQ(flowErrorOf(again), OAuthFlowError::Kind::cannotStart);
}

TEST_F(OAuthWebFlowTest, GitHubSignInEndsWithACodeTheServiceExchanges) {
  auto browser = std::make_shared<FakeBrowserOpener>();
  OAuthWebFlow flow(browser, {});
  auto started = startGitHub(flow, github, "G1");
  const OAuthWebFlow::Callback callback = started.callback.get();
  EXPECT_EQ(callback.redirectURI, started.redirectURI);
  EXPECT_TRUE(callback.redirectURI.ends_with("/oauth/github")) << callback.redirectURI;
  const auto code = GitHubOAuth::parseCode(callback.url, "G1");
  ASSERT_TRUE(code) << callback.url;
  const auto login =
      AccountClient(serviceURL).post("/auth/login", {{"provider", "github"}, {"token", *code}});
  ASSERT_EQ(login.status, 200) << login.body;
  EXPECT_EQ(login.json().at("user").at("provider"), "github");
}

TEST_F(OAuthWebFlowTest, AnUnreachableTokenEndpointFailsWithTheTransportError) {
  GoogleOAuth::Config config = GoogleOAuth::Config::devService(serviceURL);
  config.tokenEndpoint = "http://127.0.0.1:1/token";
  auto exchange = GoogleOAuth(config).exchangeCodeForIDToken("c", "v", "r");
  try {
    exchange.get();
    ADD_FAILURE() << "the exchange succeeded";
  } catch (const OAuthFlowError&) {
    ADD_FAILURE() << "a transport failure became a flow error";
  } catch (const std::exception&) {
  }
}

TEST_F(OAuthWebFlowTest, CannotStartWhenNoBrowserOpens) {
  for (auto browser : std::vector<std::shared_ptr<BrowserOpener>>{
           std::make_shared<FakeBrowserOpener>(Behaviour::refuse),
           std::make_shared<XdgOpenBrowser>("/bin/false"),
           std::make_shared<XdgOpenBrowser>("lumora-no-such-browser")}) {
    OAuthWebFlow flow(browser, {});
    auto started = startGitHub(flow, github, "S");
    EXPECT_EQ(flowErrorOf(started.callback), OAuthFlowError::Kind::cannotStart);
    // The listener is gone with the flow's end.
    const auto origin = started.origin();
    EXPECT_TRUE(testing_support::eventually([&] {
      try {
        AccountClient(origin).get("/");
        return false;
      } catch (const std::exception&) {
        return true;
      }
    }));
  }
}

TEST_F(OAuthWebFlowTest, IsCancelledWhenTheBrowserNeverComesBack) {
  // The opener succeeds; nobody signs in.
  OAuthWebFlow flow(std::make_shared<XdgOpenBrowser>("/bin/true"), {.callback = 1s});
  auto started = startGitHub(flow, github, "S");
  EXPECT_EQ(started.callback.wait_for(200ms), std::future_status::timeout);
  EXPECT_EQ(flowErrorOf(started.callback), OAuthFlowError::Kind::cancelled);
}

TEST_F(OAuthWebFlowTest, ANewerSignInCancelsTheOpenOneAndGoingAwayCancelsTheLast) {
  auto browser = std::make_shared<FakeBrowserOpener>(Behaviour::stay);
  auto flow = std::make_unique<OAuthWebFlow>(browser, OAuthWebFlow::Timeouts{});
  auto first = startGitHub(*flow, github, "S1");
  browser->setBehaviour(Behaviour::follow);
  auto second = startGitHub(*flow, github, "S2");
  EXPECT_EQ(flowErrorOf(first.callback), OAuthFlowError::Kind::cancelled);
  EXPECT_TRUE(GitHubOAuth::parseCode(second.callback.get().url, "S2"));

  browser->setBehaviour(Behaviour::stay);
  auto third = startGitHub(*flow, github, "S3");
  flow.reset();
  EXPECT_EQ(flowErrorOf(third.callback), OAuthFlowError::Kind::cancelled);
}

TEST_F(OAuthWebFlowTest, OnlyTheCallbackFinishesIt) {
  auto browser = std::make_shared<FakeBrowserOpener>(Behaviour::stay);
  OAuthWebFlow flow(browser, {.connection = 500ms});
  auto started = startGitHub(flow, github, "S");
  const auto origin = started.origin();
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
  EXPECT_EQ(started.callback.wait_for(0s), std::future_status::timeout);

  const auto page = listener.get("/oauth/github?code=c&state=S");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(started.callback.get().url, origin + "/oauth/github?code=c&state=S");

  char byte;
  boost::system::error_code closed;
  boost::asio::read(idle, boost::asio::buffer(&byte, 1), closed);
  EXPECT_EQ(closed, boost::asio::error::eof);
}

}  // namespace
}  // namespace lumora::sdk
