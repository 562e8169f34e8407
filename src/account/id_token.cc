#include "account/id_token.h"

// libjose's headers do not declare C linkage themselves.
extern "C" {
#include <jose/jose.h>
}

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "account/token_signer.h"

namespace lumora::account {
namespace {

namespace json = boost::json;

struct JsonDeleter {
  void operator()(json_t* value) const { json_decref(value); }
};
using Jansson = std::unique_ptr<json_t, JsonDeleter>;

Jansson toJansson(const json::value& value) {
  const std::string text = json::serialize(value);
  return Jansson(json_loadb(text.data(), text.size(), 0, nullptr));
}

json::value fromJansson(const json_t* value) {
  char* text = json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY);
  if (text == nullptr) return nullptr;
  json::value parsed = json::parse(text);
  std::free(text);
  return parsed;
}

struct Parts {
  std::string_view header, payload, signature;
};

std::optional<Parts> split(std::string_view token) {
  const auto first = token.find('.');
  if (first == std::string_view::npos) return std::nullopt;
  const auto second = token.find('.', first + 1);
  if (second == std::string_view::npos || token.find('.', second + 1) != std::string_view::npos) {
    return std::nullopt;
  }
  return Parts{token.substr(0, first), token.substr(first + 1, second - first - 1),
               token.substr(second + 1)};
}

std::optional<json::object> decodedObject(std::string_view part) {
  auto text = fromBase64url(part);
  if (!text) return std::nullopt;
  boost::system::error_code ec;
  json::value value = json::parse(*text, ec);
  if (ec || !value.is_object()) return std::nullopt;
  return std::move(value.as_object());
}

// A time claim in seconds, clamped to a few hundred thousand years either way so that turning
// it into milliseconds cannot overflow.
std::optional<std::int64_t> seconds(const json::object& claims, std::string_view name) {
  constexpr double kLimit = 1e13;
  const json::value* value = claims.if_contains(name);
  if (value == nullptr || !value->is_number()) return std::nullopt;
  const double number = std::clamp(value->to_number<double>(), -kLimit, kLimit);
  return static_cast<std::int64_t>(number);
}

bool contains(const std::vector<std::string>& allowed, std::string_view value) {
  return std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}

bool audienceMatches(const json::value* audience, const std::vector<std::string>& allowed) {
  if (audience == nullptr) return false;
  if (audience->is_string()) return contains(allowed, audience->get_string());
  if (!audience->is_array()) return false;
  return std::any_of(audience->get_array().begin(), audience->get_array().end(),
                     [&](const json::value& one) {
                       return one.is_string() && contains(allowed, one.get_string());
                     });
}

}  // namespace

std::variant<std::string, std::string> idTokenKeyId(std::string_view token) {
  using Result = std::variant<std::string, std::string>;
  auto parts = split(token);
  if (!parts) return Result(std::in_place_index<1>, "not a compact JWS");
  auto header = decodedObject(parts->header);
  if (!header) return Result(std::in_place_index<1>, "the header is not JSON");
  const json::value* alg = header->if_contains("alg");
  // Only RS256: accepting what the token asks for would let it pick "none" or an HMAC keyed
  // with the public key.
  if (alg == nullptr || !alg->is_string() || alg->get_string() != "RS256") {
    return Result(std::in_place_index<1>, "the algorithm is not RS256");
  }
  const json::value* kid = header->if_contains("kid");
  if (kid == nullptr || !kid->is_string() || kid->get_string().empty()) {
    return Result(std::in_place_index<1>, "no key id");
  }
  return Result(std::in_place_index<0>, std::string(kid->get_string()));
}

