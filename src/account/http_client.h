#pragma once

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace lumora::account {

// One outgoing HTTP/1.1 request to an identity provider, over TLS for https URLs (the
// system's trusted roots, the host name checked) or plain for http ones (a stand-in on this
// machine). One connection per request: providers are asked rarely and their answers cached.
struct FetchRequest {
  std::string method = "GET";
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

struct FetchResult {
  int status = 0;
  std::string body;
};

// Safe to share between connections; each fetch runs on the calling coroutine's executor.
class HttpClient {
 public:
  explicit HttpClient(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  ~HttpClient();

  // Throws std::runtime_error when the URL is not http(s), the provider cannot be reached,
  // the TLS check fails, time runs out, or the answer is over 1 MiB.
  boost::asio::awaitable<FetchResult> fetch(FetchRequest request) const;

 private:
  struct Tls;
  std::shared_ptr<Tls> tls_;
  std::chrono::milliseconds timeout_;
};

}  // namespace lumora::account
