// Identity checks: ID tokens against a test key, the service's own tokens, and sign-ins the
// service refuses through the --dev stand-ins of Google and GitHub over HTTP. (A whole Google
// sign-in, browser and all, is the lumora program's CliLogin test.)

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/url/parse.hpp>

#include "account/dev_providers.h"
#include "account/id_token.h"
#include "account/token_signer.h"
#include "protocol/pkce.h"
#include "service_harness.h"

namespace lumora::account::testing {
namespace {

namespace json = boost::json;

constexpr Millis kNow = 1'800'000'000'000;
const IdTokenRules kRules{{"https://issuer.example"}, {"our-client"}};

json::object claims(std::int64_t expiresIn = 3600) {
  return {
      {"iss", "https://issuer.example"}, {"aud", "our-client"}, {"sub", "1234"},
      {"email", "ada@example.com"},      {"iat", kNow / 1000},  {"exp", kNow / 1000 + expiresIn}};
}

// One RSA key for every case: making one takes a while.
const IdTokenSigner& signer() {
  static const IdTokenSigner key("key-1");
  return key;
}

std::string why(std::string_view token, const json::object& key) {
  auto result = verifyIdToken(token, key, kRules, kNow);
  return result.index() == 1 ? std::get<1>(result) : std::string("accepted");
}

TEST(IdTokenTest, AGoodTokenGivesItsClaims) {
  auto result = verifyIdToken(signer().sign(claims()), signer().publicJwk(), kRules, kNow);
  ASSERT_EQ(result.index(), 0u) << std::get<1>(result);
  EXPECT_EQ(std::get<0>(result).at("sub"), "1234");
  // An audience list naming us is as good.
  auto listed = claims();
  listed["aud"] = json::array{"someone-else", "our-client"};
  EXPECT_EQ(why(signer().sign(listed), signer().publicJwk()), "accepted");
}

TEST(IdTokenTest, ClaimsThatDoNotFitAreRefused) {
  const auto key = signer().publicJwk();
  auto with = [](const char* name, json::value value) {
    auto c = claims();
    c[name] = std::move(value);
    return signer().sign(c);
  };
  EXPECT_EQ(why(with("aud", "another-client"), key), "issued for another client");
  EXPECT_EQ(why(with("iss", "https://evil.example"), key), "wrong issuer");
  EXPECT_EQ(why(signer().sign(claims(-120)), key), "expired");
  EXPECT_EQ(why(signer().sign(claims(-30)), key), "accepted");  // within the clock skew
  EXPECT_EQ(why(with("nbf", kNow / 1000 + 600), key), "not valid yet");
  EXPECT_EQ(why(with("exp", 1e300), key), "accepted");
  EXPECT_EQ(why(with("exp", "tomorrow"), key), "no expiry");
  EXPECT_EQ(why(with("sub", ""), key), "no subject");
}

TEST(IdTokenTest, OnlyTheProvidersKeyAndRs256Verify) {
  const std::string token = signer().sign(claims());
  IdTokenSigner impostor("key-1");
  EXPECT_EQ(why(impostor.sign(claims()), signer().publicJwk()), "the signature does not verify");
  // A payload swapped under a valid signature.
  const auto dot = token.find('.');
  const auto lastDot = token.rfind('.');
  const std::string swapped = token.substr(0, dot + 1) +
                              base64url(json::serialize(json::value(claims(99999)))) +
                              token.substr(lastDot);
  EXPECT_EQ(why(swapped, signer().publicJwk()), "the signature does not verify");

  // "none", and HS256 keyed with the public key's text, are never taken.
  const std::string payload = token.substr(dot + 1, lastDot - dot - 1);
  for (const char* alg : {"none", "HS256", "RS512"}) {
    const std::string header =
        base64url(json::serialize(json::value{{"alg", alg}, {"kid", "key-1"}}));
    EXPECT_EQ(why(header + "." + payload + ".", signer().publicJwk()), "the algorithm is not RS256")
        << alg;
  }
  auto encryptionKey = signer().publicJwk();
  encryptionKey["use"] = "enc";
  EXPECT_EQ(why(token, encryptionKey), "the provider's key is not a signing key");
  EXPECT_EQ(why("a.b", signer().publicJwk()), "not a compact JWS");
  EXPECT_EQ(why("!!.b.c", signer().publicJwk()), "the header is not JSON");
}

// The parts of the service's own bearer tokens that no route test reaches.
TEST(TokenSignerTest, TokensAreBoundToTheirKindSecretAndRoom) {
  TokenSigner signer("secret");
  TokenSigner other("other secret");
  const std::string access = signer.issueAccessToken("user-1", 2000);
  EXPECT_EQ(signer.verifyAccessToken(access, 1999), "user-1");
  EXPECT_FALSE(signer.verifyAccessToken(access, 2000));
  EXPECT_FALSE(other.verifyAccessToken(access, 0));
  // A relay token for a room opens it and its media room (relay_test), and no other.
  EXPECT_FALSE(signer.verifyAccessToken(signer.issueRelayToken("user-1", "room", 2000), 0));
  EXPECT_FALSE(TokenSigner::roomAdmits("room", "room-media-media"));
  // A registration nonce names its account and ends with its lifetime.
  const std::string nonce = signer.issueRegistrationNonce("user-1", 2000);
  EXPECT_TRUE(signer.verifyRegistrationNonce(nonce, "user-1", 1999));
  EXPECT_FALSE(signer.verifyRegistrationNonce(nonce, "user-2", 0));
  EXPECT_FALSE(signer.verifyRegistrationNonce(nonce, "user-1", 2000));
}

std::string queryValue(const std::string& url, const char* name) {
  auto parsed = boost::urls::parse_uri_reference(url);
  if (!parsed) return {};
  auto found = parsed->params().find(name);
  return found == parsed->params().end() ? std::string() : std::string((*found).value);
}

class ProviderSignInTest : public ::testing::Test {
 protected:
  // The code GitHub's stand-in hands back for a sign-in with `verifier`'s challenge.
  std::string githubCode(const std::string& verifier) {
    Reply redirect = service_.client().get(
        "/dev/github/authorize?client_id=lumoradevclient00000&redirect_uri=lumora://oauth/github"
        "&scope=read:user%20user:email&state=st-1&login=octo&code_challenge_method=S256"
        "&code_challenge=" +
        protocol::pkce::s256Challenge(verifier));
    EXPECT_EQ(redirect.status, 302) << redirect.body;
    EXPECT_EQ(queryValue(redirect.header("Location"), "state"), "st-1");
    return queryValue(redirect.header("Location"), "code");
  }
  Reply login(const std::string& provider, const std::string& token,
              const std::optional<std::string>& codeVerifier = std::nullopt) {
    json::object body{{"provider", provider}, {"token", token}};
    if (codeVerifier) body["codeVerifier"] = *codeVerifier;
    return service_.client().post("/auth/login", body);
  }

