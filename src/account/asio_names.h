#pragma once

// The short names the service's connection code is written with.

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/http.hpp>

namespace lumora::account {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::as_tuple;
using asio::use_awaitable;
using asio::ip::tcp;

}  // namespace lumora::account
