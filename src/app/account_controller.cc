#include "app/account_controller.h"

#include <exception>
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

AccountController::AccountController(Dependencies dependencies)
    : dependencies_(std::move(dependencies)) {
  if (!dependencies_.deviceNameProvider) {
    dependencies_.deviceNameProvider = [] { return platform::linux_os::defaultDeviceName(); };
  }
  restore();
}

void AccountController::restore() {
  if (auto tokens = dependencies_.tokenStore->load()) {
    update([&](State& state) { state.email = displayIdentity(tokens->user); });
  }
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
    // Stored before anything is shown: a store that cannot keep them aborts the sign-in.
    dependencies_.tokenStore->save(tokens);
    update([&](State& state) { state.email = displayIdentity(tokens.user); });
    co_await registerThisMac(tokens.accessToken);
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
  auto tokens = dependencies_.tokenStore->load();
  if (!tokens) co_return;
  update([](State& state) {
    state.isWorking = true;
    state.errorMessage.reset();
  });
  auto failure = co_await failureOf(
      [&]() -> boost::asio::awaitable<void> { co_await registerThisMac(tokens->accessToken); });
  update([&](State& state) {
    if (failure) state.errorMessage = std::move(failure);
    state.isWorking = false;
  });
}

void AccountController::signOut() {
  dependencies_.tokenStore->clear();
  update([](State& state) {
    state.email.reset();
    state.registeredDeviceName.reset();
    state.errorMessage.reset();
  });
}

std::string AccountController::displayIdentity(const sdk::AuthUser& user) {
  if (user.email) return *user.email;
  if (user.displayName) return *user.displayName;
  return user.id;
}

boost::asio::awaitable<void> AccountController::registerThisMac(std::string accessToken) {
  auto name = dependencies_.deviceNameProvider();
  // The code of this moment: nothing while the agent does not serve.
  auto code = dependencies_.pairingCodeProvider ? dependencies_.pairingCodeProvider()
                                                : std::optional<std::string>();
  bool alreadyRegistered = false;
  try {
    auto summary = co_await dependencies_.registrar->registerDevice(
        std::move(accessToken), name, std::string(sdk::kDevicePlatform), std::move(code));
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
