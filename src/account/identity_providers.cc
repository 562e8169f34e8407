#include "account/identity_providers.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/url/encode.hpp>
#include <boost/url/rfc/unreserved_chars.hpp>

#include "account/jwks_cache.h"
#include "net/http_client.h"

namespace lumora::account {
namespace {

namespace json = boost::json;

ApiError unauthorized(std::string message) {
  return {401, "invalid_credential", std::move(message)};
}
ApiError unreachable(const std::string& provider) {
  return {502, "provider_unavailable", provider + " could not be reached"};
}

std::optional<std::string> textClaim(const json::object& object, std::string_view name) {
  const json::value* value = object.if_contains(name);
  if (value == nullptr || !value->is_string() || value->get_string().empty()) return std::nullopt;
  return std::string(value->get_string());
}

// Google sends true, Apple sometimes "true".
bool isTrue(const json::value* value) {
  return value != nullptr && ((value->is_bool() && value->get_bool()) ||
                              (value->is_string() && value->get_string() == "true"));
}

std::string formEncode(const std::vector<std::pair<std::string_view, std::string_view>>& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    if (!body.empty()) body += '&';
    body += name;
    body += '=';
    body += boost::urls::encode(value, boost::urls::unreserved_chars);
  }
  return body;
}

std::optional<json::value> jsonOf(const std::string& text) {
  boost::system::error_code ec;
  json::value value = json::parse(text, ec);
  if (ec) return std::nullopt;
  return value;
}

}  // namespace

IdentityProviders::IdentityProviders(ProviderSettings settings, Clock clock)
    : settings_(std::move(settings)),
      clock_(std::move(clock)),
      client_(std::make_shared<net::HttpClient>("lumora-account-service")),
      googleKeys_(std::make_unique<JwksCache>(client_, settings_.google.jwksUrl, clock_)),
      appleKeys_(std::make_unique<JwksCache>(client_, settings_.apple.jwksUrl, clock_)) {}

IdentityProviders::~IdentityProviders() = default;

json::object IdentityProviders::clientDirectory() const {
  json::array listed;
  auto add = [&listed](const char* id, const std::string& clientId, const std::string& authorize,
                       const std::string& token) {
    json::object entry{{"id", id}, {"clientId", clientId}};
    if (!authorize.empty()) entry["authorizeUrl"] = authorize;
    if (!token.empty()) entry["tokenUrl"] = token;
    listed.push_back(std::move(entry));
  };
  const auto& google = settings_.google;
  if (!google.clientIds.empty()) {
    add("google", google.clientIds.front(), google.authorizeUrl, google.tokenUrl);
  }
  if (!settings_.github.clientId.empty()) {
    add("github", settings_.github.clientId, settings_.github.authorizeUrl, {});
  }
  if (!settings_.apple.clientIds.empty()) add("apple", settings_.apple.clientIds.front(), {}, {});
  if (settings_.devProvider) listed.push_back(json::object{{"id", "dev"}});
  return {{"providers", std::move(listed)}};
}

boost::asio::awaitable<std::variant<Identity, ApiError>> IdentityProviders::identify(
    std::string provider, std::string credential, std::optional<std::string> codeVerifier) {
  auto notSetUp = [&] {
    return ApiError{400, "unsupported_provider",
                    "sign-in with \"" + provider + "\" is not set up on this service"};
  };
  if (provider == "google" || provider == "apple") {
    const auto& settings = provider == "google" ? settings_.google : settings_.apple;
    if (settings.clientIds.empty()) co_return notSetUp();
    JwksCache& keys = provider == "google" ? *googleKeys_ : *appleKeys_;
    co_return co_await fromIdToken(provider, settings, keys, credential);
  }
  if (provider == "github") {
    if (settings_.github.clientId.empty()) co_return notSetUp();
    // Awaited from a local: GCC 12 destroys a temporary handed to a coroutine in the awaited
    // expression twice.
    auto exchange = fromGitHubCode(std::move(credential), std::move(codeVerifier));
    co_return co_await std::move(exchange);
  }
  if (provider == "dev" && settings_.devProvider) {
    if (credential.size() > 254 || credential.find('@') == std::string::npos) {
      co_return ApiError{400, "bad_request", "the dev provider takes an e-mail address"};
    }
    co_return Identity{"dev", credential, credential, std::nullopt};
  }
  co_return ApiError{400, "unsupported_provider", "unknown provider \"" + provider + "\""};
}

