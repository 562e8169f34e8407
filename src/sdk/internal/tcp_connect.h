#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace lumora::sdk::internal {

// The text of a connect time-out: `prefix`, the limit in whole seconds (truncated), "s".
std::string timeoutText(const std::string& prefix, std::chrono::duration<double> limit);

// The port as the library accepts it for a connection (0 names no peer), or the
// connectionFailed error "invalid port N".
std::exception_ptr checkPort(std::uint16_t port);

// Resolves `host` and connects `socket` to it on `port`, with a deadline. `done` is called
// exactly once on the socket's executor: null when connected; connectionFailed with the
// system's text when resolving or connecting fails; connectionFailed with
// timeoutText(timeoutPrefix, timeout) when the deadline passes first (the socket is closed);
// disconnected when the owner gives the attempt up: it closes the socket while connecting, or
// `abandoned` says so once the name is resolved (closing a socket that is not open yet does
// nothing, and the connect would otherwise go on to its deadline). `abandoned` is asked on the
// socket's executor; the owner's close must reach the socket through that executor too.
void connectWithTimeout(std::shared_ptr<boost::asio::ip::tcp::socket> socket, std::string host,
                        std::uint16_t port, std::chrono::duration<double> timeout,
                        std::string timeoutPrefix, std::function<bool()> abandoned,
                        std::function<void(std::exception_ptr)> done);

}  // namespace lumora::sdk::internal
