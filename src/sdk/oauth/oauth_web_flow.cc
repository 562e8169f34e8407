#include "sdk/oauth/oauth_web_flow.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <utility>

#include "sdk/internal/io_thread.h"
#include "sdk/internal/one_shot.h"
#include "sdk/oauth/oauth_flow_error.h"
#include "sdk/oauth/oauth_urls.h"
#include "sdk/oauth/redirect_server.h"
#include "sdk/oauth/xdg_open_browser.h"

namespace lumora::sdk {

namespace asio = boost::asio;

// One sign-in: its listener, its deadline and its outcome. Lives on the flow's thread, except
// that the outcome may be settled from the thread that destroys the flow.
struct OAuthWebFlow::Session {
  Session(asio::io_context& io, std::shared_ptr<internal::RedirectServer> redirectServer,
          std::string redirect)
      : server(std::move(redirectServer)), deadline(io), redirectURI(std::move(redirect)) {}

  // Settles the outcome once; the later calls find it settled.
  void settle(std::exception_ptr error, Callback callback = {}) {
    if (!done.fire()) return;
    if (error) {
      promise.set_exception(error);
    } else {
      promise.set_value(std::move(callback));
    }
  }

  // On the flow's thread: settles and lets go of the listener and the deadline.
  void finish(std::exception_ptr error, Callback callback = {}) {
    settle(std::move(error), std::move(callback));
    server->close();
    deadline.cancel();
  }

  std::shared_ptr<internal::RedirectServer> server;
  asio::steady_timer deadline;
  std::string redirectURI;
  internal::SDKOneShot done;
  std::promise<Callback> promise;
};

// Posts to the flow's thread for as long as the flow exists; after that, posts nothing.
struct OAuthWebFlow::Gate {
  template <class Handler>
  void post(Handler handler) {
    std::lock_guard guard(lock);
    if (io != nullptr) asio::post(*io, std::move(handler));
  }

  std::mutex lock;  // guards io
  asio::io_context* io = nullptr;
};

OAuthWebFlow::OAuthWebFlow() : OAuthWebFlow(std::make_shared<XdgOpenBrowser>(), Timeouts{}) {}

OAuthWebFlow::OAuthWebFlow(std::shared_ptr<BrowserOpener> browser, Timeouts timeouts)
    : browser_(std::move(browser)),
      timeouts_(timeouts),
      thread_(std::make_unique<internal::IoThread>()),
      gate_(std::make_shared<Gate>()) {
  gate_->io = &thread_->context();
}

OAuthWebFlow::~OAuthWebFlow() {
  {
    std::lock_guard guard(gate_->lock);
    gate_->io = nullptr;
  }
  std::shared_ptr<Session> session;
  {
    std::lock_guard guard(lock_);
    session = std::move(session_);
  }
  if (session) session->settle(std::make_exception_ptr(OAuthFlowError::cancelled()));
  // The listener and timer go while their loop still exists but no longer runs.
  thread_->stop();
  session.reset();
}

void OAuthWebFlow::cancel() {
  std::shared_ptr<Session> session;
  {
    std::lock_guard guard(lock_);
    session = std::move(session_);
  }
  if (!session) return;
  gate_->post([session] { session->finish(std::make_exception_ptr(OAuthFlowError::cancelled())); });
}

std::future<OAuthWebFlow::Callback> OAuthWebFlow::authenticate(
    const AuthorizationURLBuilder& authorizationURL, const std::string& callbackPath,
    const std::string& expectedState) {
  asio::io_context& io = thread_->context();
  std::shared_ptr<internal::RedirectServer> server;
  try {
    server = std::make_shared<internal::RedirectServer>(io, callbackPath, expectedState,
                                                        timeouts_.connection);
  } catch (const boost::system::system_error&) {
    std::promise<Callback> failed;
    failed.set_exception(std::make_exception_ptr(OAuthFlowError::cannotStart()));
    return failed.get_future();
  }
  const std::string redirectURI = loopbackRedirectURI(server->port(), callbackPath);
  // May throw: the caller's exception, and the listener closes as `server` goes.
  const std::string url = authorizationURL(redirectURI);

  auto session = std::make_shared<Session>(io, server, redirectURI);
  auto future = session->promise.get_future();
  std::shared_ptr<Session> previous;
  {
    std::lock_guard guard(lock_);
    previous = std::exchange(session_, session);
  }
  gate_->post([session, previous, origin = loopbackRedirectURI(server->port(), ""),
               timeout = timeouts_.callback] {
    if (previous) previous->finish(std::make_exception_ptr(OAuthFlowError::cancelled()));
    session->server->start([weak = std::weak_ptr(session), origin](const std::string& target) {
      if (auto alive = weak.lock()) alive->finish(nullptr, {origin + target, alive->redirectURI});
    });
    session->deadline.expires_after(timeout);
    session->deadline.async_wait([weak = std::weak_ptr(session)](boost::system::error_code error) {
      auto alive = weak.lock();
      if (!error && alive) alive->finish(std::make_exception_ptr(OAuthFlowError::cancelled()));
    });
  });
  browser_->open(url, [gate = std::weak_ptr(gate_), weak = std::weak_ptr(session)](bool shown) {
    if (shown) return;
    if (auto alive = gate.lock()) {
      alive->post([weak] {
        if (auto failed = weak.lock()) {
          failed->finish(std::make_exception_ptr(OAuthFlowError::cannotStart()));
        }
      });
    }
  });
  return future;
}

}  // namespace lumora::sdk
