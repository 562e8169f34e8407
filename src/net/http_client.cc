#include "net/http_client.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/version.hpp>
#include <boost/system/system_error.hpp>
#include <boost/url/parse.hpp>

#include <stdexcept>
#include <string_view>

namespace lumora::net {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;

struct HttpClient::Tls {
  asio::ssl::context context{asio::ssl::context::tls_client};
  explicit Tls(const std::string& trustedCertificates) {
    if (trustedCertificates.empty()) {
      context.set_default_verify_paths();
    } else {
      context.load_verify_file(trustedCertificates);
    }
    context.set_verify_mode(asio::ssl::verify_peer);
  }
};

HttpClient::HttpClient(std::string userAgent, std::chrono::milliseconds timeout,
                       std::string trustedCertificates)
    : userAgent_(std::move(userAgent)),
      timeout_(timeout),
      trustedCertificates_(std::move(trustedCertificates)) {}

HttpClient::Tls& HttpClient::tls() const {
  std::call_once(tlsOnce_, [this] { tls_ = std::make_unique<Tls>(trustedCertificates_); });
  return *tls_;
}

HttpClient::~HttpClient() = default;

namespace {

template <class Stream>
asio::awaitable<FetchResult> exchange(Stream& stream, http::request<http::string_body>& request,
                                      std::chrono::milliseconds timeout) {
  beast::get_lowest_layer(stream).expires_after(timeout);
  co_await http::async_write(stream, request, asio::use_awaitable);
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(1 << 20);
  beast::error_code error;
  co_await http::async_read(stream, buffer, parser,
                            asio::redirect_error(asio::use_awaitable, error));
  if (error) {
    // Until the header is whole the parser consumes nothing, so the buffer holds what came.
    const std::string_view seen(static_cast<const char*>(buffer.data().data()), buffer.size());
    constexpr std::string_view kVersion = "HTTP/";
    if (!parser.is_header_done() && !seen.empty() &&
        !kVersion.starts_with(seen.substr(0, kVersion.size()))) {
      throw NotHttpResponse("the server's answer is not HTTP");
    }
    throw boost::system::system_error(error);
  }
  const auto& response = parser.get();
  FetchResult result{static_cast<int>(response.result_int()), response.body(), {}};
  for (const auto& field : response) {
    result.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  co_return result;
}

}  // namespace

asio::awaitable<FetchResult> HttpClient::fetch(FetchRequest request) const {
  auto url = boost::urls::parse_absolute_uri(request.url);
  if (!url || (url->scheme() != "https" && url->scheme() != "http") || url->host().empty()) {
    throw std::runtime_error("not an http(s) URL: " + request.url);
  }
  const bool secure = url->scheme() == "https";
  const auto timeout = request.timeout.value_or(timeout_);
  const std::string host = url->host();
  const std::string port = url->has_port() ? std::string(url->port()) : (secure ? "443" : "80");
  std::string target = url->encoded_path().empty() ? "/" : std::string(url->encoded_path());
  if (url->has_query()) target += "?" + std::string(url->encoded_query());

  http::request<http::string_body> message(http::verb::get, target, 11);
  message.method_string(request.method);
  message.set(http::field::host, url->has_port() ? host + ":" + port : host);
  message.set(http::field::user_agent, userAgent_);
  for (const auto& [name, value] : request.headers) message.set(name, value);
  if (!request.body.empty() || request.method == "POST") {
    message.body() = std::move(request.body);
    message.prepare_payload();
  }

  auto executor = co_await asio::this_coro::executor;
  tcp::resolver resolver(executor);
  beast::tcp_stream tcpStream(executor);
  tcpStream.expires_after(timeout);
  auto endpoints = co_await resolver.async_resolve(host, port, asio::use_awaitable);
  if (request.localAddress.empty()) {
    co_await tcpStream.async_connect(endpoints, asio::use_awaitable);
  } else {
    // Bound before connecting: connecting through the resolver's list would reopen the socket.
    const tcp::endpoint to = *endpoints.begin();
    tcpStream.socket().open(to.protocol());
    tcpStream.socket().bind(tcp::endpoint(asio::ip::make_address(request.localAddress), 0));
    co_await tcpStream.async_connect(to, asio::use_awaitable);
  }
  if (!secure) {
    auto result = co_await exchange(tcpStream, message, timeout);
    beast::error_code ignored;
    tcpStream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    co_return result;
  }
  beast::ssl_stream<beast::tcp_stream> tlsStream(std::move(tcpStream), tls().context);
  // SSL_set_tlsext_host_name is a macro with a C cast in it.
  if (SSL_ctrl(tlsStream.native_handle(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
               const_cast<char*>(host.c_str())) != 1) {
    throw std::runtime_error("cannot name the TLS host " + host);
  }
  tlsStream.set_verify_callback(asio::ssl::host_name_verification(host));
  co_await tlsStream.async_handshake(asio::ssl::stream_base::client, asio::use_awaitable);
  co_return co_await exchange(tlsStream, message, timeout);
}

}  // namespace lumora::net
