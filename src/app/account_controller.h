#pragma once

#include <boost/asio/awaitable.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/published.h"
#include "sdk/account/auth_client.h"
#include "sdk/account/device_registry_client.h"

namespace lumora::app {

// Signs in to the account service with an identity provider's credential.
class AccountAuthenticating {
 public:
  virtual ~AccountAuthenticating() = default;
  // Throws what the service call fails with (sdk::AuthClientError).
  virtual boost::asio::awaitable<sdk::AuthTokens> login(
      std::string provider, std::string token, std::optional<std::string> codeVerifier) = 0;
};

// Puts this computer in the account's device list.
class DeviceRegistering {
 public:
  virtual ~DeviceRegistering() = default;
  // Throws what the service call fails with (sdk::DeviceRegistryError; 409: already there).
  virtual boost::asio::awaitable<sdk::DeviceSummary> registerDevice(
      std::string accessToken, std::string name, std::string platform,
      std::optional<std::string> pairingCode) = 0;
};

// Keeps the signed-in token pair between runs.
class TokenStoring {
 public:
  virtual ~TokenStoring() = default;
  // Throws std::runtime_error when the tokens cannot be kept.
  virtual void save(const sdk::AuthTokens& tokens) = 0;
  // Nothing when none are kept, or when they cannot be read: treated as signed out.
  virtual std::optional<sdk::AuthTokens> load() = 0;
  virtual void clear() = 0;
};

// Who is signed in, whether this computer is in the account's device list, and the last error.
//
// Threads: the application's main executor only. The network calls are awaited there; two
// operations may interleave (a sign-in and a registration), each setting isWorking at its start
// and clearing it at its end.
class AccountController {
 public:
  struct State {
    std::optional<std::string> email;  // the display identity; nothing when signed out
    std::optional<std::string> registeredDeviceName;
    bool isWorking = false;
    std::optional<std::string> errorMessage;
    bool isSignedIn() const { return email.has_value(); }
    bool operator==(const State&) const = default;
  };

  struct Dependencies {
    std::shared_ptr<AccountAuthenticating> authenticator;
    std::shared_ptr<DeviceRegistering> registrar;
    std::shared_ptr<TokenStoring> tokenStore;
    // The serving agent's pairing code; nothing while it does not serve.
    std::function<std::optional<std::string>()> pairingCodeProvider;
    // Defaults to platform::linux_os::defaultDeviceName.
    std::function<std::string()> deviceNameProvider;
  };

  // Restores a stored sign-in (no network call).
  explicit AccountController(Dependencies dependencies);

  Published<State>& state() { return state_; }

  void restore();
  // Logs in, stores the tokens, shows the user, registers this computer. A failure of any
  // step ends as errorMessage (what()); a failed registration leaves the user signed in.
  boost::asio::awaitable<void> completeSignIn(std::string provider, std::string token,
                                              std::optional<std::string> codeVerifier = {});
  boost::asio::awaitable<void> completeAppleSignIn(std::string idToken);
  // With stored tokens, registers this computer again (with the pairing code of the moment);
  // signed out, changes nothing.
  boost::asio::awaitable<void> registerThisMacIfSignedIn();
  // Forgets the tokens and what was shown; the registry entry stays.
  void signOut();

  // The email, else the display name, else the id.
  static std::string displayIdentity(const sdk::AuthUser& user);

 private:
  boost::asio::awaitable<void> registerThisMac(std::string accessToken);
  void update(const std::function<void(State&)>& change);

  Dependencies dependencies_;
  Published<State> state_;
};

}  // namespace lumora::app
