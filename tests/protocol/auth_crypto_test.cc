#include "protocol/auth_crypto.h"

#include <gtest/gtest.h>

#include <set>

#include "protocol/hex.h"
#include "protocol/pairing_secret.h"

namespace lumora::protocol {
namespace {

Bytes fromHex(std::string_view text) { return bytesFromHex(text).value(); }

TEST(AuthCryptoTest, MacMatchesRfc4231) {
  struct Vector {
    Bytes key;
    Bytes data;
    std::string mac;
  };
  Bytes key25;
  for (int i = 1; i <= 25; ++i) key25.push_back(static_cast<std::uint8_t>(i));
  const Vector vectors[] = {
      {Bytes(20, 0x0b), bytesOf("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {bytesOf("Jefe"), bytesOf("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {Bytes(20, 0xaa), Bytes(50, 0xdd),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {key25, Bytes(50, 0xcd), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {Bytes(131, 0xaa), bytesOf("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {Bytes(131, 0xaa),
       bytesOf("This is a test using a larger than block-size key and a larger than block-size "
               "data. The key needs to be hashed before being used by the HMAC algorithm."),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(hexString(AuthCrypto::mac(v.key, v.data)), v.mac);
    EXPECT_TRUE(AuthCrypto::verify(v.key, v.data, fromHex(v.mac)));
  }
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
  Bytes otherNonce = nonce;
  otherNonce[31] ^= 0x80;
  EXPECT_FALSE(AuthCrypto::verify(secret, otherNonce, mac));
  Bytes otherSecret = secret;
  otherSecret[0] ^= 0x01;
  EXPECT_FALSE(AuthCrypto::verify(otherSecret, nonce, mac));
  EXPECT_FALSE(AuthCrypto::verify(secret, nonce, Bytes(mac.begin(), mac.end() - 1)));
  EXPECT_FALSE(AuthCrypto::verify(secret, nonce, {}));
}

TEST(AuthCryptoTest, NoncesAreFreshAndOfTheAskedSize) {
  std::set<Bytes> seen;
  for (int i = 0; i < 100; ++i) {
    Bytes nonce = AuthCrypto::randomNonce(32);
    ASSERT_EQ(nonce.size(), 32u);
    seen.insert(nonce);
  }
  EXPECT_EQ(seen.size(), 100u);
  EXPECT_TRUE(AuthCrypto::randomNonce(0).empty());
}

TEST(PairingSecretTest, CodeIsLowerCaseHexAndParsesBack) {
  PairingSecret secret = PairingSecret::generate();
  ASSERT_EQ(secret.data.size(), 16u);
  std::string code = secret.code();
  ASSERT_EQ(code.size(), 32u);
  EXPECT_EQ(code.find_first_not_of("0123456789abcdef"), std::string::npos) << code;
  EXPECT_EQ(PairingSecret::fromCode(code), secret);
  EXPECT_NE(PairingSecret::generate(), secret);
}

TEST(PairingSecretTest, CodesMayBeGroupedAndInEitherCase) {
  const std::string code = "00112233445566778899aabbccddeeff";
  const PairingSecret expected{fromHex(code)};
  for (std::string variant : {std::string("00112233445566778899AABBCCDDEEFF"),
                              std::string("0011-2233-4455-6677-8899-aabb-ccdd-eeff"),
                              std::string("0011 2233 4455 6677 8899 AABB ccdd eeff"),
                              std::string(" -0011223344556677 8899aabbccddeeff- ")}) {
    EXPECT_EQ(PairingSecret::fromCode(variant), expected) << variant;
  }
  for (std::string bad :
       {code.substr(0, 30), code + "00", std::string("g") + code.substr(1), std::string(),
        code.substr(0, 31) + "_", code.substr(0, 30) + "\xc3\xa9"}) {
    EXPECT_FALSE(PairingSecret::fromCode(bad).has_value()) << bad;
  }
}

TEST(PairingSecretTest, FingerprintIsTheHexSha256OfTheBytes) {
  PairingSecret zeros{Bytes(16, 0)};
  EXPECT_EQ(zeros.fingerprint(),
            "374708fff7719dd5979ec875d56cd2286f6d3cf7ec317a3b25632aab28ec37bb");
  EXPECT_EQ(zeros.code(), std::string(32, '0'));
}

}  // namespace
}  // namespace lumora::protocol
