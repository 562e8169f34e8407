#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/bytes.h"

namespace lumora::protocol {

// The relay's own words with a room's host, as WebSocket text messages; binary messages belong
// to the two sides and the relay never reads them (docs/relay-protocol.md, section 1):
//   relay → host   {"type":"challenge","nonce":base64(32 bytes)}
//   host → relay   {"type":"proof","key":base64(room key),"signature":base64(signature)}
//   relay → host   {"type":"admitted"}
//   relay → host   {"type":"peer","account":ID}, when a peer joins the room
// Pure; parsing never throws on what the other end sent.
namespace RelayNotice {

inline constexpr std::size_t kChallengeSize = 32;
// The longest notice either end sends; a longer text message is not one.
inline constexpr std::size_t kMaxSize = 1024;

// A relay room's name: a room fingerprint (64 lower-case hexadecimal digits) for the control
// room, or one followed by "-media" for the media room.
bool isRoom(std::string_view room);
// The fingerprint a room is named after (the name without "-media").
std::string_view fingerprintOfRoom(std::string_view room);

std::string challenge(ByteView nonce);
std::optional<Bytes> parseChallenge(std::string_view text);

std::string proof(ByteView roomKey, ByteView signature);
// Whether `text` proves that its sender holds the key `room` is named after, answering
// `challenge`.
bool verifyProof(std::string_view room, ByteView challenge, std::string_view text);

std::string admitted();
bool isAdmitted(std::string_view text);

std::string peerJoined(std::string_view account);
// The account of a "peer" notice.
std::optional<std::string> parsePeerJoined(std::string_view text);

}  // namespace RelayNotice
}  // namespace lumora::protocol
