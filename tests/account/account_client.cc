#include "account_client.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/url/parse.hpp>

#include <stdexcept>

#include "net/http_client.h"
#include "protocol/base64.h"
#include "protocol/relay_notices.h"
#include "support/run_awaitable.h"

namespace lumora::account::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using asio::ip::tcp;

namespace {

// `reply` when it has `status`; else what answered how, thrown.
Reply expected(Reply reply, int status, const std::string& what) {
  if (reply.status == status) return reply;
  throw std::runtime_error(what + " answered " + std::to_string(reply.status) + ": " + reply.body);
}

}  // namespace

boost::json::value Reply::json() const {
  boost::system::error_code ec;
  auto value = boost::json::parse(body, ec);
  return ec ? boost::json::value() : value;
}

std::string Reply::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (beast::iequals(key, name)) return value;
  }
  return {};
}

AccountClient::AccountClient(std::string url, std::string from, std::string trustedCertificate)
    : url_(std::move(url)),
      from_(std::move(from)),
      http_(std::make_shared<const net::HttpClient>("lumora-account-test", std::chrono::seconds(30),
                                                    std::move(trustedCertificate))) {}

Reply AccountClient::request(
    const std::string& method, const std::string& target, const std::string& body,
    const std::string& bearer,
    const std::vector<std::pair<std::string, std::string>>& headers) const {
  net::FetchRequest request;
  request.method = method;
  request.url = url_ + target;
  request.localAddress = from_;
  if (!bearer.empty()) request.headers.emplace_back("Authorization", "Bearer " + bearer);
  if (!body.empty()) request.headers.emplace_back("Content-Type", "application/json");
  request.headers.insert(request.headers.end(), headers.begin(), headers.end());
  request.body = body;
  net::FetchResult result = testing_support::runAwaitable(http_->fetch(std::move(request)));
  return {result.status, std::move(result.body), std::move(result.headers)};
}

Reply AccountClient::post(const std::string& target, const boost::json::value& body,
                          const std::string& bearer) const {
  return request("POST", target, boost::json::serialize(body), bearer);
}

boost::json::object AccountClient::signInAs(const std::string& email) const {
  return expected(post("/auth/login", {{"provider", "dev"}, {"token", email}}), 200, "dev sign-in")
      .json()
      .as_object();
}

std::string AccountClient::signInWithDevice(const std::string& email,
                                            const protocol::PairingSecret& secret) const {
  std::string access(signInAs(email).at("accessToken").as_string());
  const Reply registered = registerDevice(access, "desk", secret);
  // Registered already (a 409) is as good: a service restarted on its database.
  if (registered.status != 201 && registered.status != 200 && registered.status != 409) {
    throw std::runtime_error("registration answered " + std::to_string(registered.status) + ": " +
                             registered.body);
  }
  return access;
}

Reply AccountClient::registerDevice(const std::string& access, const std::string& name,
                                    const protocol::PairingSecret& secret) const {
  return post("/devices", registration(access, name, protocol::RoomKey::derive(secret)), access);
}

boost::json::object AccountClient::registration(const std::string& access, const std::string& name,
                                                const protocol::RoomKey& key) const {
  const boost::json::value answer =
      expected(post("/devices/challenge", boost::json::object{}, access), 200, "the challenge")
          .json();
  const std::string nonce(answer.at("nonce").as_string());
  const std::string account(answer.at("account").as_string());
  return {{"name", name},
          {"platform", "linux"},
          {"roomKey", protocol::base64Encode(key.publicKey())},
          {"nonce", nonce},
          {"signature", protocol::base64Encode(key.registrationProof(account, nonce))}};
}

std::string AccountClient::relayToken(const std::string& access,
                                      const std::string& fingerprint) const {
  const Reply issued =
      expected(post("/relay/token", {{"fingerprint", fingerprint}}, access), 200, "relay token");
  return std::string(issued.json().at("token").as_string());
}

struct RelayClient::Impl {
  asio::io_context io;
  websocket::stream<beast::tcp_stream> ws{io};
  beast::flat_buffer buffer;
  bool closed = false;
};

RelayClient::RelayClient(const std::string& serviceUrl, const std::string& target)
    : impl_(std::make_unique<Impl>()) {
  const auto origin = boost::urls::parse_absolute_uri(serviceUrl).value();
  tcp::resolver resolver(impl_->io);
  beast::get_lowest_layer(impl_->ws).connect(resolver.resolve(origin.host(), origin.port()));
  impl_->ws.read_message_max(256u << 20);
  websocket::response_type response;
  beast::error_code ec;
  impl_->ws.handshake(response, origin.host(), target, ec);
  status_ = static_cast<int>(response.result_int());
  impl_->closed = static_cast<bool>(ec);
}

RelayClient::~RelayClient() = default;

std::unique_ptr<RelayClient> RelayClient::host(const std::string& serviceUrl,
                                               const std::string& room,
                                               const protocol::RoomKey& key) {
  auto client = std::make_unique<RelayClient>(serviceUrl, "/relay/" + room);
  if (client->status() != 101) {
    throw std::runtime_error("the relay answered " + std::to_string(client->status()));
  }
  auto challenge = client->receive();
  auto nonce = challenge ? protocol::RelayNotice::parseChallenge(challenge->data) : std::nullopt;
  if (!nonce) throw std::runtime_error("the relay did not challenge its host");
  client->sendText(protocol::RelayNotice::proof(key.publicKey(), key.hostProof(room, *nonce)));
  auto answer = client->receive();
  if (!answer || !protocol::RelayNotice::isAdmitted(answer->data)) {
    throw std::runtime_error("the relay did not admit its host");
  }
  return client;
}

void RelayClient::sendBinary(const std::string& message) {
  impl_->ws.binary(true);
  impl_->ws.write(asio::buffer(message));
}

void RelayClient::sendText(const std::string& message) {
  impl_->ws.text(true);
  impl_->ws.write(asio::buffer(message));
}

bool RelayClient::hasUnreadBytes() {
  return beast::get_lowest_layer(impl_->ws).socket().available() > 0;
}

std::optional<RelayClient::Message> RelayClient::receive(std::chrono::milliseconds limit) {
  if (impl_->closed) return std::nullopt;
  impl_->buffer.consume(impl_->buffer.size());
  std::optional<beast::error_code> result;
  impl_->ws.async_read(impl_->buffer, [&](beast::error_code ec, std::size_t) { result = ec; });
  impl_->io.restart();
  impl_->io.run_for(limit);
  if (!result) {
    beast::get_lowest_layer(impl_->ws).close();
    impl_->io.restart();
    impl_->io.run();
    impl_->closed = true;
    throw std::runtime_error("nothing arrived from the relay in time");
  }
  if (*result) {
    impl_->closed = true;
    return std::nullopt;
  }
  return Message{impl_->ws.got_binary(), beast::buffers_to_string(impl_->buffer.data())};
}

bool RelayClient::closedWithin(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  try {
    while (receive(std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()))) {
    }
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

int RelayClient::closeCode() const { return impl_->ws.reason().code; }

void RelayClient::close() {
  beast::error_code ignored;
  impl_->ws.close(websocket::close_code::normal, ignored);
  impl_->closed = true;
}

}  // namespace lumora::account::testing
