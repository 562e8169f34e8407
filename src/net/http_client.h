#pragma once

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace lumora::net {

// One outgoing HTTP/1.1 request, over TLS for https URLs (the client's trusted roots; the host
// name checked) or plain for http ones. One connection per request: its callers ask rarely.
struct FetchRequest {
  std::string method = "GET";  // any token, not only the methods HTTP names
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Overrides the client's time-out for this request (each of connecting and the exchange).
  std::optional<std::chrono::milliseconds> timeout;
  // The local address the connection leaves from (the system's choice when empty), for a host
  // with several.
  std::string localAddress;
};

struct FetchResult {
  int status = 0;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // as they came, names as sent
};

// What fetch throws when the server's answer does not begin as an HTTP response does (another
// protocol listens there), as opposed to an HTTP response that breaks off or breaks the rules.
class NotHttpResponse : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Safe to share between connections; each fetch runs on the calling coroutine's executor.
class HttpClient {
 public:
  // `userAgent` names the program in each request (some services refuse requests without one).
  // https servers are checked against the system's trusted roots (or the file SSL_CERT_FILE
  // names), or only against the PEM certificates in `trustedCertificates` when given: a
  // self-hosted service's own authority.
  explicit HttpClient(std::string userAgent,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10),
                      std::string trustedCertificates = {});
  ~HttpClient();

  // Throws std::runtime_error when the URL is not http(s), the server cannot be reached,
  // the TLS check fails, time runs out, or the answer is over 1 MiB; NotHttpResponse when the
  // answer is not HTTP at all.
  boost::asio::awaitable<FetchResult> fetch(FetchRequest request) const;

 private:
  struct Tls;
  // Made by the first https request: loading the trusted roots takes some milliseconds that a
  // plain http client need not spend.
  Tls& tls() const;
  mutable std::once_flag tlsOnce_;
  mutable std::unique_ptr<Tls> tls_;
  std::string userAgent_;
  std::chrono::milliseconds timeout_;
  std::string trustedCertificates_;
};

}  // namespace lumora::net
