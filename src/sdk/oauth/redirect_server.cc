#include "sdk/oauth/redirect_server.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/url/parse.hpp>

#include "sdk/oauth/oauth_urls.h"

namespace lumora::sdk::internal {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;

namespace {

constexpr int kMaxConnections = 16;
constexpr std::uint32_t kMaxHeader = 8 * 1024;

constexpr const char* kFinishedPage =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Lumora</title></head>\n"
    "<body><p>Sign-in finished. You can close this window.</p></body></html>\n";

constexpr const char* kMismatchPage =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Lumora</title></head>\n"
    "<body><p>This sign-in answer did not match the sign-in Lumora started, so it was not "
    "used. You can close this window.</p></body></html>\n";

http::response<http::string_body> answer(http::status status, const char* contentType,
                                         std::string body) {
  http::response<http::string_body> response(status, 11);
  response.set(http::field::content_type, contentType);
  response.set(http::field::cache_control, "no-store");
  response.keep_alive(false);
  response.body() = std::move(body);
  response.prepare_payload();
  return response;
}

}  // namespace

RedirectServer::RedirectServer(asio::io_context& io, std::string callbackPath,
                               std::string expectedState,
                               std::chrono::milliseconds connectionTimeout)
    : acceptor_(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
      callbackPath_(std::move(callbackPath)),
      expectedState_(std::move(expectedState)),
      connectionTimeout_(connectionTimeout),
      port_(acceptor_.local_endpoint().port()) {}

void RedirectServer::start(OnCallback onCallback) {
  onCallback_ = std::move(onCallback);
  asio::co_spawn(
      acceptor_.get_executor(), [self = shared_from_this()] { return self->acceptLoop(); },
      asio::detached);
}

void RedirectServer::close() {
  closed_ = true;
  boost::system::error_code ignored;
  acceptor_.close(ignored);
}

asio::awaitable<void> RedirectServer::acceptLoop() {
  auto self = shared_from_this();
  while (!closed_) {
    auto [error, socket] = co_await acceptor_.async_accept(asio::as_tuple(asio::use_awaitable));
    if (error == asio::error::operation_aborted || closed_) break;
    if (error) {
      // A connection that went away before we took it, or no descriptor left for it: pause
      // rather than spin while descriptors are short.
      asio::steady_timer pause(acceptor_.get_executor(), std::chrono::milliseconds(50));
      co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
      continue;
    }
    if (openConnections_ >= kMaxConnections) continue;  // closed as `socket` goes
    ++openConnections_;
    asio::co_spawn(acceptor_.get_executor(), serve(std::move(socket)),
                   [self](std::exception_ptr) { --self->openConnections_; });
  }
}

asio::awaitable<void> RedirectServer::serve(tcp::socket socket) {
  beast::tcp_stream stream(std::move(socket));
  stream.expires_after(connectionTimeout_);
  beast::flat_buffer buffer(kMaxHeader);
  http::request_parser<http::empty_body> parser;
  parser.header_limit(kMaxHeader);
  auto [readError, ignoredSize] =
      co_await http::async_read(stream, buffer, parser, asio::as_tuple(asio::use_awaitable));
  if (readError || closed_) co_return;
  const auto& request = parser.get();
  const std::string target(request.target());
  auto url = boost::urls::parse_origin_form(target);
  const bool atCallback =
      request.method() == http::verb::get && url && url->encoded_path() == callbackPath_;
  const bool matches = atCallback && carriesState(target, expectedState_);
  // Only the first matching callback counts; a second one (a reload, say) finds the flow done.
  OnCallback callback;
  if (matches) callback = std::exchange(onCallback_, nullptr);
  const bool isCallback = static_cast<bool>(callback);
  const auto response =
      isCallback ? answer(http::status::ok, "text/html; charset=utf-8", kFinishedPage)
      : atCallback && !matches
          ? answer(http::status::bad_request, "text/html; charset=utf-8", kMismatchPage)
          : answer(http::status::not_found, "text/plain", "not found\n");
  co_await http::async_write(stream, response, asio::as_tuple(asio::use_awaitable));
  beast::error_code ignored;
  stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
  if (isCallback && !closed_) callback(target);
}

}  // namespace lumora::sdk::internal
