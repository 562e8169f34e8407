#include "protocol/pkce.h"

#include <algorithm>

#include "protocol/auth_crypto.h"
#include "protocol/base64.h"

namespace lumora::protocol::pkce {

std::string newCodeVerifier() { return AuthCrypto::randomToken(32); }

std::string s256Challenge(std::string_view verifier) {
  return base64URLEncode(AuthCrypto::sha256(asBytes(verifier)));
}

bool isCodeVerifier(std::string_view text) {
  return text.size() >= 43 && text.size() <= 128 &&
         std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.' || c == '_' || c == '~';
         });
}

}  // namespace lumora::protocol::pkce
