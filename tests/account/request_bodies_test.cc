// The request bodies' refusals, worded for the person reading the service's answer: each names
// the field and what it must be. (How a refusal is answered is api_test's.)

#include "account/request_bodies.h"

#include <gtest/gtest.h>

#include <string>

namespace lumora::account {
namespace {

template <class T>
std::string refusalOf(const Parsed<T>& parsed) {
  const auto* error = std::get_if<ApiError>(&parsed);
  if (error == nullptr) return "accepted";
  EXPECT_EQ(error->status, 400);
  EXPECT_EQ(error->code, "bad_request");
  return error->message;
}

const std::string kKey = "\"roomKey\":\"" + std::string(43, 'A') + "=\"";           // 32 bytes
const std::string kSignature = "\"signature\":\"" + std::string(86, 'A') + "==\"";  // 64 bytes

TEST(RequestBodies, RefusalsNameTheFieldAndWhatItMustBe) {
  const std::string verifier =
      "\"codeVerifier\" must be 43 to 128 letters, digits, \"-\", \".\", \"_\" or \"~\"";
  for (const auto& [body, message] : std::vector<std::pair<std::string, std::string>>{
           {"{\"provider\":", "the body is not valid JSON"},
           {"[]", "the body must be a JSON object"},
           {R"({"token":"t"})", "\"provider\" is required"},
           {R"({"provider":7,"token":"t"})", "\"provider\" must be a string"},
           {R"({"provider":"","token":"t"})", "\"provider\" must not be empty"},
           {R"({"provider":")" + std::string(33, 'p') + R"(","token":"t"})",
            "\"provider\" is longer than 32 bytes"},
           {R"({"provider":"github","token":"t","codeVerifier":"short"})", verifier},
           {R"({"provider":"github","token":"t","codeVerifier":5})", verifier},
           {R"({"provider":"github","token":"t","codeVerifier":")" + std::string(43, 'v') + R"("})",
            "accepted"},
       }) {
    EXPECT_EQ(refusalOf(parseLoginRequest(body)), message) << body;
  }

  for (const auto& [body, message] : std::vector<std::pair<std::string, std::string>>{
           {R"({"host":"h","controlPort":"1","mediaPort":2})",
            "\"controlPort\" must be an integer"},
           {R"({"host":"h","controlPort":70000,"mediaPort":2})",
            "\"controlPort\" must be a port (0-65535)"},
           {R"({"host":"h","controlPort":0,"mediaPort":65535})", "accepted"},
       }) {
    EXPECT_EQ(refusalOf(parseConnectionReport(body)), message) << body;
  }

  EXPECT_EQ(
      refusalOf(parseRelayTokenRequest(R"({"fingerprint":")" + std::string(64, 'A') + R"("})")),
      "\"fingerprint\" must be 64 lower-case hexadecimal digits");
}

TEST(RequestBodies, ARoomKeyComesWithItsNonceAndSignatureAndAFingerprintAloneIsRefused) {
  const std::string device = R"({"name":"desk","platform":"linux",)";
  for (const auto& [rest, message] : std::vector<std::pair<std::string, std::string>>{
           {R"("pairingFingerprint":"ab"})",
            "\"pairingFingerprint\" is not taken: prove the pairing with \"roomKey\", "
            "\"nonce\" and \"signature\""},
           {R"("roomKey":"AAAA"})", "\"roomKey\" must be 32 bytes in Base64"},
           {R"("roomKey":"not base64!"})", "\"roomKey\" must be 32 bytes in Base64"},
           {kKey + "}", "\"nonce\" is required"},
           {kKey + R"(,"nonce":"n"})", "\"signature\" is required"},
           {kKey + R"(,"nonce":"n","signature":"AAAA"})",
            "\"signature\" must be 64 bytes in Base64"},
           {kKey + R"(,"nonce":"n",)" + kSignature + "}", "accepted"},
           // Without a key there is no proof to check.
           {R"("nonce":"n","pairingFingerprint":null,"extra":true})", "accepted"},
       }) {
    EXPECT_EQ(refusalOf(parseDeviceRegistration(device + rest)), message) << rest;
  }
}

}  // namespace
}  // namespace lumora::account
