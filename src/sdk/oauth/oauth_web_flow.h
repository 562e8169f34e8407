#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>

#include "sdk/oauth/browser_opener.h"

namespace lumora::sdk {

namespace internal {
class IoThread;
}

// Runs a provider's authorization page in the user's browser and waits for the browser to
// come back (a loopback redirect): a listener on 127.0.0.1 at a port the system picks, the
// authorization URL built for that listener's redirect URI and opened in the browser, and a
// short page telling the browser that sign-in finished.
//
//   OAuthWebFlow flow;
//   auto callback = flow.authenticate([&](const std::string& redirectURI) {
//     return github.authorizeURL(state, challenge, redirectURI);
//   }, GitHubOAuth::callbackPath, state).get();
//   auto code = parseAuthorizationCode(callback.url, state);
//
// (signInWithGoogle and signInWithGitHub run the whole sequence.)
//
// Failures (through the future): OAuthFlowError cannotStart when no listener can be opened or
// the browser cannot be; OAuthFlowError cancelled when no callback comes within the callback
// time-out (5 minutes), when a newer authenticate() takes this one's place, or when the flow
// object goes; whatever the URL builder throws.
//
// Threads: every member may be called from any thread; futures complete on the flow's own
// thread (or on the thread that destroys the flow).
class OAuthWebFlow {
 public:
  struct Timeouts {
    // How long the browser has to come back.
    std::chrono::milliseconds callback = std::chrono::minutes(5);
    // How long one connection to the listener may take to send its request.
    std::chrono::milliseconds connection = std::chrono::seconds(10);
  };

  struct Callback {
    std::string url;          // the URL the browser came back to, with the provider's answer
    std::string redirectURI;  // the redirect URI the authorization URL was built with
  };

  // Builds the authorization URL for the listener's redirect URI.
  using AuthorizationURLBuilder = std::function<std::string(const std::string& redirectURI)>;

  // Opens URLs with xdg-open.
  OAuthWebFlow();
  OAuthWebFlow(std::shared_ptr<BrowserOpener> browser, Timeouts timeouts);
  ~OAuthWebFlow();
  OAuthWebFlow(const OAuthWebFlow&) = delete;
  OAuthWebFlow& operator=(const OAuthWebFlow&) = delete;

  // Starts a sign-in whose redirect URI is http://127.0.0.1:PORT followed by `callbackPath`,
  // cancelling the one still open, if any. Completes with the first GET of that path whose
  // "state" is `expectedState` (the state the authorization URL carries); one with another
  // state or none is turned away and the sign-in goes on waiting.
  std::future<Callback> authenticate(const AuthorizationURLBuilder& authorizationURL,
                                     const std::string& callbackPath,
                                     const std::string& expectedState);
  // Ends the sign-in still open, if any, as cancelled.
  void cancel();

 private:
  struct Session;
  struct Gate;

  std::shared_ptr<BrowserOpener> browser_;
  Timeouts timeouts_;
  std::unique_ptr<internal::IoThread> thread_;
  std::shared_ptr<Gate> gate_;  // how late browser answers reach the thread, while it runs
  std::mutex lock_;             // guards session_
  std::shared_ptr<Session> session_;
};

}  // namespace lumora::sdk