  ServiceUnderTest service_;
};

TEST_F(ProviderSignInTest, AGoogleTokenFromAnUnknownKeyIsRefused) {
  IdTokenSigner stranger("not-in-the-jwks");
  const Millis now = service_.now() / 1000;
  const std::string token = stranger.sign({{"iss", service_.service().dev()->googleIssuer()},
                                           {"aud", "lumora-dev.apps.example"},
                                           {"sub", "x"},
                                           {"iat", now},
                                           {"exp", now + 600}});
  Reply refused = login("google", token);
  EXPECT_EQ(refused.status, 401);
  EXPECT_NE(refused.json().at("message").as_string().find("unknown signing key"),
            json::string::npos);
}

TEST_F(ProviderSignInTest, GitHubCodesAreExchangedOnceAndOnlyWithTheirVerifierForTheUser) {
  // A code caught on its way back to the desktop, handed in with a verifier of the thief's own
  // or none: GitHub (here its stand-in) refuses the exchange, and the code dies with it.
  const std::string verifier = protocol::pkce::newCodeVerifier();
  const std::string caught = githubCode(verifier);
  Reply wrong = login("github", caught, protocol::pkce::newCodeVerifier());
  EXPECT_EQ(wrong.status, 401) << wrong.body;
  EXPECT_EQ(wrong.json().at("error"), "invalid_credential");
  EXPECT_EQ(login("github", caught, verifier).status, 401) << "codes are single-use";

  const std::string code = githubCode(verifier);
  ASSERT_FALSE(code.empty());
  Reply signedIn = login("github", code, verifier);
  ASSERT_EQ(signedIn.status, 200) << signedIn.body;
  auto user = signedIn.json().at("user").as_object();
  user.erase("id");
  // The e-mail comes from the account's e-mail list.
  EXPECT_EQ(user, json::parse(R"({"provider":"github","email":"octo@users.example",
                                  "displayName":"octo"})"));
  EXPECT_EQ(login("github", code, verifier).status, 401);
}

}  // namespace
}  // namespace lumora::account::testing
