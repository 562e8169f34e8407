#include "hostile_exchanges.h"

#include <chrono>
#include <string_view>
#include <system_error>

#include "protocol/base64.h"
#include "protocol/frame_codec.h"
#include "support/raw_client.h"

namespace lumora::load {

using namespace std::chrono_literals;
using protocol::Envelope;
using protocol::MessageType;
using testing_support::RawClient;

namespace {

// How long the agent gets to close a connection it must refuse. Shorter than the media
// port's ticket time-out (5 s), so a media refusal cannot be mistaken for the time-out.
constexpr auto kRefusalLimit = 3s;

std::string describe(const Envelope& reply) {
  if (const auto* error = reply.payload.get<MessageType::error>()) {
    return "error " + error->code + " / " + error->message;
  }
  return "a reply of type #" + std::to_string(static_cast<int>(reply.payload.messageType()));
}

std::string expectError(RawClient& client, const std::optional<protocol::MessageID>& to,
                        std::string_view code, std::string_view message, std::string_view what) {
  std::optional<Envelope> reply = client.receive();
  if (!reply) return std::string(what) + ": connection closed instead of an answer";
  const auto* error = reply->payload.get<MessageType::error>();
  if (!error || error->code != code || error->message != message) {
    return std::string(what) + ": answered with " + describe(*reply);
  }
  if (reply->correlationID != to) return std::string(what) + ": wrong correlation";
  return "";
}

void sendBody(RawClient& client, std::string_view body) {
  client.sendRaw(protocol::FrameCodec::encode(protocol::asBytes(body)));
}

// Sends what the agent may refuse to read to the end; a reset on the way is expected.
void sendHeedless(RawClient& client, const protocol::Bytes& bytes) {
  try {
    client.sendRaw(bytes);
  } catch (const std::system_error&) {
  }
}

std::string nestedEnvelope(int depth) {
  return R"({"version":1,"id":"A","payload":{"type":"ping","data":)" + std::string(depth, '[') +
         std::string(depth, ']') + "}}";
}

}  // namespace

std::string malformedFramesAreAnsweredAndSurvived(std::uint16_t controlPort) {
  RawClient client(controlPort);
  std::string problem;
  const auto check = [&](std::string_view body, std::string_view what) {
    if (!problem.empty()) return;
    sendBody(client, body);
    problem = expectError(client, std::nullopt, "bad_request", "decode failed", what);
  };
  check("\x01\x02 certainly not json \xff", "garbage");
  check(nestedEnvelope(20000), "nesting 20000 deep");
  check("{\"version\":1,\"id\":\"\xff\xfe\xc0\xaf\",\"payload\":{\"type\":\"ping\",\"data\":{}}}",
        "invalid UTF-8");
  if (!problem.empty()) return problem;

  Envelope ping = Envelope::request(protocol::PingRequest{});
  client.send(ping);
  return expectError(client, ping.id, "unauthorized", "authentication required",
                     "a ping after the bad frames");
}

std::string hugeLengthPrefixClosesTheControlConnection(std::uint16_t controlPort) {
  RawClient connection(controlPort);
  const protocol::Bytes frame = {0xff, 0xff, 0xff, 0xff, '{', '"'};
  connection.trySend(frame);
  return connection.closedWithin(kRefusalLimit) ? "" : "a 4 GiB prefix left the connection open";
}

std::string oversizedFrameBeforePairingClosesTheConnection(std::uint16_t controlPort) {
  RawClient client(controlPort);
  const std::string mac = protocol::base64Encode(protocol::Bytes(768 << 10, 0xa5));
  const std::string body =
      R"({"version":1,"id":"B","payload":{"type":"auth.complete","data":{"mac":")" + mac + "\"}}}";
  sendHeedless(client, protocol::FrameCodec::encode(protocol::asBytes(body)));
  return client.closedWithin() ? "" : "a 1 MiB frame before pairing left the connection open";
}

std::string malformedTicketFramesCloseTheMediaConnection(std::uint16_t mediaPort) {
  RawClient huge(mediaPort);
  huge.trySend(protocol::Bytes{0xff, 0xff, 0xff, 0xff, 'a'});
  if (!huge.closedWithin(kRefusalLimit)) return "a 4 GiB ticket prefix left the media open";

  RawClient invalid(mediaPort);
  protocol::Bytes frame = {0, 0, 0, 64};
  frame.resize(4 + 64, 0xfe);
  invalid.trySend(frame);
  return invalid.closedWithin(kRefusalLimit) ? "" : "a non-UTF-8 ticket left the media open";
}

std::string aNewPeerStillPairs(std::uint16_t controlPort, const protocol::PairingSecret& secret) {
  try {
    RawClient client(controlPort);
    client.authenticate(secret);
    Envelope reply = client.ask(protocol::PingRequest{});
    return reply.payload.messageType() == MessageType::ack
               ? ""
               : "ping answered with " + describe(reply);
  } catch (const std::exception& e) {
    return std::string("a new peer could not pair: ") + e.what();
  }
}

}  // namespace lumora::load
