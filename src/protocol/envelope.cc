#include "protocol/envelope.h"

#include <array>
#include <utility>

#include "protocol/json_record_codec.h"
#include "protocol/json_text.h"

namespace lumora::protocol {
namespace {

namespace json = boost::json;

json::object encodePayload(const Payload& payload, json::storage_ptr storage) {
  json::object object(storage);
  object.emplace("type", rawValue(payload.messageType()));
  object.emplace("data", std::visit(
                             [&](const auto& record) {
                               return json::value(json_codec::encodeRecord(record, storage));
                             },
                             payload.variant()));
  return object;
}

using PayloadDecoder = bool (*)(const json::value&, Payload&, json_codec::Failure&);

template <std::size_t I>
bool decodePayloadAs(const json::value& data, Payload& out, json_codec::Failure& failure) {
  constexpr auto type = static_cast<MessageType>(I);
  PayloadRecord<type> record{};
  if (!json_codec::decodeRecord(data, record, failure)) return false;
  out = Payload::make<type>(std::move(record));
  return true;
}

template <std::size_t... I>
constexpr std::array<PayloadDecoder, sizeof...(I)> payloadDecoders(std::index_sequence<I...>) {
  return {&decodePayloadAs<I>...};
}

constexpr auto kPayloadDecoders = payloadDecoders(std::make_index_sequence<kMessageTypeCount>());

DecodeResult<Payload> decodePayload(const json::value& json) {
  const json::object* object = json.if_object();
  if (object == nullptr) return DecodeError{"payload: expected an object"};
  const json::value* type = object->if_contains("type");
  if (type == nullptr) return DecodeError{"payload.type: missing key"};
  if (!type->is_string()) return DecodeError{"payload.type: expected a string"};
  auto messageType = messageTypeFromRawValue(type->get_string());
  if (!messageType) {
    return DecodeError{"payload.type: unknown message type \"" +
                       std::string(std::string_view(type->get_string()).substr(0, 64)) + "\""};
  }
  const json::value* data = object->if_contains("data");
  if (data == nullptr) return DecodeError{"payload.data: missing key"};

  Payload payload;
  json_codec::Failure failure;
  if (!kPayloadDecoders[static_cast<std::size_t>(*messageType)](*data, payload, failure)) {
    failure.enter("data");
    failure.enter("payload");
    return DecodeError{failure.describe()};
  }
  return payload;
}

}  // namespace

Bytes Envelope::encode() const {
  json_text::ScratchArena arena;
  json::object object(arena.storage());
  object.emplace("version", version);
  object.emplace("id", id.rawValue);
  if (correlationID) object.emplace("correlationID", correlationID->rawValue);
  object.emplace("payload", encodePayload(payload, arena.storage()));
  return json_text::serialize(object);
}

DecodeResult<Envelope> Envelope::decode(ByteView bytes) {
  json_text::ScratchArena arena;
  auto parsed = json_text::parse(asText(bytes), arena.storage());
  if (!parsed) return parsed.error();
  const json::object* object = parsed->if_object();
  if (object == nullptr) return DecodeError{"expected a JSON object"};

  Envelope envelope;
  json_codec::Failure failure;
  const json::value* version = object->if_contains("version");
  if (version == nullptr) return DecodeError{"version: missing key"};
  if (!json_codec::decodeInteger(*version, envelope.version, failure)) {
    failure.enter("version");
    return DecodeError{failure.describe()};
  }

  const json::value* id = object->if_contains("id");
  if (id == nullptr) return DecodeError{"id: missing key"};
  if (!id->is_string()) return DecodeError{"id: expected a string"};
  envelope.id = MessageID(std::string(id->get_string()));

  const json::value* correlation = object->if_contains("correlationID");
  if (correlation != nullptr && !correlation->is_null()) {
    if (!correlation->is_string()) return DecodeError{"correlationID: expected a string"};
    envelope.correlationID = MessageID(std::string(correlation->get_string()));
  }

  const json::value* payload = object->if_contains("payload");
  if (payload == nullptr) return DecodeError{"payload: missing key"};
  auto decodedPayload = decodePayload(*payload);
  if (!decodedPayload) return decodedPayload.error();
  envelope.payload = std::move(decodedPayload).value();
  return envelope;
}

}  // namespace lumora::protocol
