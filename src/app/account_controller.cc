#include "app/account_controller.h"

#include <exception>
#include <mutex>
#include <utility>

#include "platform/linux/device_name.h"
#include "sdk/account/account_service_error.h"

namespace lumora::app {

namespace {

// The failure's text for errorMessage: every account operation ends in one, never in a throw.
template <class Operation>
boost::asio::awaitable<std::optional<std::string>> failureOf(Operation operation) {
  try {
    co_await operation();
  } catch (const std::exception& error) {
    co_return error.what();
  } catch (...) {
    co_return "unknown error";
  }
  co_return std::nullopt;
}

}  // namespace

// Where a session's refreshed pairs go: the token store, until the session ends. Ending waits
// for a save under way and is final, so a refresh that completes after a sign-out (or after a
// newer sign-in) cannot bring back the pair it replaced.
class AccountController::TokenKeeper {
 public:
  explicit TokenKeeper(std::shared_ptr<TokenStoring> store) : store_(std::move(store)) {}

  void save(const sdk::AuthTokens& tokens) {
    std::lock_guard guard(lock_);
    if (!ended_) store_->save(tokens);
  }
  void end() {
    std::lock_guard guard(lock_);
    ended_ = true;
  }

 private:
  std::shared_ptr<TokenStoring> store_;
  std::mutex lock_;  // guards ended_ and the saves
  bool ended_ = false;
};

AccountController::AccountController(Dependencies dependencies)
    : dependencies_(std::move(dependencies)) {
  if (!dependencies_.deviceNameProvider) {
    dependencies_.deviceNameProvider = [] { return platform::linux_os::defaultDeviceName(); };
  }
  restore();
}

void AccountController::restore() {
  if (auto tokens = dependencies_.tokenStore->load()) {
    beginSession(*tokens);
    update([&](State& state) { state.email = displayIdentity(tokens->user); });
  }
}

void AccountController::beginSession(const sdk::AuthTokens& tokens) {
  endSession();
  keeper_ = std::make_shared<TokenKeeper>(dependencies_.tokenStore);
  session_ = dependencies_.authenticator->openSession(
      tokens, [keeper = keeper_](const sdk::AuthTokens& renewed) { keeper->save(renewed); });
}

void AccountController::endSession() {
  if (keeper_) keeper_->end();
  keeper_.reset();
  session_.reset();
}

boost::asio::awaitable<void> AccountController::completeSignIn(
    std::string provider, std::string token, std::optional<std::string> codeVerifier) {
  update([](State& state) {
    state.isWorking = true;
    state.errorMessage.reset();
  });
  auto failure = co_await failureOf([&]() -> boost::asio::awaitable<void> {
    auto tokens = co_await dependencies_.authenticator->login(std::move(provider), std::move(token),
                                                              std::move(codeVerifier));
    // A refresh of an earlier sign-in must not overwrite this one's pair.
    endSession();
    // Stored before anything is shown: a store that cannot keep them aborts the sign-in.
    dependencies_.tokenStore->save(tokens);
    beginSession(tokens);
    update([&](State& state) { state.email = displayIdentity(tokens.user); });
    co_await registerThisMac(session_);
  });
  update([&](State& state) {
    if (failure) state.errorMessage = std::move(failure);
    state.isWorking = false;
  });
}

boost::asio::awaitable<void> AccountController::completeAppleSignIn(std::string idToken) {
  co_await completeSignIn("apple", std::move(idToken));
}

boost::asio::awaitable<void> AccountController::registerThisMacIfSignedIn() {
  auto session = session_;
  if (!session) co_return;
  update([](State& state) {
    state.isWorking = true;
    state.errorMessage.reset();
  });
  auto failure = co_await failureOf(
      [&]() -> boost::asio::awaitable<void> { co_await registerThisMac(session); });
  update([&](State& state) {
    if (failure) state.errorMessage = std::move(failure);
    state.isWorking = false;
  });
}

boost::asio::awaitable<void> AccountController::signOut() {
  const auto session = session_;
  endSession();
  dependencies_.tokenStore->clear();
  update([](State& state) {
    state.email.reset();
    state.registeredDeviceName.reset();
    state.errorMessage.reset();
  });
  if (!session) co_return;
  // The pair of this moment: refreshes may have replaced the one signed in with.
  std::string refreshToken = session->tokens().refreshToken;
  auto failure = co_await failureOf([&]() -> boost::asio::awaitable<void> {
    auto ending = dependencies_.authenticator->logout(std::move(refreshToken));
    co_await std::move(ending);
  });
  if (failure) {
    update([&](State& state) {
      state.errorMessage = "signed out here, but the account service was not told: " + *failure;
    });
  }
}

std::string AccountController::displayIdentity(const sdk::AuthUser& user) {
  if (user.email) return *user.email;
  if (user.displayName) return *user.displayName;
  return user.id;
}

boost::asio::awaitable<void> AccountController::registerThisMac(
    std::shared_ptr<sdk::SignedInSession> session) {
  auto name = dependencies_.deviceNameProvider();
  // The code of this moment: nothing while the agent does not serve.
  auto code = dependencies_.pairingCodeProvider ? dependencies_.pairingCodeProvider()
                                                : std::optional<std::string>();
  bool alreadyRegistered = false;
  try {
    auto summary = co_await dependencies_.registrar->registerDevice(
        std::move(session), name, std::string(sdk::kDevicePlatform), std::move(code));
    // The registry may have changed the name.
    update([&](State& state) { state.registeredDeviceName = summary.name; });
  } catch (const sdk::AccountServiceError& error) {
    if (error.kind() != sdk::AccountServiceError::Kind::http || error.status() != 409) throw;
    alreadyRegistered = true;
  }
  if (alreadyRegistered) {
    update([&](State& state) { state.registeredDeviceName = name; });
  }
}

void AccountController::update(const std::function<void(State&)>& change) {
  auto next = state_.get();
  change(next);
  state_.set(std::move(next));
}

}  // namespace lumora::app
