#include "account/request_bodies.h"

#include <boost/json/parse.hpp>

#include <algorithm>

#include "protocol/base64.h"
#include "protocol/pkce.h"

namespace lumora::account {
namespace {

namespace json = boost::json;

constexpr std::size_t kMaxName = 200;
constexpr std::size_t kMaxPlatform = 64;
constexpr std::size_t kMaxHost = 255;
constexpr std::size_t kMaxCredential = 16 * 1024;
constexpr std::size_t kMaxNonce = 512;

ApiError badRequest(std::string message) { return {400, "bad_request", std::move(message)}; }

// The body as an object, or the refusal.
std::variant<json::object, ApiError> objectOf(std::string_view body) {
  boost::system::error_code ec;
  json::value value = json::parse(body, ec);
  if (ec) return badRequest("the body is not valid JSON");
  if (!value.is_object()) return badRequest("the body must be a JSON object");
  return std::move(value.as_object());
}

// A required text of 1..limit bytes.
std::variant<std::string, ApiError> text(const json::object& object, std::string_view key,
                                         std::size_t limit) {
  const json::value* value = object.if_contains(key);
  if (value == nullptr || value->is_null())
    return badRequest("\"" + std::string(key) + "\" is required");
  if (!value->is_string()) return badRequest("\"" + std::string(key) + "\" must be a string");
  const json::string& string = value->get_string();
  if (string.empty()) return badRequest("\"" + std::string(key) + "\" must not be empty");
  if (string.size() > limit) {
    return badRequest("\"" + std::string(key) + "\" is longer than " + std::to_string(limit) +
                      " bytes");
  }
  return std::string(string);
}

std::variant<int, ApiError> port(const json::object& object, std::string_view key) {
  const json::value* value = object.if_contains(key);
  if (value == nullptr || value->is_null())
    return badRequest("\"" + std::string(key) + "\" is required");
  if (!value->is_int64() && !value->is_uint64()) {
    return badRequest("\"" + std::string(key) + "\" must be an integer");
  }
  const auto number = value->is_int64() ? value->get_int64() : -1;
  if (number < 0 || number > 65535) {
    return badRequest("\"" + std::string(key) + "\" must be a port (0-65535)");
  }
  return static_cast<int>(number);
}

std::variant<std::string, ApiError> fingerprint(const json::object& object, std::string_view key) {
  auto value = text(object, key, 64);
  if (auto* found = std::get_if<std::string>(&value); found && !isPairingFingerprint(*found)) {
    return badRequest("\"" + std::string(key) + "\" must be 64 lower-case hexadecimal digits");
  }
  return value;
}

// Standard Base64 of exactly `size` bytes.
std::variant<protocol::Bytes, ApiError> binary(const json::object& object, std::string_view key,
                                               std::size_t size) {
  auto value = text(object, key, protocol::base64EncodedSize(size));
  if (auto* refused = std::get_if<ApiError>(&value)) return std::move(*refused);
  auto bytes = protocol::base64Decode(std::get<std::string>(value));
  if (!bytes || bytes->size() != size) {
    return badRequest("\"" + std::string(key) + "\" must be " + std::to_string(size) +
                      " bytes in Base64");
  }
  return std::move(*bytes);
}

// Unwraps a field into `out`, or leaves the refusal in `error`.
template <class T>
bool take(std::variant<T, ApiError> field, T& out, std::optional<ApiError>& error) {
  if (auto* refused = std::get_if<ApiError>(&field)) {
    error = std::move(*refused);
    return false;
  }
  out = std::move(std::get<T>(field));
  return true;
}

// Parses the body and runs `fill` over its object; the first refusal wins.
template <class T, class Fill>
Parsed<T> parse(std::string_view body, Fill fill) {
  auto parsed = objectOf(body);
  if (auto* refused = std::get_if<ApiError>(&parsed)) return std::move(*refused);
  const json::object& object = std::get<json::object>(parsed);
  T result;
  std::optional<ApiError> error;
  fill(object, result, error);
  if (error) return std::move(*error);
  return result;
}

}  // namespace

bool isPairingFingerprint(std::string_view text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

Parsed<LoginRequest> parseLoginRequest(std::string_view body) {
  return parse<LoginRequest>(body, [](const json::object& o, LoginRequest& r, auto& error) {
    if (!take(text(o, "provider", 32), r.provider, error) ||
        !take(text(o, "token", kMaxCredential), r.token, error)) {
      return;
    }
    const json::value* given = o.if_contains("codeVerifier");
    if (given == nullptr || given->is_null()) return;
    if (!given->is_string() || !protocol::pkce::isCodeVerifier(given->get_string())) {
      error = badRequest(
          "\"codeVerifier\" must be 43 to 128 letters, digits, \"-\", \".\", \"_\" or \"~\"");
      return;
    }
    r.codeVerifier = std::string(given->get_string());
  });
}

Parsed<RefreshRequest> parseRefreshRequest(std::string_view body) {
  return parse<RefreshRequest>(body, [](const json::object& o, RefreshRequest& r, auto& error) {
    take(text(o, "refreshToken", 1024), r.refreshToken, error);
  });
}

Parsed<DeviceRegistration> parseDeviceRegistration(std::string_view body) {
  return parse<DeviceRegistration>(
      body, [](const json::object& o, DeviceRegistration& r, auto& error) {
        if (!take(text(o, "name", kMaxName), r.name, error) ||
            !take(text(o, "platform", kMaxPlatform), r.platform, error)) {
          return;
        }
        // A fingerprint alone proves nothing: anyone who saw it could register it.
        const json::value* legacy = o.if_contains("pairingFingerprint");
        if (legacy != nullptr && !legacy->is_null()) {
          error = badRequest(
              "\"pairingFingerprint\" is not taken: prove the pairing with \"roomKey\", "
              "\"nonce\" and \"signature\"");
          return;
        }
        const json::value* key = o.if_contains("roomKey");
        if (key == nullptr || key->is_null()) return;
        RoomKeyProof proof;
        if (take(binary(o, "roomKey", 32), proof.roomKey, error) &&
            take(text(o, "nonce", kMaxNonce), proof.nonce, error) &&
            take(binary(o, "signature", 64), proof.signature, error)) {
          r.proof = std::move(proof);
        }
      });
}

Parsed<DeviceRename> parseDeviceRename(std::string_view body) {
  return parse<DeviceRename>(body, [](const json::object& o, DeviceRename& r, auto& error) {
    take(text(o, "name", kMaxName), r.name, error);
  });
}

Parsed<ConnectionReport> parseConnectionReport(std::string_view body) {
  return parse<ConnectionReport>(body, [](const json::object& o, ConnectionReport& r, auto& error) {
    take(text(o, "host", kMaxHost), r.host, error) &&
        take(port(o, "controlPort"), r.controlPort, error) &&
        take(port(o, "mediaPort"), r.mediaPort, error);
  });
}

Parsed<RelayTokenRequest> parseRelayTokenRequest(std::string_view body) {
  return parse<RelayTokenRequest>(body,
                                  [](const json::object& o, RelayTokenRequest& r, auto& error) {
                                    take(fingerprint(o, "fingerprint"), r.fingerprint, error);
                                  });
}

}  // namespace lumora::account
