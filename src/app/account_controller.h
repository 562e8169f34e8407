#pragma once

#include <boost/asio/awaitable.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/published.h"
#include "sdk/account/auth_client.h"
#include "sdk/account/device_registry_client.h"
#include "sdk/account/signed_in_session.h"

namespace lumora::app {

// Signs in to the account service and out of it, and makes the session of a sign-in.
class AccountAuthenticating {
 public:
  virtual ~AccountAuthenticating() = default;
  // Throws what the service call fails with (sdk::AuthClientError).
  virtual boost::asio::awaitable<sdk::AuthTokens> login(
      std::string provider, std::string token, std::optional<std::string> codeVerifier) = 0;
  // Ends the sign-in of `refreshToken` on the service. Throws what the call fails with.
  virtual boost::asio::awaitable<void> logout(std::string refreshToken) = 0;
  // The calls of the sign-in `tokens`, refreshed through the service that issued them; each
  // refreshed pair goes to `save` first (see sdk::SignedInSession).
  virtual std::shared_ptr<sdk::SignedInSession> openSession(
      sdk::AuthTokens tokens, sdk::SignedInSession::SaveTokens save) = 0;
};

// Puts this computer in the account's device list.
class DeviceRegistering {
 public:
  virtual ~DeviceRegistering() = default;
  // Registers with `session`'s access token (refreshed by it when refused). Throws what the
  // service call fails with (sdk::DeviceRegistryError; 409: already there), or the session's
  // sdk::SignedInSessionError.
  virtual boost::asio::awaitable<sdk::DeviceSummary> registerDevice(
      std::shared_ptr<sdk::SignedInSession> session, std::string name, std::string platform,
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
// The signed-in pair lives in one session (sdk::SignedInSession) from the sign-in or the
// restore to the sign-out: an expired access token is refreshed there, once however many
// registrations meet it, and the new pair kept in the token store.
//
// Threads: the application's main executor only. The network calls are awaited there; two
// operations may interleave (a sign-in and a registration), each setting isWorking at its start
// and clearing it at its end. The token store is also written from the executor of a call that
// refreshed, never at the same time as from here.
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
  // Signed in, registers this computer again (with the pairing code of the moment); signed
  // out, changes nothing.
  boost::asio::awaitable<void> registerThisMacIfSignedIn();
  // Forgets the tokens and what was shown at once, then ends the sign-in on the service; when
  // the service cannot be told, errorMessage says so. The registry entry stays.
  boost::asio::awaitable<void> signOut();

  // The email, else the display name, else the id.
  static std::string displayIdentity(const sdk::AuthUser& user);

 private:
  class TokenKeeper;

  // Makes `tokens` the signed-in pair, ending the session before it.
  void beginSession(const sdk::AuthTokens& tokens);
  void endSession();
  boost::asio::awaitable<void> registerThisMac(std::shared_ptr<sdk::SignedInSession> session);
  void update(const std::function<void(State&)>& change);

  Dependencies dependencies_;
  Published<State> state_;
  std::shared_ptr<sdk::SignedInSession> session_;  // while signed in
  std::shared_ptr<TokenKeeper> keeper_;            // session_'s way to the token store
};

}  // namespace lumora::app
