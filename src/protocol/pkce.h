#pragma once

#include <string>
#include <string_view>

namespace lumora::protocol::pkce {

// Proof Key for Code Exchange (RFC 7636) as the desktop sign-ins and the account service's
// provider stand-ins both speak it.

// A fresh code verifier: 32 bytes of OpenSSL's random generator in base64url, 43 characters.
// Throws std::runtime_error only if the system cannot supply randomness.
std::string newCodeVerifier();

// The S256 challenge of `verifier`: base64url of its SHA-256.
std::string s256Challenge(std::string_view verifier);

// Whether `text` may be a code verifier: 43 to 128 letters, digits, "-", ".", "_" or "~".
bool isCodeVerifier(std::string_view text);

}  // namespace lumora::protocol::pkce
