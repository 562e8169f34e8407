#include "account/web_app.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace lumora::account {

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t kMaxFileBytes = 16 * 1024 * 1024;

// The type of a file the page is made of, or nothing for any other file, which is not served
// even when it lies in the folder (a build's leftovers, an editor's backup).
std::optional<std::string> contentTypeOf(const fs::path& name) {
  static const std::map<std::string, std::string> kTypes = {
      {".html", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".json", "application/json"},
      {".webmanifest", "application/manifest+json"},
      {".map", "application/json"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".ico", "image/x-icon"},
      {".woff2", "font/woff2"},
  };
  auto found = kTypes.find(name.extension().string());
  if (found == kTypes.end()) return std::nullopt;
  return found->second;
}

std::optional<std::string> readWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

HttpResponse notFound() {
  return errorResponse({404, "not_found", "no such file of the web client"});
}

}  // namespace

std::optional<WebApp> WebApp::load(const std::string& folder,
                                   std::vector<std::string> connectOrigins) {
  WebApp app;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    std::error_code statError;
    if (!entry.is_regular_file(statError) || entry.file_size(statError) > kMaxFileBytes) continue;
    auto type = contentTypeOf(entry.path());
    auto body = type ? readWhole(entry.path()) : std::nullopt;
    if (!body) continue;
    app.files_[entry.path().filename().string()] = File{std::move(*type), std::move(*body)};
  }
  if (!app.files_.contains("index.html")) return std::nullopt;
  std::string connect = "'self'";
  for (const auto& origin : connectOrigins) connect += " " + origin;
  app.contentSecurityPolicy_ =
      "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data: blob:; "
      "media-src 'self' blob: mediastream:; worker-src 'self'; manifest-src 'self'; "
      "connect-src " +
      connect + "; frame-ancestors 'none'; base-uri 'none'; form-action 'self'; object-src 'none'";
  return app;
}

std::optional<HttpResponse> WebApp::serve(const HttpRequest& request) const {
  const std::string path = request.target.substr(0, request.target.find_first_of("?#"));
  if (path != "/app" && !path.starts_with("/app/")) return std::nullopt;
  if (request.method != "GET") {
    HttpResponse refused = errorResponse({405, "method_not_allowed", "use GET here"});
    refused.headers.emplace_back("Allow", "GET");
    return refused;
  }
  if (path == "/app") {
    // The page's relative addresses resolve against /app/.
    HttpResponse moved;
    moved.status = 308;
    moved.contentType.clear();
    moved.headers.emplace_back("Location", "/app/");
    return withHeaders(std::move(moved), false);
  }
  std::string name = path.substr(5);
  if (name.empty()) name = "index.html";
  auto found = files_.find(name);
  if (found == files_.end()) return withHeaders(notFound(), false);
  HttpResponse response;
  response.contentType = found->second.contentType;
  response.body = found->second.body;
  // The page itself is checked every time so that a new version is picked up at once; what it
  // loads has the same name in every version, so it is revalidated too, only less eagerly.
  return withHeaders(std::move(response), name != "index.html");
}

HttpResponse WebApp::withHeaders(HttpResponse response, bool cacheable) const {
  auto& headers = response.headers;
  headers.emplace_back("Content-Security-Policy", contentSecurityPolicy_);
  headers.emplace_back("Referrer-Policy", "no-referrer");
  headers.emplace_back("X-Content-Type-Options", "nosniff");
  headers.emplace_back("X-Frame-Options", "DENY");
  headers.emplace_back("Cross-Origin-Opener-Policy", "same-origin");
  headers.emplace_back("Permissions-Policy",
                       "camera=(self), microphone=(), geolocation=(), screen-wake-lock=(self)");
  headers.emplace_back("Cache-Control", cacheable ? "no-cache" : "no-store");
  return response;
}

std::string defaultWebRoot() {
  std::error_code ec;
  const fs::path program = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path installed = program.parent_path().parent_path() / "share/lumora/web";
    if (fs::exists(installed / "index.html", ec)) return installed.string();
  }
#ifdef LUMORA_BUILD_WEB_ROOT
  return LUMORA_BUILD_WEB_ROOT;
#else
  return {};
#endif
}

}  // namespace lumora::account