boost::asio::awaitable<std::variant<Identity, ApiError>> IdentityProviders::fromIdToken(
    const std::string& provider, const ProviderSettings::IdTokenProvider& settings, JwksCache& keys,
    const std::string& token) {
  auto keyId = idTokenKeyId(token);
  if (keyId.index() == 1)
    co_return unauthorized(provider + " token refused: " + std::get<1>(keyId));
  auto lookup = keys.key(std::get<0>(keyId));
  auto key = co_await std::move(lookup);
  if (!key) co_return unauthorized(provider + " token refused: unknown signing key");
  const IdTokenRules rules{settings.issuers, settings.clientIds};
  auto checked = verifyIdToken(token, *key, rules, clock_());
  if (checked.index() == 1)
    co_return unauthorized(provider + " token refused: " + std::get<1>(checked));
  const json::object& claims = std::get<0>(checked);
  Identity identity{provider, *textClaim(claims, "sub"), std::nullopt, textClaim(claims, "name")};
  // An address the provider has not verified is not shown as the account's.
  if (isTrue(claims.if_contains("email_verified"))) identity.email = textClaim(claims, "email");
  co_return identity;
}

boost::asio::awaitable<std::variant<Identity, ApiError>> IdentityProviders::fromGitHubCode(
    std::string code, std::optional<std::string> codeVerifier) {
  const auto& github = settings_.github;
  net::FetchRequest exchange;
  exchange.method = "POST";
  exchange.url = github.tokenUrl;
  exchange.headers = {{"Accept", "application/json"},
                      {"Content-Type", "application/x-www-form-urlencoded"}};
  std::vector<std::pair<std::string_view, std::string_view>> form = {
      {"client_id", github.clientId}, {"client_secret", github.clientSecret}, {"code", code}};
  if (!github.redirectUri.empty()) form.emplace_back("redirect_uri", github.redirectUri);
  if (codeVerifier) form.emplace_back("code_verifier", *codeVerifier);
  exchange.body = formEncode(form);
  net::FetchResult exchanged;
  net::FetchResult user;
  std::string accessToken;
  try {
    auto posting = client_->fetch(std::move(exchange));
    exchanged = co_await std::move(posting);
    // GitHub answers a bad code with 200 and an "error" field.
    auto answer = jsonOf(exchanged.body);
    const auto* token =
        answer && answer->is_object() ? answer->as_object().if_contains("access_token") : nullptr;
    if (exchanged.status != 200 || token == nullptr || !token->is_string()) {
      co_return unauthorized("github refused the code");
    }
    accessToken = std::string(token->get_string());
    net::FetchRequest read;
    read.url = github.userUrl;
    read.headers = {{"Accept", "application/vnd.github+json"},
                    {"Authorization", "Bearer " + accessToken}};
    auto reading = client_->fetch(std::move(read));
    user = co_await std::move(reading);
  } catch (const std::exception&) {
    co_return unreachable("github");
  }
  auto profile = jsonOf(user.body);
  const json::value* id =
      profile && profile->is_object() ? profile->as_object().if_contains("id") : nullptr;
  if (user.status != 200 || id == nullptr || !(id->is_int64() || id->is_uint64())) {
    co_return unauthorized("github did not say who signed in");
  }
  const json::object& fields = profile->as_object();
  Identity identity{"github", json::serialize(*id), textClaim(fields, "email"),
                    textClaim(fields, "name")};
  if (!identity.displayName) identity.displayName = textClaim(fields, "login");
  if (!identity.email && !github.emailsUrl.empty()) {
    // A private address is only in the e-mail list (the client asks for user:email).
    try {
      net::FetchRequest emails;
      emails.url = github.emailsUrl;
      emails.headers = {{"Accept", "application/vnd.github+json"},
                        {"Authorization", "Bearer " + accessToken}};
      auto listing = client_->fetch(std::move(emails));
      auto listed = co_await std::move(listing);
      auto list = jsonOf(listed.body);
      if (listed.status == 200 && list && list->is_array()) {
        for (const auto& entry : list->as_array()) {
          if (!entry.is_object()) continue;
          const auto& email = entry.get_object();
          if (isTrue(email.if_contains("primary")) && isTrue(email.if_contains("verified"))) {
            identity.email = textClaim(email, "email");
          }
        }
      }
    } catch (const std::exception&) {
      // The account works without an address.
    }
  }
  co_return identity;
}

}  // namespace lumora::account
