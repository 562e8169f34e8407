#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "account/http_message.h"

namespace lumora::account {

// The browser client's files, served at /app/ on the service's own origin, so that the page
// reaches the API and the relay without CORS or mixed content. The folder is read once at start
// into memory: a request can only ever name one of those files (a flat folder, no paths), so
// nothing a client sends reaches the file system.
//
// Every answer carries headers that keep the page to itself: a content security policy without
// inline script or style, which also forbids framing it (frame-ancestors 'none') and sends no
// referrer anywhere, since the pairing code travels in the page's fragment.
//
// Threads: immutable after load; serve() from any thread.
class WebApp {
 public:
  // The files of `folder` (regular files directly in it of the types a page is made of, each at
  // most 16 MiB), or nothing when
  // the folder holds no index.html. `connectOrigins` are origins beyond the service's own that
  // the page may fetch from (an identity provider's token endpoint).
  static std::optional<WebApp> load(const std::string& folder,
                                    std::vector<std::string> connectOrigins = {});

  // The answer for a request under /app (GET only); nothing for other paths.
  std::optional<HttpResponse> serve(const HttpRequest& request) const;


 private:
  struct File {
    std::string contentType;
    std::string body;
  };
  HttpResponse withHeaders(HttpResponse response, bool cacheable) const;

  std::map<std::string, File> files_;
  std::string contentSecurityPolicy_;
};

// The folder the service serves the browser client from when --web-root is not given: beside
// an installed program (PREFIX/share/lumora/web), else the build's own output.
std::string defaultWebRoot();

}  // namespace lumora::account
