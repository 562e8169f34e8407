#include "account/dev_providers.h"

#include <boost/url/encode.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/rfc/unreserved_chars.hpp>

#include "account/token_signer.h"
#include "protocol/auth_crypto.h"
#include "protocol/pkce.h"

namespace lumora::account {
namespace {

namespace json = boost::json;
constexpr Millis kCodeLifetime = 10 * 60 * 1000;

using Params = std::map<std::string, std::string>;

// Query or form fields ("+" is a space in forms); the first of a repeated name wins.
Params paramsOf(std::string_view query) {
  Params params;
  std::string target = "/?";
  target += query;
  auto url = boost::urls::parse_origin_form(target);
  if (!url) return params;
  for (auto param : url->params(boost::urls::encoding_opts(true, false, false))) {
    params.emplace(param.key, param.value);
  }
  return params;
}

std::string queryOf(const std::string& target) {
  auto mark = target.find('?');
  return mark == std::string::npos ? std::string() : target.substr(mark + 1);
}

std::string value(const Params& params, const std::string& name) {
  auto found = params.find(name);
  return found == params.end() ? std::string() : found->second;
}

HttpResponse oauthError(std::string code, std::string description) {
  return jsonResponse(400,
                      {{"error", std::move(code)}, {"error_description", std::move(description)}});
}

HttpResponse redirect(const std::string& redirectUri, const std::string& code,
                      const std::string& state) {
  HttpResponse response;
  response.status = 302;
  response.contentType = "text/plain";
  std::string location = redirectUri;
  location += redirectUri.find('?') == std::string::npos ? '?' : '&';
  location += "code=" + boost::urls::encode(code, boost::urls::unreserved_chars);
  location += "&state=" + boost::urls::encode(state, boost::urls::unreserved_chars);
  response.headers.emplace_back("Location", location);
  response.body = "signed in; continue at " + location + "\n";
  return response;
}

// The stand-ins' codes, tokens and key name.
std::string randomToken() { return protocol::AuthCrypto::randomToken(24); }

// Both stand-ins take PKCE the way their providers do: S256 only.
std::optional<HttpResponse> refusedChallenge(const Params& params) {
  if (value(params, "code_challenge_method") != "S256" || value(params, "code_challenge").empty()) {
    return oauthError("invalid_request", "PKCE with code_challenge_method=S256 is required");
  }
  return std::nullopt;
}

// GitHub's numeric user id: stable for a login across restarts.
std::int64_t githubUserId(std::string_view login) {
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : login) hash = (hash ^ c) * 16777619u;
  return 1000 + hash % 100'000'000;
}

}  // namespace

DevProviders::DevProviders(Settings settings, Clock clock)
    : settings_(std::move(settings)), clock_(std::move(clock)), signer_("dev-" + randomToken()) {}

ProviderSettings DevProviders::providerSettings(ProviderSettings base) const {
  base.google.clientIds.push_back(settings_.googleClientId);
  base.google.jwksUrl = settings_.baseUrl + "/dev/google/jwks";
  base.google.issuers = {googleIssuer()};
  base.google.authorizeUrl = settings_.baseUrl + "/dev/google/authorize";
  base.google.tokenUrl = settings_.baseUrl + "/dev/google/token";
  base.github.authorizeUrl = settings_.baseUrl + "/dev/github/authorize";
  base.github.clientId = settings_.githubClientId;
  base.github.clientSecret = settings_.githubClientSecret;
  base.github.tokenUrl = settings_.baseUrl + "/dev/github/login/oauth/access_token";
  base.github.userUrl = settings_.baseUrl + "/dev/github/user";
  base.github.emailsUrl = settings_.baseUrl + "/dev/github/user/emails";
  base.devProvider = true;
  return base;
}

std::optional<HttpResponse> DevProviders::handle(const HttpRequest& request) {
  std::string path = request.target.substr(0, request.target.find('?'));
  const bool get = request.method == "GET";
  const bool post = request.method == "POST";
  if (path == "/dev/google/authorize" && get) return googleAuthorize(request);
  if (path == "/dev/google/token" && post) return googleToken(request);
  if (path == "/dev/google/jwks" && get) {
    return jsonResponse(200, {{"keys", json::array{signer_.publicJwk()}}});
  }
  if (path == "/dev/github/authorize" && get) return githubAuthorize(request);
  if (path == "/dev/github/login/oauth/access_token" && post) return githubToken(request);
  if (path == "/dev/github/user" && get) return githubUser(request, false);
  if (path == "/dev/github/user/emails" && get) return githubUser(request, true);
  if (path.starts_with("/dev/")) {
    return errorResponse({404, "not_found", "no such stand-in endpoint"});
  }
  return std::nullopt;
}

std::optional<DevProviders::Grant> DevProviders::takeGrant(std::map<std::string, Grant>& grants,
                                                           const std::string& code) {
  std::lock_guard guard(lock_);
  auto found = grants.find(code);
  if (found == grants.end()) return std::nullopt;
  Grant grant = std::move(found->second);
  grants.erase(found);
  if (grant.expiresAt <= clock_()) return std::nullopt;
  return grant;
}