std::variant<json::object, std::string> verifyIdToken(std::string_view token,
                                                      const json::object& jwk,
                                                      const IdTokenRules& rules, Millis now) {
  using Result = std::variant<json::object, std::string>;
  auto refuse = [](std::string why) { return Result(std::in_place_index<1>, std::move(why)); };
  if (auto keyId = idTokenKeyId(token); keyId.index() == 1) return refuse(std::get<1>(keyId));
  const json::value* kty = jwk.if_contains("kty");
  if (kty == nullptr || !kty->is_string() || kty->get_string() != "RSA") {
    return refuse("the provider's key is not an RSA key");
  }
  if (const json::value* use = jwk.if_contains("use"); use && *use != "sig") {
    return refuse("the provider's key is not a signing key");
  }
  const Parts parts = *split(token);

  // libjose checks the signature on the flattened form of the same three parts; the key is
  // pinned to RS256 so nothing in the token can choose another algorithm.
  json::object key = jwk;
  key["alg"] = "RS256";
  key.erase("key_ops");
  Jansson joseKey = toJansson(key);
  Jansson jws(json_pack("{s:s%,s:s%,s:s%}", "protected", parts.header.data(), parts.header.size(),
                        "payload", parts.payload.data(), parts.payload.size(), "signature",
                        parts.signature.data(), parts.signature.size()));
  if (!joseKey || !jws || !jose_jws_ver(nullptr, jws.get(), nullptr, joseKey.get(), false)) {
    return refuse("the signature does not verify");
  }

  auto claims = decodedObject(parts.payload);
  if (!claims) return refuse("the payload is not JSON");
  const json::value* issuer = claims->if_contains("iss");
  if (issuer == nullptr || !issuer->is_string() || !contains(rules.issuers, issuer->get_string())) {
    return refuse("wrong issuer");
  }
  if (!audienceMatches(claims->if_contains("aud"), rules.audiences)) {
    return refuse("issued for another client");
  }
  const auto expires = seconds(*claims, "exp");
  if (!expires) return refuse("no expiry");
  if (*expires * 1000 + rules.clockSkew <= now) return refuse("expired");
  if (auto notBefore = seconds(*claims, "nbf");
      notBefore && *notBefore * 1000 - rules.clockSkew > now) {
    return refuse("not valid yet");
  }
  if (auto issued = seconds(*claims, "iat"); issued && *issued * 1000 - rules.clockSkew > now) {
    return refuse("issued in the future");
  }
  const json::value* subject = claims->if_contains("sub");
  if (subject == nullptr || !subject->is_string() || subject->get_string().empty()) {
    return refuse("no subject");
  }
  return Result(std::in_place_index<0>, std::move(*claims));
}

IdTokenSigner::IdTokenSigner(std::string keyId) : keyId_(std::move(keyId)) {
  Jansson jwk(json_pack("{s:s,s:i}", "kty", "RSA", "bits", 2048));
  if (!jwk || !jose_jwk_gen(nullptr, jwk.get())) throw std::runtime_error("cannot make an RSA key");
  json_object_set_new(jwk.get(), "alg", json_string("RS256"));
  json_object_set_new(jwk.get(), "kid", json_string(keyId_.c_str()));
  privateJwk_ = json::serialize(fromJansson(jwk.get()));
}

std::string IdTokenSigner::sign(const json::object& claims) const {
  const std::string payload = base64url(json::serialize(claims));
  Jansson jwk(json_loads(privateJwk_.c_str(), 0, nullptr));
  Jansson jws(json_pack("{s:s}", "payload", payload.c_str()));
  Jansson signature(json_pack("{s:{s:s,s:s,s:s}}", "protected", "alg", "RS256", "kid",
                              keyId_.c_str(), "typ", "JWT"));
  if (!jwk || !jws || !signature || !jose_jws_sig(nullptr, jws.get(), signature.get(), jwk.get())) {
    throw std::runtime_error("cannot sign the token");
  }
  const char* header = json_string_value(json_object_get(jws.get(), "protected"));
  const char* mac = json_string_value(json_object_get(jws.get(), "signature"));
  if (header == nullptr || mac == nullptr) throw std::runtime_error("the signature has no parts");
  return std::string(header) + "." + payload + "." + mac;
}

json::object IdTokenSigner::publicJwk() const {
  Jansson jwk(json_loads(privateJwk_.c_str(), 0, nullptr));
  if (!jwk || !jose_jwk_pub(nullptr, jwk.get())) throw std::runtime_error("no public key");
  json::object key = fromJansson(jwk.get()).as_object();
  key["use"] = "sig";
  key.erase("key_ops");
  return key;
}

}  // namespace lumora::account
