#include "sdk/relay/relay_socket.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/json/parse.hpp>
#include <boost/url/parse.hpp>

#include <algorithm>
#include <cctype>

namespace lumora::sdk {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using asio::as_tuple;
using asio::use_awaitable;
using asio::ip::tcp;

struct RelaySocket::Impl {
  using Plain = websocket::stream<beast::tcp_stream>;
  using Tls = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

  // Runs `operation` on whichever stream this connection is.
  template <class Operation>
  decltype(auto) with(Operation&& operation) {
    return plain ? operation(*plain) : operation(*tls);
  }

  // Declared before the streams: a TLS stream is made from it.
  std::unique_ptr<asio::ssl::context> tlsContext;
  std::unique_ptr<Plain> plain;
  std::unique_ptr<Tls> tls;
};

namespace {

struct Target {
  bool secure = false;
  std::string host;  // to resolve and to check the certificate against
  std::string port;
  std::string hostHeader;  // as the URL spells it, with the port when it names one
  std::string resource;    // path and query
};

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

Target parseTarget(const std::string& url) {
  auto parsed = boost::urls::parse_absolute_uri(url);
  if (!parsed) throw RelaySocketError("invalid relay url " + url);
  const std::string scheme = lowered(parsed->scheme());
  if (scheme != "ws" && scheme != "wss") {
    throw RelaySocketError("invalid relay url " + url + ": not ws or wss");
  }
  Target target;
  target.secure = scheme == "wss";
  target.host = parsed->host_address();
  if (target.host.empty()) throw RelaySocketError("invalid relay url " + url + ": no host");
  target.port = parsed->has_port() ? std::string(parsed->port()) : (target.secure ? "443" : "80");
  target.hostHeader = std::string(parsed->encoded_host_and_port());
  target.resource = parsed->encoded_path().empty() ? "/" : std::string(parsed->encoded_path());
  if (parsed->has_query()) target.resource += "?" + std::string(parsed->encoded_query());
  return target;
}

constexpr std::size_t kWriteBufferBytes = 512 * 1024;

template <class WebSocket>
void configure(WebSocket& ws, const RelaySocket::Options& options) {
  websocket::stream_base::timeout timeouts;
  timeouts.handshake_timeout = options.handshakeTimeout;
  timeouts.idle_timeout = options.idleTimeout;
  timeouts.keep_alive_pings = true;
  ws.set_option(timeouts);
  ws.set_option(websocket::stream_base::decorator(
      [agent = options.userAgent](websocket::request_type& request) {
        request.set(beast::http::field::user_agent, agent);
      }));
  ws.read_message_max(options.maxMessageBytes);
  ws.auto_fragment(false);
  // A client masks what it sends, through a buffer of this size: at Beast's default of 4 KiB a
  // 1 MiB reply went out in 350 system calls, and the relay read it in as many pieces.
  ws.write_buffer_bytes(kWriteBufferBytes);
}

template <class WebSocket>
asio::awaitable<void> handshake(WebSocket& ws, const Target& target) {
  websocket::response_type response;
  auto [ec] = co_await ws.async_handshake(response, target.hostHeader, target.resource,
                                          as_tuple(use_awaitable));
  if (ec == websocket::error::upgrade_declined) {
    // The relay says why in its JSON body: no agent in the room, a token for another room …
    std::string why;
    boost::system::error_code notJson;
    const auto body = boost::json::parse(response.body(), notJson);
    if (!notJson && body.is_object()) {
      if (const auto* message = body.as_object().if_contains("message");
          message && message->is_string() && message->as_string().size() <= 200) {
        why = ": " + std::string(message->as_string());
      }
    }
    throw RelaySocketError("the relay refused the connection (HTTP " +
                           std::to_string(response.result_int()) + why + ")");
  }
  if (ec) throw RelaySocketError("relay handshake failed: " + ec.message());
}

}  // namespace

RelaySocket::RelaySocket(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

RelaySocket::~RelaySocket() = default;

asio::awaitable<std::unique_ptr<RelaySocket>> RelaySocket::open(asio::any_io_executor executor,
                                                                std::string url, Options options) {
  const Target target = parseTarget(url);
  auto impl = std::make_unique<Impl>();

  tcp::resolver resolver(executor);
  auto [resolveError, endpoints] =
      co_await resolver.async_resolve(target.host, target.port, as_tuple(use_awaitable));
  if (resolveError) {
    throw RelaySocketError("cannot resolve " + target.host + ": " + resolveError.message());
  }
  beast::tcp_stream stream(executor);
  stream.expires_after(options.handshakeTimeout);
  auto [connectError, endpoint] = co_await stream.async_connect(endpoints, as_tuple(use_awaitable));
  if (connectError) {
    throw RelaySocketError("cannot reach the relay at " + target.hostHeader + ": " +
                           connectError.message());
  }
  // From here on the WebSocket keeps its own time.
  stream.expires_never();
  // Each message goes out at once: a small request held back until the last one's
  // acknowledgement would wait out the peer's delayed acknowledgement, some 40 ms.
  boost::system::error_code ignored;
  stream.socket().set_option(tcp::no_delay(true), ignored);

  if (!target.secure) {
    impl->plain = std::make_unique<Impl::Plain>(std::move(stream));
    configure(*impl->plain, options);
    co_await handshake(*impl->plain, target);
  } else {
    impl->tlsContext = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
    // The system's roots, or those of SSL_CERT_FILE / SSL_CERT_DIR when set.
    impl->tlsContext->set_default_verify_paths();
    impl->tlsContext->set_verify_mode(asio::ssl::verify_peer);
    impl->tls = std::make_unique<Impl::Tls>(std::move(stream), *impl->tlsContext);
    auto& tlsStream = impl->tls->next_layer();
    // The server name goes out for a name, never for an address (which SNI has no room for).
    // SSL_set_tlsext_host_name is a macro with a C cast in it.
    boost::system::error_code notAnAddress;
    asio::ip::make_address(target.host, notAnAddress);
    if (notAnAddress &&
        SSL_ctrl(tlsStream.native_handle(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                 const_cast<char*>(target.host.c_str())) != 1) {
      throw RelaySocketError("cannot name the TLS host " + target.host);
    }
    tlsStream.set_verify_callback(asio::ssl::host_name_verification(target.host));
    beast::get_lowest_layer(*impl->tls).expires_after(options.handshakeTimeout);
    auto [tlsError] =
        co_await tlsStream.async_handshake(asio::ssl::stream_base::client, as_tuple(use_awaitable));
    if (tlsError) throw RelaySocketError("TLS with the relay failed: " + tlsError.message());
    beast::get_lowest_layer(*impl->tls).expires_never();
    configure(*impl->tls, options);
    co_await handshake(*impl->tls, target);
  }
  co_return std::unique_ptr<RelaySocket>(new RelaySocket(std::move(impl)));
}

asio::awaitable<protocol::Bytes> RelaySocket::readBinary() {
  for (;;) {
    Message message = co_await readMessage();
    if (!message.text) co_return std::move(message.data);
  }
}

asio::awaitable<RelaySocket::Message> RelaySocket::readMessage() {
  beast::flat_buffer buffer;
  co_await impl_->with([&](auto& ws) { return ws.async_read(buffer, use_awaitable); });
  Message message;
  message.text = impl_->with([](auto& ws) { return ws.got_text(); });
  const auto* data = static_cast<const std::uint8_t*>(buffer.data().data());
  message.data.assign(data, data + buffer.size());
  co_return message;
}

asio::awaitable<std::optional<RelaySocket::Message>> RelaySocket::readMessage(
    std::chrono::milliseconds limit) {
  using namespace asio::experimental::awaitable_operators;
  asio::steady_timer deadline(co_await asio::this_coro::executor, limit);
  auto reading = readMessage();
  auto waiting = deadline.async_wait(use_awaitable);
  auto first = co_await (std::move(reading) || std::move(waiting));
  if (first.index() != 0) co_return std::nullopt;
  co_return std::move(std::get<0>(first));
}

asio::awaitable<void> RelaySocket::writeBinary(protocol::ByteView message) {
  co_await impl_->with([&](auto& ws) {
    ws.binary(true);
    return ws.async_write(asio::buffer(message.data(), message.size()), use_awaitable);
  });
}

asio::awaitable<void> RelaySocket::writeText(std::string_view message) {
  co_await impl_->with([&](auto& ws) {
    ws.text(true);
    return ws.async_write(asio::buffer(message.data(), message.size()), use_awaitable);
  });
}

asio::awaitable<void> RelaySocket::close(std::uint16_t code) {
  auto [ec] = co_await impl_->with([&](auto& ws) {
    return ws.async_close(websocket::close_reason(code), as_tuple(use_awaitable));
  });
  if (ec) abort();
}

void RelaySocket::abort() {
  impl_->with([](auto& ws) {
    beast::error_code ignored;
    beast::get_lowest_layer(ws).socket().close(ignored);
  });
}

void RelaySocket::setMaxMessageBytes(std::size_t bytes) {
  impl_->with([bytes](auto& ws) { ws.read_message_max(bytes); });
}

std::uint16_t RelaySocket::closeCode() const {
  return impl_->with([](auto& ws) { return static_cast<std::uint16_t>(ws.reason().code); });
}

std::string RelaySocket::closeReason() const {
  return impl_->with([](auto& ws) { return std::string(ws.reason().reason.c_str()); });
}

}  // namespace lumora::sdk
