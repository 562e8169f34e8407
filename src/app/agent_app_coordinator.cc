#include "app/agent_app_coordinator.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>

#include "app/control_command.h"

namespace lumora::app {

namespace asio = boost::asio;

AgentAppCoordinator::AgentAppCoordinator(asio::any_io_executor main, Parts parts)
    : main_(std::move(main)), parts_(std::move(parts)) {
  if (!parts_.statusWriter) parts_.statusWriter = AgentStatusStore::write;
  controller_ = std::make_unique<AgentController>(parts_.server);
  settings_ = std::make_unique<AppSettingsController>(parts_.loginItem, parts_.system);
  AccountController::Dependencies account;
  account.authenticator = parts_.authenticator;
  account.registrar = parts_.registrar;
  account.tokenStore = parts_.tokenStore;
  account.pairingCodeProvider = [this]() -> std::optional<std::string> {
    if (auto info = controller_->serving()) return info->pairingCode;
    return std::nullopt;
  };
  account.deviceNameProvider = parts_.deviceNameProvider;
  account_ = std::make_unique<AccountController>(std::move(account));

  // Every status, the current one first: the file follows it, and a serving agent is put in
  // the account's device list (again, with its pairing code of now).
  statusSubscription_ = controller_->status().subscribe([this](const AgentController::Status& s) {
    const bool serving = s.which == AgentController::Status::Case::serving;
    asio::co_spawn(
        main_,
        [this, alive = std::weak_ptr<bool>(alive_), serving]() -> asio::awaitable<void> {
          if (alive.expired()) co_return;
          writeStatus();
          if (serving) co_await account_->registerThisMacIfSignedIn();
        },
        asio::detached);
  });
  writeStatus();
}

AgentAppCoordinator::~AgentAppCoordinator() {
  alive_.reset();
  statusSubscription_.reset();
  // A sign-in waiting for the browser would hold the thread for minutes.
  if (parts_.webFlow) parts_.webFlow->cancel();
  browserWaits_.join();
}

void AgentAppCoordinator::writeStatus() {
  const auto info = controller_->serving();
  parts_.statusWriter(info ? AgentStatus::serving(*info) : AgentStatus::stopped());
}

void AgentAppCoordinator::handle(std::string_view url) {
  auto run = [this](asio::awaitable<void> (AgentController::*action)()) {
    asio::co_spawn(main_, (controller_.get()->*action)(), asio::detached);
  };
  switch (controlCommand(url)) {
    case ControlCommand::start:
      run(&AgentController::start);
      break;
    case ControlCommand::stop:
      run(&AgentController::stop);
      break;
    case ControlCommand::quit:
      parts_.statusWriter(AgentStatus::stopped());
      if (parts_.terminate) parts_.terminate();
      break;
    case ControlCommand::unknown:
      break;
  }
}

void AgentAppCoordinator::signInWithGoogle() {
  signInWith("google", [flow = parts_.webFlow, google = parts_.google,
                        directory = parts_.providerDirectory] {
    if (!directory) return sdk::signInWithGoogle(*flow, google);
    return sdk::signInWithGoogle(*flow, sdk::GoogleOAuth(directory().applyTo(google.config())));
  });
}

void AgentAppCoordinator::signInWithGitHub() {
  signInWith("github", [flow = parts_.webFlow, github = parts_.github,
                        directory = parts_.providerDirectory] {
    if (!directory) return sdk::signInWithGitHub(*flow, github);
    return sdk::signInWithGitHub(*flow, sdk::GitHubOAuth(directory().applyTo(github.config())));
  });
}

void AgentAppCoordinator::signInWith(std::string provider,
                                     std::function<std::optional<sdk::SignInCredential>()> signIn) {
  asio::post(browserWaits_, [this, alive = std::weak_ptr<bool>(alive_),
                             provider = std::move(provider), signIn = std::move(signIn)] {
    std::optional<sdk::SignInCredential> credential;
    try {
      credential = signIn();
    } catch (const std::exception&) {
      // A closed browser, a cancelled or replaced sign-in, a failed code exchange: the user
      // simply is not signed in, and nothing needs saying.
    }
    if (!credential) return;
    // A coroutine of the main executor's own: one spawned here would come back here after
    // each wait.
    asio::co_spawn(
        main_,
        [this, alive, provider, credential = std::move(*credential)]() -> asio::awaitable<void> {
          if (alive.expired()) co_return;
          co_await account_->completeSignIn(provider, credential.token, credential.codeVerifier);
        },
        asio::detached);
  });
}

}  // namespace lumora::app
