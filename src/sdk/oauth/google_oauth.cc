#include "sdk/oauth/google_oauth.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/json/parse.hpp>

#include <memory>
#include <stdexcept>

#include "net/http_client.h"
#include "sdk/internal/io_thread.h"
#include "sdk/oauth/oauth_flow_error.h"
#include "sdk/oauth/oauth_urls.h"

namespace lumora::sdk {

namespace asio = boost::asio;

static_assert(std::string_view(GoogleOAuth::kDefaultClientID).size() == 72);

namespace {

// The "id_token" of a token response, whatever its status: Google answers a refused exchange
// with a JSON error object, which has none.
std::string idTokenOf(const std::string& body) {
  boost::system::error_code error;
  const boost::json::value response = boost::json::parse(body, error);
  if (error || !response.is_object()) throw OAuthFlowError::cannotStart();
  const auto* idToken = response.as_object().if_contains("id_token");
  if (idToken == nullptr || !idToken->is_string() || idToken->as_string().empty()) {
    throw OAuthFlowError::cannotStart();
  }
  return std::string(idToken->as_string());
}

asio::awaitable<std::string> fetchIDToken(std::shared_ptr<const net::HttpClient> client,
                                          net::FetchRequest request) {
  const net::FetchResult result = co_await client->fetch(std::move(request));
  co_return idTokenOf(result.body);
}

}  // namespace

GoogleOAuth::Config GoogleOAuth::Config::fromEnvironment() {
  Config config;
  overrideFromEnvironment(config.clientID, "LUMORA_GOOGLE_CLIENT_ID");
  overrideFromEnvironment(config.authorizationEndpoint, "LUMORA_GOOGLE_AUTHORIZE_URL");
  overrideFromEnvironment(config.tokenEndpoint, "LUMORA_GOOGLE_TOKEN_URL");
  return config;
}

GoogleOAuth::Config GoogleOAuth::Config::devService(std::string_view serviceURL) {
  Config config;
  config.clientID = "lumora-dev.apps.example";
  config.authorizationEndpoint = std::string(serviceURL) + "/dev/google/authorize";
  config.tokenEndpoint = std::string(serviceURL) + "/dev/google/token";
  return config;
}

GoogleOAuth::GoogleOAuth() = default;

GoogleOAuth::GoogleOAuth(Config config) : config_(std::move(config)) {}

std::string GoogleOAuth::authorizeURL(std::string_view state, std::string_view codeChallenge,
                                      std::string_view redirectURI) const {
  return urlWithQuery(config_.authorizationEndpoint,
                      {{"client_id", config_.clientID},
                       {"redirect_uri", std::string(redirectURI)},
                       {"response_type", "code"},
                       {"scope", scope},
                       {"state", std::string(state)},
                       {"code_challenge", std::string(codeChallenge)},
                       {"code_challenge_method", "S256"}});
}

std::future<std::string> GoogleOAuth::exchangeCodeForIDToken(std::string code,
                                                             std::string codeVerifier,
                                                             std::string redirectURI) const {
  net::FetchRequest request;
  request.method = "POST";
  request.url = config_.tokenEndpoint;
  request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
  request.body = formEncoded({{"grant_type", "authorization_code"},
                              {"code", std::move(code)},
                              {"client_id", config_.clientID},
                              {"redirect_uri", std::move(redirectURI)},
                              {"code_verifier", std::move(codeVerifier)}});
  auto client = std::make_shared<const net::HttpClient>("lumora", config_.exchangeTimeout);
  auto promise = std::make_shared<std::promise<std::string>>();
  auto future = promise->get_future();
  // A thread for this one exchange; the completion lets go of it from on it, which the
  // thread registry allows (it is joined later).
  auto thread = std::make_shared<internal::IoThread>();
  asio::co_spawn(thread->context(), fetchIDToken(std::move(client), std::move(request)),
                 [promise, thread](std::exception_ptr error, std::string idToken) mutable {
                   if (error) {
                     promise->set_exception(error);
                   } else {
                     promise->set_value(std::move(idToken));
                   }
                   thread.reset();
                 });
  return future;
}

}  // namespace lumora::sdk
