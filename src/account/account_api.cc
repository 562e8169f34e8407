#include "account/account_api.h"

#include <boost/url/parse.hpp>

#include "account/account_store.h"
#include "account/api_json.h"
#include "account/dev_providers.h"
#include "account/identity_providers.h"
#include "account/request_bodies.h"
#include "account/web_app.h"
#include "core/agent_log.h"
#include "core/run_on.h"
#include "protocol/message_id.h"
#include "protocol/room_key.h"

namespace lumora::account {

namespace asio = boost::asio;

namespace {

// How long a client has to sign a registration nonce.
constexpr Millis kRegistrationNonceLifetime = 5 * 60 * 1000;

HttpResponse methodNotAllowed(const char* allowed) {
  HttpResponse response =
      errorResponse({405, "method_not_allowed", std::string("use ") + allowed + " here"});
  response.headers.emplace_back("Allow", allowed);
  return response;
}

// Whether `method` is one of the comma-separated `allowed`, exactly.
bool allows(std::string_view allowed, std::string_view method) {
  while (!allowed.empty()) {
    const auto comma = allowed.find(',');
    if (allowed.substr(0, comma) == method) return true;
    if (comma == std::string_view::npos) break;
    allowed.remove_prefix(comma + 1);
    while (allowed.starts_with(' ')) allowed.remove_prefix(1);
  }
  return false;
}

HttpResponse tooManyRequests(std::chrono::seconds wait) {
  HttpResponse response =
      errorResponse({429, "too_many_requests",
                     "too many sign-in attempts from this address; try again in " +
                         std::to_string(wait.count()) + " s"});
  response.headers.emplace_back("Retry-After", std::to_string(wait.count()));
  return response;
}

HttpResponse noContent() {
  HttpResponse response;
  response.status = 204;
  response.contentType.clear();
  return response;
}

HttpResponse unauthorized() {
  HttpResponse response =
      errorResponse({401, "unauthorized", "a valid bearer access token is required"});
  response.headers.emplace_back("WWW-Authenticate", "Bearer");
  return response;
}

HttpResponse noDevice() { return errorResponse({404, "not_found", "no such device"}); }

// The refusal of a body that did not parse, or nothing.
template <class T>
std::optional<HttpResponse> refusal(const Parsed<T>& parsed) {
  if (const auto* error = std::get_if<ApiError>(&parsed)) return errorResponse(*error);
  return std::nullopt;
}

}  // namespace

AccountApi::AccountApi(std::shared_ptr<AccountStore> store,
                       std::shared_ptr<IdentityProviders> identities,
                       std::shared_ptr<DevProviders> dev, Lifetimes lifetimes, Clock clock,
                       asio::any_io_executor worker, AddressRateLimiter::Rate loginRate,
                       std::shared_ptr<const WebApp> web, std::shared_ptr<ServiceMetrics> metrics)
    : store_(std::move(store)),
      identities_(std::move(identities)),
      dev_(std::move(dev)),
      web_(std::move(web)),
      lifetimes_(lifetimes),
      clock_(std::move(clock)),
      worker_(std::move(worker)),
      signer_(store_->signingSecret()),
      loginAttempts_(loginRate),
      metrics_(std::move(metrics)) {}

template <class Work>
auto AccountApi::onWorker(Work work) -> asio::awaitable<decltype(work())> {
  const auto started = std::chrono::steady_clock::now();
  // Timed on the way out too when the store throws: a failing database is a slow one as well.
  struct Timing {
    ServiceMetrics& metrics;
    std::chrono::steady_clock::time_point started;
    ~Timing() {
      metrics.databaseSeconds.observe(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
  } timing{*metrics_, started};
  auto job = core::runOn(worker_, std::move(work));
  co_return co_await std::move(job);
}

asio::awaitable<HttpResponse> AccountApi::handle(HttpRequest request) {
  try {
    auto routing = route(request);
    co_return co_await std::move(routing);
  } catch (const StoreError& e) {
    static const core::AgentLog log("account-store");
    log.error(e.what());
  }
  co_return errorResponse({500, "internal", "the service's database failed"});
}

std::optional<std::string> AccountApi::callerOf(const HttpRequest& request) const {
  return signer_.verifyAccessToken(bearerToken(request.authorization), clock_());
}

asio::awaitable<HttpResponse> AccountApi::route(const HttpRequest& request) {
  const std::string path = request.target.substr(0, request.target.find('?'));
  const std::string& method = request.method;
  if (path == "/health") {
    if (method != "GET") co_return methodNotAllowed("GET");
    co_return jsonResponse(200, {{"status", "ok"}});
  }
  if (path == "/healthz") {
    if (method != "GET") co_return methodNotAllowed("GET");
    // Says only whether this instance can serve: nothing about accounts or the database.
    bool answered = true;
    try {
      co_await onWorker([&] { store_->ping(); });
    } catch (const StoreError&) {
      answered = false;
    }
    if (!answered) co_return jsonResponse(503, {{"status", "database_unavailable"}});
    co_return jsonResponse(200, {{"status", "ok"}});
  }
  if (path == "/auth/providers") {
    if (method != "GET") co_return methodNotAllowed("GET");
    co_return jsonResponse(200, identities_->clientDirectory());
  }
  if (path == "/app" || path.starts_with("/app/")) {
    if (web_) co_return *web_->serve(request);
    co_return errorResponse(
        {404, "not_found",
         "this service does not serve the web client: its --web-root holds no index.html"});
  }
  // Every attempt counts, whatever its body: guessing is what the limit is against.
  if (path == "/auth/login" && method == "POST") {
    if (auto wait = loginAttempts_.take(request.clientAddress, clock_())) {
      metrics_->countLimit("login_rate");
      co_return tooManyRequests(*wait);
    }
  }
  if (dev_ && path.starts_with("/dev/")) {
    if (auto answer = dev_->handle(request)) co_return std::move(*answer);
  }
  if (path == "/auth/login" || path == "/auth/refresh") {
    if (method != "POST") co_return methodNotAllowed("POST");
    auto signingIn = path == "/auth/login" ? login(request) : refresh(request);
    co_return co_await std::move(signingIn);
  }
  if (path == "/auth/logout") {
    if (method != "POST") co_return methodNotAllowed("POST");
    auto signingOut = logout(request);
    co_return co_await std::move(signingOut);
  }

  // Everything below is the caller's own.
  const bool devices = path == "/devices" || path.starts_with("/devices/");
  const bool known = devices || path == "/auth/me" || path == "/relay/token";
  if (!known) {
    if (path.starts_with("/relay/") && path.size() > 7) {
      co_return errorResponse(
          {400, "bad_request", "a relay room is opened with a WebSocket upgrade"});
    }
    co_return errorResponse({404, "not_found", "no such route"});
  }
  const bool postOnly =
      path == "/relay/token" || path == "/devices/challenge" || path.ends_with("/connection");
  const char* allowed = path == "/auth/me" || path == "/devices/lookup" ? "GET"
                        : path == "/devices"                            ? "GET, POST"
                        : postOnly                                      ? "POST"
                                                                        : "PATCH, DELETE";
  if (!allows(allowed, method)) co_return methodNotAllowed(allowed);
  const auto caller = callerOf(request);
  if (!caller) co_return unauthorized();
  if (path == "/auth/me") {
    auto reading = me(*caller);
    co_return co_await std::move(reading);
  }
  if (path == "/relay/token") {
    auto issuing = relayToken(*caller, request);
    co_return co_await std::move(issuing);
  }
  if (path == "/devices/challenge") {
    co_return recordResponse(
        200, protocol::RegistrationChallenge{
                 signer_.issueRegistrationNonce(*caller, clock_() + kRegistrationNonceLifetime),
                 *caller, kRegistrationNonceLifetime / 1000});
  }
  if (path == "/devices" && method == "POST") {
    auto registering = registerDevice(*caller, request);
    co_return co_await std::move(registering);
  }
  if (path == "/devices") {
    auto listed = co_await onWorker([&] { return store_->listDevices(*caller); });
    std::vector<protocol::DeviceSummary> summaries;
    for (const auto& device : listed) summaries.push_back(deviceReply(device));
    co_return recordResponse(200, summaries);
  }
  if (path == "/devices/lookup") {
    auto looking = lookupDevice(*caller, request.target);
    co_return co_await std::move(looking);
  }
  // A coroutine keeps references to its arguments: they must outlive the await.
  const std::string rest = path.substr(9);
  auto deviceRequest = deviceRoute(*caller, request, rest);
  co_return co_await std::move(deviceRequest);
}

asio::awaitable<HttpResponse> AccountApi::login(const HttpRequest& request) {
  auto parsed = parseLoginRequest(request.body);
  if (auto refused = refusal(parsed)) co_return std::move(*refused);
  auto& body = std::get<LoginRequest>(parsed);
  auto identifying = identities_->identify(body.provider, body.token, body.codeVerifier);
  auto identified = co_await std::move(identifying);
  if (const auto* error = std::get_if<ApiError>(&identified)) {
    metrics_->countSignIn(body.provider, error->code);
    co_return errorResponse(*error);
  }
  metrics_->countSignIn(body.provider, "ok");
  const Identity& identity = std::get<Identity>(identified);
  User user = co_await onWorker([&] { return store_->signIn(identity, clock_()); });
  auto issuing = issueTokens(user.id, protocol::randomUUIDString());
  co_return co_await std::move(issuing);
}

asio::awaitable<HttpResponse> AccountApi::refresh(const HttpRequest& request) {
  auto parsed = parseRefreshRequest(request.body);
  if (auto refused = refusal(parsed)) co_return std::move(*refused);
  const std::string hash =
      TokenSigner::refreshTokenHash(std::get<RefreshRequest>(parsed).refreshToken);
  auto use = co_await onWorker([&] { return store_->useRefreshToken(hash, clock_()); });
  using Outcome = AccountStore::RefreshUse::Outcome;
  switch (use.outcome) {
    case Outcome::accepted: {
      auto issuing = issueTokens(use.userId, use.family);
      co_return co_await std::move(issuing);
    }
    case Outcome::reused:
      // Two holders of one refresh token: one of them stole it. Neither keeps the session.
      co_await onWorker([&] { store_->revokeRefreshFamily(use.family); });
      co_return errorResponse(
          {401, "refresh_token_reused", "this refresh token was already used; sign in again"});
    case Outcome::expired:
      co_return errorResponse({401, "refresh_token_expired", "the refresh token has expired"});
    case Outcome::unknown:
      break;
  }
  co_return errorResponse({401, "invalid_refresh_token", "unknown refresh token"});
}

// The holder of a refresh token may end its own sign-in, so no bearer is asked for. Whether the
// token was known is not told: 204 either way.
asio::awaitable<HttpResponse> AccountApi::logout(const HttpRequest& request) {
  auto parsed = parseRefreshRequest(request.body);
  if (auto refused = refusal(parsed)) co_return std::move(*refused);
  const std::string hash =
      TokenSigner::refreshTokenHash(std::get<RefreshRequest>(parsed).refreshToken);
  co_await onWorker([&] {
    if (auto family = store_->refreshTokenFamily(hash)) store_->revokeRefreshFamily(*family);
  });
  co_return noContent();
}

asio::awaitable<HttpResponse> AccountApi::issueTokens(std::string userId, std::string family) {
  const std::string refreshToken = TokenSigner::newRefreshToken();
  const Millis now = clock_();
  auto user = co_await onWorker([&] {
    store_->addRefreshToken(TokenSigner::refreshTokenHash(refreshToken), userId, family,
                            now + lifetimes_.refreshToken);
    return store_->findUser(userId);
  });
  if (!user) co_return unauthorized();
  co_return recordResponse(
      200, protocol::AuthTokens{signer_.issueAccessToken(userId, now + lifetimes_.accessToken),
                                refreshToken, userReply(*user)});
}

asio::awaitable<HttpResponse> AccountApi::me(const std::string& userId) {
  auto user = co_await onWorker([&] { return store_->findUser(userId); });
  if (!user) co_return unauthorized();
  co_return recordResponse(200, userReply(*user));
}

asio::awaitable<HttpResponse> AccountApi::registerDevice(const std::string& userId,
                                                         const HttpRequest& request) {
  auto parsed = parseDeviceRegistration(request.body);
  if (auto refused = refusal(parsed)) co_return std::move(*refused);
  const auto& body = std::get<DeviceRegistration>(parsed);
  // The fingerprint is taken only from a client that proves it knows the pairing secret: the
  // room key's signature over this account and a nonce of ours.
  std::optional<std::string> fingerprint;
  if (body.roomKey) {
    if (!signer_.verifyRegistrationNonce(*body.nonce, userId, clock_())) {
      co_return errorResponse({403, "forbidden",
                               "the nonce is not this account's or has expired; ask "
                               "POST /devices/challenge for a new one"});
    }
    if (!protocol::verifyRoomSignature(
            *body.roomKey, protocol::registrationMessage(userId, *body.nonce), *body.signature)) {
      co_return errorResponse(
          {403, "forbidden", "the signature does not prove the device's pairing secret"});
    }
    fingerprint = protocol::roomFingerprint(*body.roomKey);
  }
  auto registration = co_await onWorker([&] {
    return store_->registerDevice(userId, body.name, body.platform, fingerprint, clock_());
  });
  using Outcome = AccountStore::Registration::Outcome;
  switch (registration.outcome) {
    case Outcome::created:
      co_return recordResponse(201, deviceReply(registration.device));
    case Outcome::updated:
      co_return recordResponse(200, deviceReply(registration.device));
    case Outcome::unchanged:
      break;
  }
  co_return errorResponse(
      {409, "device_exists",
       "this account already has a " + body.platform + " device named \"" + body.name + "\""});
}

asio::awaitable<HttpResponse> AccountApi::lookupDevice(const std::string& userId,
                                                       const std::string& target) {
  std::string fingerprint;
  if (auto url = boost::urls::parse_origin_form(target)) {
    auto found = url->params().find("fingerprint");
    if (found != url->params().end()) fingerprint = (*found).value;
  }
  if (!isPairingFingerprint(fingerprint)) {
    co_return errorResponse(
        {400, "bad_request", "\"fingerprint\" must be 64 lower-case hexadecimal digits"});
  }
  auto device =
      co_await onWorker([&] { return store_->findDeviceByFingerprint(userId, fingerprint); });
  if (!device) co_return noDevice();
  co_return recordResponse(200, deviceReply(*device));
}

asio::awaitable<HttpResponse> AccountApi::deviceRoute(const std::string& userId,
                                                      const HttpRequest& request,
                                                      const std::string& rest) {
  const auto slash = rest.find('/');
  const std::string id = rest.substr(0, slash);
  if (id.empty() || (slash != std::string::npos && rest.substr(slash) != "/connection")) {
    co_return errorResponse({404, "not_found", "no such route"});
  }
  if (slash != std::string::npos) {
    auto parsed = parseConnectionReport(request.body);
    if (auto refused = refusal(parsed)) co_return std::move(*refused);
    auto device = co_await onWorker([&] {
      return store_->reportConnection(userId, id, std::get<ConnectionReport>(parsed), clock_());
    });
    if (!device) co_return noDevice();
    co_return recordResponse(200, deviceReply(*device));
  }
  if (request.method == "DELETE") {
    const bool deleted = co_await onWorker([&] { return store_->deleteDevice(userId, id); });
    if (!deleted) co_return noDevice();
    co_return noContent();
  }
  auto parsed = parseDeviceRename(request.body);
  if (auto refused = refusal(parsed)) co_return std::move(*refused);
  auto renamed = co_await onWorker(
      [&] { return store_->renameDevice(userId, id, std::get<DeviceRename>(parsed).name); });
  using Outcome = AccountStore::Rename::Outcome;
  if (renamed.outcome == Outcome::notFound) co_return noDevice();
  if (renamed.outcome == Outcome::nameTaken) {
    co_return errorResponse({409, "name_taken", "another device of this platform has that name"});
  }
  co_return recordResponse(200, deviceReply(renamed.device));
}

asio::awaitable<HttpResponse> AccountApi::relayToken(const std::string& userId,
                                                     const HttpRequest& request) {
  auto parsed = parseRelayTokenRequest(request.body);
  if (auto refused = refusal(parsed)) co_return std::move(*refused);
  const std::string& room = std::get<RelayTokenRequest>(parsed).fingerprint;
  auto device = co_await onWorker([&] { return store_->findDeviceByFingerprint(userId, room); });
  if (!device) {
    co_return errorResponse(
        {403, "forbidden", "none of this account's devices has that pairing fingerprint"});
  }
  co_return recordResponse(
      200, protocol::RelayTokenResponse{
               signer_.issueRelayToken(userId, room, clock_() + lifetimes_.relayToken), room,
               lifetimes_.relayToken / 1000});
}

}  // namespace lumora::account
