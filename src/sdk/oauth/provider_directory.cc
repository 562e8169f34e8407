#include "sdk/oauth/provider_directory.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>

#include "net/http_client.h"
#include "sdk/oauth/oauth_urls.h"

namespace lumora::sdk {

namespace asio = boost::asio;
namespace json = boost::json;

namespace {

std::string stringAt(const json::object& object, std::string_view key) {
  const auto* value = object.if_contains(key);
  return value && value->is_string() ? std::string(value->as_string()) : std::string();
}

void replaceWhenNamed(std::string& value, const std::string& named) {
  if (!named.empty()) value = named;
}

}  // namespace

ProviderDirectory ProviderDirectory::parse(std::string_view body) {
  ProviderDirectory directory;
  boost::system::error_code ec;
  const json::value parsed = json::parse(body, ec);
  const json::object* root = ec ? nullptr : parsed.if_object();
  const json::value* listed = root ? root->if_contains("providers") : nullptr;
  if (!listed || !listed->is_array()) return directory;
  for (const auto& item : listed->as_array()) {
    const auto* provider = item.if_object();
    if (!provider) continue;
    Entry entry{stringAt(*provider, "clientId"), stringAt(*provider, "authorizeUrl"),
                stringAt(*provider, "tokenUrl")};
    if (entry.clientId.empty()) continue;
    const std::string id = stringAt(*provider, "id");
    if (id == "google") directory.google = std::move(entry);
    if (id == "github") directory.github = std::move(entry);
  }
  return directory;
}

ProviderDirectory ProviderDirectory::fetch(const std::string& serviceURL,
                                           std::chrono::milliseconds timeout) {
  std::string url = serviceURL;
  while (!url.empty() && url.back() == '/') url.pop_back();
  asio::io_context io;
  const net::HttpClient client("lumora", timeout);
  ProviderDirectory directory;
  auto asking = [&]() -> asio::awaitable<void> {
    net::FetchRequest request;
    request.url = url + "/auth/providers";
    const auto answer = co_await client.fetch(std::move(request));
    if (answer.status == 200) directory = parse(answer.body);
  };
  // Any failure leaves the directory empty: the built-in defaults then hold.
  asio::co_spawn(io, asking(), [](std::exception_ptr) {});
  io.run();
  return directory;
}

GoogleOAuth::Config ProviderDirectory::applyTo(GoogleOAuth::Config config) const {
  if (google) {
    config.clientID = google->clientId;
    replaceWhenNamed(config.authorizationEndpoint, google->authorizeUrl);
    replaceWhenNamed(config.tokenEndpoint, google->tokenUrl);
  }
  overrideFromEnvironment(config.clientID, "LUMORA_GOOGLE_CLIENT_ID");
  overrideFromEnvironment(config.authorizationEndpoint, "LUMORA_GOOGLE_AUTHORIZE_URL");
  overrideFromEnvironment(config.tokenEndpoint, "LUMORA_GOOGLE_TOKEN_URL");
  return config;
}

GitHubOAuth::Config ProviderDirectory::applyTo(GitHubOAuth::Config config) const {
  if (github) {
    config.clientID = github->clientId;
    replaceWhenNamed(config.authorizationEndpoint, github->authorizeUrl);
  }
  overrideFromEnvironment(config.clientID, "LUMORA_GITHUB_CLIENT_ID");
  overrideFromEnvironment(config.authorizationEndpoint, "LUMORA_GITHUB_AUTHORIZE_URL");
  return config;
}

}  // namespace lumora::sdk
