// What the providers see of a sign-in: the authorization URLs, the token form, and how the code
// is read back out of the browser's redirect.

#include <gtest/gtest.h>

#include "sdk/oauth/github_oauth.h"
#include "sdk/oauth/google_oauth.h"
#include "sdk/oauth/oauth_urls.h"
#include "sdk/oauth/provider_directory.h"
#include "support/scoped_environment.h"

namespace lumora::sdk {
namespace {

// RFC 7636, appendix B (the challenge's own tests are the protocol's).
constexpr const char* kAppendixBChallenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";

TEST(AuthorizationUrls, CarryTheirItemsInOrder) {
  EXPECT_EQ(GoogleOAuth().authorizeURL("3F2504E0-4F89-11D3-9A0C-0305E82C3301", kAppendixBChallenge,
                                       loopbackRedirectURI(53682, GoogleOAuth::callbackPath)),
            "https://accounts.google.com/o/oauth2/v2/auth"
            "?client_id=418023736812-7nq2vtb5l0gqlhd3dnq4ca5fr9e1p6mv.apps.googleusercontent.com"
            "&redirect_uri=http://127.0.0.1:53682/oauth2redirect&response_type=code"
            "&scope=openid%20email%20profile&state=3F2504E0-4F89-11D3-9A0C-0305E82C3301"
            "&code_challenge=E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"
            "&code_challenge_method=S256");
  // After its first "=", an item's value may hold "=" as it is.
  EXPECT_EQ(GitHubOAuth().authorizeURL("a b&c=d#e", kAppendixBChallenge,
                                       loopbackRedirectURI(8, GitHubOAuth::callbackPath)),
            "https://github.com/login/oauth/authorize?client_id=Ov23liQ7rLumoraDesk1"
            "&redirect_uri=http://127.0.0.1:8/oauth/github&scope=read:user%20user:email"
            "&state=a%20b%26c=d%23e&code_challenge=E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"
            "&code_challenge_method=S256");
  // An endpoint without a scheme (from the environment or the service's directory) is no URL.
  EXPECT_THROW(GoogleOAuth(GoogleOAuth::Config{.authorizationEndpoint = "accounts.google.com"})
                   .authorizeURL("S", "C", "R"),
               std::invalid_argument);
}

TEST(ProviderDirectory, TheServicesClientsReplaceTheDefaultsAndTheEnvironmentStillWins) {
  const auto directory = ProviderDirectory::parse(R"({"providers":[
      {"id":"google","clientId":"g.example","tokenUrl":"https://t.example/token"},
      {"id":"github","clientId":"h1","authorizeUrl":"https://h.example/authorize"},
      {"id":"apple","clientId":"a1"}, {"id":"dev"}, 7, {"id":"github","clientId":3}]})");
  const auto google = directory.applyTo(GoogleOAuth::Config());
  EXPECT_EQ(google.clientID, "g.example");
  EXPECT_EQ(google.tokenEndpoint, "https://t.example/token");
  EXPECT_EQ(google.authorizationEndpoint, GoogleOAuth::Config().authorizationEndpoint);
  {
    testing_support::ScopedEnvironment mine("LUMORA_GITHUB_CLIENT_ID", "mine");
    const auto github = directory.applyTo(GitHubOAuth::Config());
    EXPECT_EQ(github.clientID, "mine");
    EXPECT_EQ(github.authorizationEndpoint, "https://h.example/authorize");
  }
  // What is not the directory changes nothing.
  for (const char* body : {"", "[]", "{\"providers\":{}}", "<html>"}) {
    const auto none = ProviderDirectory::parse(body);
    EXPECT_FALSE(none.google || none.github) << body;
  }
  EXPECT_FALSE(ProviderDirectory::fetch("http://127.0.0.1:9", std::chrono::seconds(2)).google);
}

TEST(TokenForm, EncodesEverythingButLettersAndDigits) {
  EXPECT_EQ(formEncoded({{"code", "4/0Ab-x_y.z~"}, {"redirect_uri", "http://h:1/p q"}, {"v", "é"}}),
            "code=4%2F0Ab%2Dx%5Fy%2Ez%7E&redirect_uri=http%3A%2F%2Fh%3A1%2Fp%20q&v=%C3%A9");
}

struct CallbackCase {
  const char* url;
  const char* expectedState;
  std::optional<std::string> code;
};

TEST(ParseCode, ReadsTheCodeOnlyWhenTheStateMatches) {
  const std::vector<CallbackCase> cases = {
      {"http://127.0.0.1:1/oauth2redirect?code=4%2F0Ab&state=S1", "S1", "4/0Ab"},
      {"http://127.0.0.1:1/oauth2redirect?state=S1&scope=email&code=abc", "S1", "abc"},
      {"http://127.0.0.1:1/oauth2redirect?code=abc&state=s1", "S1", std::nullopt},
      {"http://127.0.0.1:1/oauth2redirect?code=abc", "S1", std::nullopt},
      {"http://127.0.0.1:1/oauth2redirect?state&code=abc", "S1", std::nullopt},
      {"http://127.0.0.1:1/oauth2redirect?state=&code=abc", "", "abc"},
      {"http://127.0.0.1:1/oauth2redirect?state=S1&state=S2&code=abc", "S2", std::nullopt},
      {"http://127.0.0.1:1/oauth/github?error=access_denied&state=S1", "S1", std::nullopt},
      {"http://127.0.0.1:1/oauth/github?code=&state=S1", "S1", ""},
      {"http://127.0.0.1:1/oauth/github?code&state=S1", "S1", std::nullopt},
      {"http://127.0.0.1:1/oauth/github?code=a+b&code=c&state=S1", "S1", "a+b"},
      {"http://127.0.0.1:1/oauth/github", "S1", std::nullopt},
      {"http://[::1/oauth/github?code=abc&state=S1", "S1", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseAuthorizationCode(c.url, c.expectedState), c.code) << c.url;
  }
}

}  // namespace
}  // namespace lumora::sdk
