#include "sdk/internal/account_call.h"

#include <boost/system/system_error.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include <exception>

namespace lumora::sdk::internal {

namespace urls = boost::urls;

namespace {

// `path` resolved against `base` as a relative reference: its leading "/" keeps only the
// base's scheme and authority.
std::optional<urls::url> resolve(std::string_view base, std::string_view path) {
  auto parsedBase = urls::parse_uri(base);
  auto reference = urls::parse_relative_ref(path);
  urls::url resolved;
  if (!parsedBase || !reference || !urls::resolve(*parsedBase, *reference, resolved)) {
    return std::nullopt;
  }
  return resolved;
}

AccountReply failed(std::string why) { return AccountReply{std::move(why), 0, {}}; }

}  // namespace

boost::asio::awaitable<AccountReply> callAccountService(
    std::shared_ptr<const net::HttpClient> session, std::string baseURL, AccountCall call) {
  const auto url = resolve(baseURL, call.path);
  if (!url) co_return failed("invalid url: " + call.path);
  // Whatever answers another scheme (a file, say), it is not an HTTP server.
  if (url->scheme_id() != urls::scheme::http && url->scheme_id() != urls::scheme::https) {
    co_return failed("non-HTTP response");
  }

  net::FetchRequest request;
  request.method = call.method;
  request.url = url->buffer();
  request.timeout = kAccountServiceTimeout;
  if (call.bearer) request.headers.emplace_back("Authorization", "Bearer " + *call.bearer);
  if (call.body) {
    request.headers.emplace_back("Content-Type", "application/json");
    request.body = std::move(*call.body);
  }
  std::string failure;
  try {
    auto fetching = session->fetch(std::move(request));
    net::FetchResult result = co_await std::move(fetching);
    co_return AccountReply{std::nullopt, result.status, std::move(result.body)};
  } catch (const net::NotHttpResponse&) {
    failure = "non-HTTP response";
  } catch (const boost::system::system_error& error) {
    // The words alone, without where in Asio the error was met.
    failure = error.code().message();
  } catch (const std::exception& error) {
    failure = error.what();
  }
  co_return failed(std::move(failure));
}

}  // namespace lumora::sdk::internal
