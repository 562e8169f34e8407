// base64url and PKCE's S256 challenge, which the desktop sign-ins and the account service's
// provider stand-ins share.

#include "protocol/pkce.h"

#include <gtest/gtest.h>

#include <regex>

#include "protocol/base64.h"

namespace lumora::protocol {
namespace {

// RFC 7636, appendix B.
const Bytes kAppendixBOctets = {116, 24,  223, 180, 151, 153, 224, 37,  79,  250, 96,
                                125, 216, 173, 187, 186, 22,  212, 37,  77,  105, 214,
                                191, 240, 91,  88,  5,   88,  83,  132, 141, 121};
constexpr const char* kAppendixBVerifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
constexpr const char* kAppendixBChallenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";

TEST(Base64URL, WritesTheUrlSafeAlphabetWithoutPaddingAndReadsOnlyThat) {
  EXPECT_EQ(base64URLEncode(kAppendixBOctets), kAppendixBVerifier);
  // The characters standard Base64 would write as "+", "/" and "=".
  EXPECT_EQ(base64URLEncode(Bytes{0xfb, 0xff}), "-_8");
  EXPECT_EQ(base64URLDecode("-_8"), (Bytes{0xfb, 0xff}));
  EXPECT_EQ(base64URLDecode(kAppendixBVerifier), kAppendixBOctets);
  EXPECT_EQ(base64URLDecode(""), Bytes{});
  for (const char* bad : {"+_8", "-/8", "-_8=", "Zm9vY", "Zm 9v", "Zm9v\n"}) {
    EXPECT_FALSE(base64URLDecode(bad)) << bad;
  }
}

TEST(Pkce, MatchesTheRfc7636ExampleAndMakesFreshVerifiers) {
  EXPECT_EQ(pkce::s256Challenge(kAppendixBVerifier), kAppendixBChallenge);
  const std::string verifier = pkce::newCodeVerifier();
  EXPECT_TRUE(std::regex_match(verifier, std::regex("[A-Za-z0-9_-]{43}"))) << verifier;
  EXPECT_TRUE(pkce::isCodeVerifier(verifier));
  EXPECT_NE(pkce::newCodeVerifier(), verifier);
}

TEST(Pkce, AVerifierIs43To128UnreservedCharacters) {
  EXPECT_TRUE(pkce::isCodeVerifier(std::string(43, 'a')));
  EXPECT_TRUE(pkce::isCodeVerifier(std::string(128, '~')));
  EXPECT_TRUE(pkce::isCodeVerifier("Az09-._~" + std::string(35, 'x')));
  EXPECT_FALSE(pkce::isCodeVerifier(std::string(42, 'a')));
  EXPECT_FALSE(pkce::isCodeVerifier(std::string(129, 'a')));
  for (char bad : {'+', '/', '=', ' ', '%', '&', '\0', '\xc3'}) {
    EXPECT_FALSE(pkce::isCodeVerifier(std::string(42, 'a') + bad)) << static_cast<int>(bad);
  }
}

}  // namespace
}  // namespace lumora::protocol