HttpResponse DevProviders::approve(std::map<std::string, Grant>& codes, const char* prefix,
                                   const std::map<std::string, std::string>& params,
                                   std::string codeChallenge, std::string login) {
  const std::string redirectUri = value(params, "redirect_uri");
  if (redirectUri.empty()) return oauthError("invalid_request", "no redirect_uri");
  const std::string code = prefix + randomToken();
  {
    std::lock_guard guard(lock_);
    codes[code] = Grant{value(params, "client_id"), redirectUri, std::move(codeChallenge),
                        std::move(login), clock_() + kCodeLifetime};
  }
  return redirect(redirectUri, code, value(params, "state"));
}

HttpResponse DevProviders::googleAuthorize(const HttpRequest& request) {
  const Params params = paramsOf(queryOf(request.target));
  if (value(params, "client_id") != settings_.googleClientId) {
    return oauthError("invalid_client", "unknown client_id");
  }
  if (value(params, "response_type") != "code") {
    return oauthError("unsupported_response_type", "only response_type=code");
  }
  if (auto refused = refusedChallenge(params)) return std::move(*refused);
  std::string login = value(params, "login_hint");
  return approve(googleCodes_, "g.", params, value(params, "code_challenge"),
                 login.empty() ? "dev@example.com" : login);
}

HttpResponse DevProviders::googleToken(const HttpRequest& request) {
  const Params form = paramsOf(request.body);
  if (value(form, "grant_type") != "authorization_code") {
    return oauthError("unsupported_grant_type", "only authorization_code");
  }
  auto grant = takeGrant(googleCodes_, value(form, "code"));
  if (!grant) return oauthError("invalid_grant", "unknown, used or expired code");
  if (value(form, "client_id") != grant->clientId ||
      value(form, "redirect_uri") != grant->redirectUri) {
    return oauthError("invalid_grant", "client_id or redirect_uri differ from the authorization");
  }
  if (protocol::pkce::s256Challenge(value(form, "code_verifier")) != grant->codeChallenge) {
    return oauthError("invalid_grant", "code_verifier does not match the code_challenge");
  }
  const std::int64_t now = clock_() / 1000;
  const std::string name = grant->login.substr(0, grant->login.find('@'));
  const std::string idToken = signer_.sign({{"iss", googleIssuer()},
                                            {"aud", grant->clientId},
                                            {"azp", grant->clientId},
                                            {"sub", "dev-" + grant->login},
                                            {"email", grant->login},
                                            {"email_verified", true},
                                            {"name", name},
                                            {"iat", now},
                                            {"exp", now + 3600}});
  return jsonResponse(200, {{"access_token", "dev-google-" + randomToken()},
                            {"expires_in", 3599},
                            {"token_type", "Bearer"},
                            {"scope", "openid email profile"},
                            {"id_token", idToken}});
}

HttpResponse DevProviders::githubAuthorize(const HttpRequest& request) {
  const Params params = paramsOf(queryOf(request.target));
  if (value(params, "client_id") != settings_.githubClientId) {
    return oauthError("invalid_client", "unknown client_id");
  }
  if (auto refused = refusedChallenge(params)) return std::move(*refused);
  std::string login = value(params, "login");
  return approve(githubCodes_, "h.", params, value(params, "code_challenge"),
                 login.empty() ? "dev" : login);
}

HttpResponse DevProviders::githubToken(const HttpRequest& request) {
  const Params form = paramsOf(request.body);
  // GitHub reports a refused exchange with 200 and an "error" field.
  auto refuse = [](const char* code, const char* description) {
    return jsonResponse(200, {{"error", code}, {"error_description", description}});
  };
  if (value(form, "client_id") != settings_.githubClientId ||
      value(form, "client_secret") != settings_.githubClientSecret) {
    return refuse("incorrect_client_credentials", "The client_id and/or client_secret are wrong.");
  }
  auto grant = takeGrant(githubCodes_, value(form, "code"));
  if (!grant) return refuse("bad_verification_code", "The code passed is incorrect or expired.");
  if (protocol::pkce::s256Challenge(value(form, "code_verifier")) != grant->codeChallenge) {
    return refuse("bad_verification_code", "The code_verifier does not match the challenge.");
  }
  const std::string token = "gho_" + randomToken();
  {
    std::lock_guard guard(lock_);
    githubTokens_[token] = grant->login;
  }
  return jsonResponse(
      200, {{"access_token", token}, {"token_type", "bearer"}, {"scope", "read:user,user:email"}});
}

HttpResponse DevProviders::githubUser(const HttpRequest& request, bool emails) {
  std::string token(bearerToken(request.authorization));
  if (token.empty() && request.authorization.starts_with("token ")) {
    token = request.authorization.substr(6);
  }
  std::string login;
  {
    std::lock_guard guard(lock_);
    auto found = githubTokens_.find(token);
    if (found != githubTokens_.end()) login = found->second;
  }
  if (login.empty()) return jsonResponse(401, {{"message", "Bad credentials"}});
  const std::string email = login + "@users.example";
  if (emails) {
    return jsonResponse(
        200, json::array{json::object{{"email", email}, {"primary", true}, {"verified", true}}});
  }
  // Like most GitHub users, the stand-in keeps its address private: it is only in the list.
  return jsonResponse(
      200, {{"id", githubUserId(login)}, {"login", login}, {"name", login}, {"email", nullptr}});
}

}  // namespace lumora::account
