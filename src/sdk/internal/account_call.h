#pragma once

// The request routine the account service's clients share: how a path becomes a request, and
// how the answer becomes a record or a client's error.

#include <boost/asio/awaitable.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "net/http_client.h"
#include "protocol/json_record_codec.h"

namespace lumora::sdk::internal {

// Every call allows the service this long, to connect and then to answer.
inline constexpr std::chrono::seconds kAccountServiceTimeout{60};

struct AccountCall {
  std::string method;
  // Begins with "/": it replaces any path of the base URL. May carry a query.
  std::string path;
  std::optional<std::string> bearer;
  // JSON text, sent with Content-Type application/json; without it no body at all.
  std::optional<std::string> body;
};

// The service's answer, whatever its status; or, when none came, why.
struct AccountReply {
  // Set when no HTTP answer came: "invalid url: " and the path, "non-HTTP response", or the
  // failure's own words. Status and body are then unset.
  std::optional<std::string> failure;
  int status = 0;
  std::string body;
};

// Sends `call` to the service whose origin `baseURL` names. Never throws.
boost::asio::awaitable<AccountReply> callAccountService(
    std::shared_ptr<const net::HttpClient> session, std::string baseURL, AccountCall call);

// The body of a 2xx answer; anything else as `Error`.
template <class Error>
std::string successBody(AccountReply reply) {
  if (reply.failure) throw Error::transport(std::move(*reply.failure));
  if (reply.status < 200 || reply.status > 299) {
    throw Error::http(reply.status, std::move(reply.body));
  }
  return std::move(reply.body);
}

// `body` as a T, or `Error::decoding` saying what is wrong with it.
template <class T, class Error>
T decodeBody(std::string_view body) {
  boost::system::error_code parseError;
  const boost::json::value json = boost::json::parse(body, parseError);
  if (parseError) throw Error::decoding("not JSON: " + parseError.message());
  T value{};
  protocol::json_codec::Failure failure;
  bool decoded = false;
  if constexpr (protocol::json_codec::IsOptional<T>::value) {
    // null stands for nothing.
    decoded = json.is_null() || protocol::json_codec::decodeValue(json, value.emplace(), failure);
  } else {
    decoded = protocol::json_codec::decodeValue(json, value, failure);
  }
  if (!decoded) throw Error::decoding(failure.describe());
  return value;
}

// JSON text of a described record, keys in declaration order, absent optionals left out.
template <class Record>
std::string encodeBody(const Record& record) {
  return boost::json::serialize(protocol::json_codec::encodeRecord(record));
}

// One call whose 2xx answer is a T (with void, any body); every other outcome is thrown as
// `Error`.
template <class T, class Error>
boost::asio::awaitable<T> callFor(std::shared_ptr<const net::HttpClient> session,
                                  std::string baseURL, AccountCall call) {
  auto calling = callAccountService(std::move(session), std::move(baseURL), std::move(call));
  AccountReply reply = co_await std::move(calling);
  if constexpr (std::is_void_v<T>) {
    successBody<Error>(std::move(reply));
  } else {
    co_return decodeBody<T, Error>(successBody<Error>(std::move(reply)));
  }
}

// An operation that fails with `error` once awaited, as the others fail.
template <class T, class Error>
boost::asio::awaitable<T> failWith(Error error) {
  throw std::move(error);
  co_return T{};
}

}  // namespace lumora::sdk::internal
