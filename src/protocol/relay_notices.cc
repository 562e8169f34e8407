#include "protocol/relay_notices.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>

#include "protocol/base64.h"
#include "protocol/room_key.h"

namespace lumora::protocol::RelayNotice {

namespace json = boost::json;

namespace {

constexpr std::string_view kMediaSuffix = "-media";
constexpr std::size_t kFingerprintSize = 64;

// The object of a notice of `type`, or nothing.
std::optional<json::object> noticeOf(std::string_view text, std::string_view type) {
  if (text.size() > kMaxSize) return std::nullopt;
  boost::system::error_code error;
  json::value value = json::parse(text, error);
  if (error || !value.is_object()) return std::nullopt;
  auto& object = value.as_object();
  const auto* found = object.if_contains("type");
  if (found == nullptr || !found->is_string() || found->as_string() != type) return std::nullopt;
  return std::move(object);
}

std::optional<std::string> stringOf(const json::object& object, std::string_view key) {
  const auto* found = object.if_contains(key);
  if (found == nullptr || !found->is_string()) return std::nullopt;
  return std::string(found->as_string());
}

std::optional<Bytes> bytesOf(const json::object& object, std::string_view key, std::size_t size) {
  auto text = stringOf(object, key);
  if (!text) return std::nullopt;
  auto bytes = base64Decode(*text);
  if (!bytes || bytes->size() != size) return std::nullopt;
  return bytes;
}

}  // namespace

bool isRoom(std::string_view room) {
  if (room.ends_with(kMediaSuffix)) room.remove_suffix(kMediaSuffix.size());
  return room.size() == kFingerprintSize && std::all_of(room.begin(), room.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::string_view fingerprintOfRoom(std::string_view room) {
  return room.substr(0, std::min(room.size(), kFingerprintSize));
}

std::string challenge(ByteView nonce) {
  return json::serialize(json::object{{"type", "challenge"}, {"nonce", base64Encode(nonce)}});
}

std::optional<Bytes> parseChallenge(std::string_view text) {
  auto object = noticeOf(text, "challenge");
  if (!object) return std::nullopt;
  return bytesOf(*object, "nonce", kChallengeSize);
}

std::string proof(ByteView roomKey, ByteView signature) {
  return json::serialize(json::object{
      {"type", "proof"}, {"key", base64Encode(roomKey)}, {"signature", base64Encode(signature)}});
}

bool verifyProof(std::string_view room, ByteView challenge, std::string_view text) {
  auto object = noticeOf(text, "proof");
  if (!object || !isRoom(room)) return false;
  auto key = bytesOf(*object, "key", RoomKey::kPublicKeySize);
  auto signature = bytesOf(*object, "signature", RoomKey::kSignatureSize);
  return key && signature && roomFingerprint(*key) == fingerprintOfRoom(room) &&
         verifyRoomSignature(*key, hostProofMessage(room, challenge), *signature);
}

std::string admitted() { return R"({"type":"admitted"})"; }

bool isAdmitted(std::string_view text) { return noticeOf(text, "admitted").has_value(); }

std::string peerJoined(std::string_view account) {
  return json::serialize(json::object{{"type", "peer"}, {"account", account}});
}

std::optional<std::string> parsePeerJoined(std::string_view text) {
  auto object = noticeOf(text, "peer");
  if (!object) return std::nullopt;
  return stringOf(*object, "account");
}

}  // namespace lumora::protocol::RelayNotice
