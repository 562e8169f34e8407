#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/thread_pool.hpp>

#include <functional>
#include <memory>
#include <string_view>

#include "app/account_controller.h"
#include "app/agent_controller.h"
#include "app/agent_status.h"
#include "app/app_settings_controller.h"
#include "sdk/oauth/github_oauth.h"
#include "sdk/oauth/google_oauth.h"
#include "sdk/oauth/oauth_sign_in.h"
#include "sdk/oauth/oauth_web_flow.h"
#include "sdk/oauth/provider_directory.h"

namespace lumora::app {

// Builds the desktop application's long-lived objects, keeps the status file in step with the
// agent, registers this computer whenever the agent starts serving while someone is signed in,
// runs the browser sign-ins, and carries out command URLs. The program makes one and drives it
// from its main executor (a toolkit's event loop); tests drive it from an io_context they run.
//
// Threads: every member on the main executor. The browser part of a sign-in waits on a thread of
// the coordinator's own; everything after it comes back to the main executor. Destroy it once
// the main executor no longer runs its tasks (the tasks it started there refer to it).
class AgentAppCoordinator {
 public:
  // What the coordinator is built from (linux_parts.h makes the real ones).
  struct Parts {
    std::shared_ptr<AgentServer> server;
    std::shared_ptr<platform::LoginItem> loginItem;
    std::shared_ptr<platform::SystemAccess> system;
    std::shared_ptr<AccountAuthenticating> authenticator;
    std::shared_ptr<DeviceRegistering> registrar;
    std::shared_ptr<TokenStoring> tokenStore;
    std::function<std::string()> deviceNameProvider;  // empty: the platform's device name
    std::shared_ptr<sdk::OAuthWebFlow> webFlow;
    sdk::GoogleOAuth google;
    sdk::GitHubOAuth github;
    // Asked at each sign-in (off the main executor) for the account service's own clients,
    // which then take the place of those above where it names them; empty: never asked.
    std::function<sdk::ProviderDirectory()> providerDirectory;
    // Writes the status file (AgentStatusStore::write when empty).
    std::function<void(const AgentStatus&)> statusWriter;
    // Ends the application; called by the quit command after the stopped record is written.
    std::function<void()> terminate;
  };

  // Starts nothing: restores a stored sign-in and writes the stopped record.
  AgentAppCoordinator(boost::asio::any_io_executor main, Parts parts);
  ~AgentAppCoordinator();
  AgentAppCoordinator(const AgentAppCoordinator&) = delete;
  AgentAppCoordinator& operator=(const AgentAppCoordinator&) = delete;

  AgentController& controller() { return *controller_; }
  AppSettingsController& settings() { return *settings_; }
  AccountController& account() { return *account_; }

  // start and stop schedule the controller's action; quit writes the stopped record and ends
  // the application; anything else is ignored.
  void handle(std::string_view url);
  // Each starts its sign-in in the background and returns at once. Failures before the account
  // service is asked end the sign-in silently; the service's answer shows in the account state.
  void signInWithGoogle();
  void signInWithGitHub();
  // From the controller's status at the time it runs.
  void writeStatus();

 private:
  // Runs `signIn` (blocking: the browser's round trip) off the main executor, then completes the
  // sign-in with its credential back on it.
  void signInWith(std::string provider,
                  std::function<std::optional<sdk::SignInCredential>()> signIn);

  boost::asio::any_io_executor main_;
  Parts parts_;
  std::unique_ptr<AgentController> controller_;
  std::unique_ptr<AppSettingsController> settings_;
  std::unique_ptr<AccountController> account_;
  boost::asio::thread_pool browserWaits_{2};
  Subscription statusSubscription_;
  // Tells tasks still queued on the main executor that the coordinator has gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace lumora::app
