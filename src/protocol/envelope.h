#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "protocol/bytes.h"
#include "protocol/decode_result.h"
#include "protocol/message_id.h"
#include "protocol/payload.h"

namespace lumora::protocol {

// One message on the control channel: version, id, optional correlation to the request it
// answers, and the typed payload.
struct Envelope {
  std::int64_t version = AgentProtocolVersion::current;
  MessageID id;
  std::optional<MessageID> correlationID;
  Payload payload;

  static Envelope request(Payload payload, MessageID id = MessageID::generate()) {
    return {AgentProtocolVersion::current, std::move(id), std::nullopt, std::move(payload)};
  }
  static Envelope response(MessageID to, Payload payload, MessageID id = MessageID::generate()) {
    return {AgentProtocolVersion::current, std::move(id), std::move(to), std::move(payload)};
  }

  // Compact JSON: "version", "id", "correlationID" (only when set), "payload" with "type"
  // before "data"; slashes escaped.
  Bytes encode() const;

  // Never throws, whatever the bytes: malformed JSON, wrong types, integers out of range,
  // unknown message types and bad Base64 all come back as a DecodeError.
  static DecodeResult<Envelope> decode(ByteView bytes);
  static DecodeResult<Envelope> decode(std::string_view text) { return decode(asBytes(text)); }

  bool operator==(const Envelope&) const = default;
};

}  // namespace lumora::protocol
