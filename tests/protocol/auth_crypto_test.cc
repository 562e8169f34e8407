#include "protocol/auth_crypto.h"

#include <gtest/gtest.h>

#include "protocol/hex.h"
#include "protocol/pairing_secret.h"

namespace lumora::protocol {
namespace {

Bytes fromHex(std::string_view text) { return bytesFromHex(text).value(); }

// One of RFC 4231's vectors: the MAC is HMAC-SHA-256 of the key and the data as given.
TEST(AuthCryptoTest, MacIsHmacSha256) {
  const std::string mac = "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7";
  EXPECT_EQ(hexString(AuthCrypto::mac(Bytes(20, 0x0b), bytesOf("Hi There"))), mac);
  EXPECT_TRUE(AuthCrypto::verify(Bytes(20, 0x0b), bytesOf("Hi There"), fromHex(mac)));
}

TEST(AuthCryptoTest, VerifyRejectsAnyDifference) {
  Bytes secret = PairingSecret::generate().data;
  Bytes nonce = AuthCrypto::randomNonce(32);
  Bytes mac = AuthCrypto::mac(secret, nonce);
  ASSERT_TRUE(AuthCrypto::verify(secret, nonce, mac));

  for (std::size_t bit = 0; bit < mac.size() * 8; bit += 37) {
    Bytes flipped = mac;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(AuthCrypto::verify(secret, nonce, flipped)) << "mac bit " << bit;
  }
  EXPECT_FALSE(AuthCrypto::verify(secret, nonce, Bytes(mac.begin(), mac.end() - 1)));
  EXPECT_FALSE(AuthCrypto::verify(secret, nonce, {}));
}

// A code parsed back is the pairing_secret fuzzer's; here, what codes look like going out and
// what people may type coming in.
TEST(PairingSecretTest, CodesAreLowerCaseHexAndMayBeTypedGroupedAndInEitherCase) {
  const std::string generated = PairingSecret::generate().code();
  EXPECT_EQ(generated.find_first_not_of("0123456789abcdef"), std::string::npos) << generated;
  const std::string code = "00112233445566778899aabbccddeeff";
  const PairingSecret expected{fromHex(code)};
  EXPECT_EQ(expected.code(), code);
  for (std::string variant : {std::string("00112233445566778899AABBCCDDEEFF"),
                              std::string(" -0011223344556677 8899aabbccddeeff- ")}) {
    EXPECT_EQ(PairingSecret::fromCode(variant), expected) << variant;
  }
  for (std::string bad : {code.substr(0, 30), std::string("g") + code.substr(1)}) {
    EXPECT_FALSE(PairingSecret::fromCode(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace lumora::protocol
