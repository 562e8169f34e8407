// What the service offers the browser client: its files at /app/ under a policy that keeps the
// page to itself, and the sign-in providers a client may use.

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <fstream>

#include "protocol/relay_address.h"
#include "service_harness.h"
#include "support/temp_dir.h"

namespace lumora::account::testing {
namespace {

namespace json = boost::json;

// A folder as the web build leaves it, and a secret file beside it that must never be served.
struct WebFolder {
  WebFolder() {
    std::filesystem::create_directory(root / "web");
    write("web/index.html", "<!doctype html><title>Lumora</title>");
    write("web/app.js", "console.log(1)");
    write("secret.txt", "not for anyone");
    write("web/cmake_install.cmake", "not a page's file");
    std::filesystem::create_directory(root / "web/sub");
    write("web/sub/inner.js", "nested");
  }
  void write(const std::string& name, const std::string& content) const {
    std::ofstream(root / name) << content;
  }
  std::string path() const { return root / "web"; }
  testing_support::TempDir root;
};

TEST(WebClientRoutesTest, ThePageAndItsFilesAreServedWithAPolicyThatKeepsThemToThemselves) {
  WebFolder folder;
  ServiceUnderTest service([&](ServiceConfig& config) { config.webRoot = folder.path(); });
  auto client = service.client();

  Reply page = client.get("/app/");
  ASSERT_EQ(page.status, 200);
  EXPECT_EQ(page.body, "<!doctype html><title>Lumora</title>");
  EXPECT_EQ(page.header("Content-Type"), "text/html; charset=utf-8");
  const std::string policy = page.header("Content-Security-Policy");
  for (const char* part : {"script-src 'self';", "frame-ancestors 'none'", "object-src 'none'",
                           "base-uri 'none'", "connect-src 'self'"}) {
    EXPECT_NE(policy.find(part), std::string::npos) << part << " in " << policy;
  }
  EXPECT_EQ(policy.find("unsafe-inline"), std::string::npos) << policy;
  EXPECT_EQ(page.header("Referrer-Policy"), "no-referrer");
  EXPECT_EQ(page.header("X-Content-Type-Options"), "nosniff");
  EXPECT_EQ(page.header("Cache-Control"), "no-store");

  Reply script = client.get("/app/app.js?v=2");
  EXPECT_EQ(script.status, 200);
  EXPECT_EQ(script.body, "console.log(1)");
  EXPECT_EQ(script.header("Content-Type"), "text/javascript; charset=utf-8");

  // Only the page's own kinds of file in the folder itself, by their own names: nothing above
  // it, nothing below, nothing a build leaves there.
  for (const char* target :
       {"/app/../secret.txt", "/app/%2e%2e/secret.txt", "/app/..%2fsecret.txt", "/app/sub/inner.js",
        "/app/sub", "/app/.", "/app//etc/passwd", "/app/missing.js", "/app/cmake_install.cmake"}) {
    Reply refused = client.get(target);
    EXPECT_EQ(refused.status, 404) << target;
    EXPECT_EQ(refused.body.find("not for anyone"), std::string::npos) << target;
  }
  Reply posted = client.request("POST", "/app/index.html", "{}");
  EXPECT_EQ(posted.status, 405);
  EXPECT_EQ(posted.header("Allow"), "GET");

  // Files written after the start are not served: the folder was read once.
  folder.write("web/late.js", "late");
  EXPECT_EQ(client.get("/app/late.js").status, 404);
}

TEST(WebClientRoutesTest, ClientsAreToldWhichProvidersTheServiceTakesAndWhere) {
  ServiceUnderTest dev;  // --dev: the stand-ins of this very service, and the dev provider
  // Exactly these members: nothing secret, no token endpoint for GitHub's code.
  const std::string standIns = dev.url() + "/dev/";
  const json::array expected{json::object{{"id", "google"},
                                          {"clientId", "lumora-dev.apps.example"},
                                          {"authorizeUrl", standIns + "google/authorize"},
                                          {"tokenUrl", standIns + "google/token"}},
                             json::object{{"id", "github"},
                                          {"clientId", "lumoradevclient00000"},
                                          {"authorizeUrl", standIns + "github/authorize"}},
                             json::object{{"id", "dev"}}};
  EXPECT_EQ(dev.client().get("/auth/providers").json(), (json::object{{"providers", expected}}));

  WebFolder folder;
  ServiceUnderTest real([&](ServiceConfig& config) {
    config.dev = false;
    config.webRoot = folder.path();
    config.providers.google.clientIds = {"first.apps.example", "second.apps.example"};
    config.providers.github.clientSecret = "s3cret";  // no client id: GitHub stays off
  });
  EXPECT_EQ(real.client().get("/auth/providers").json(),
            json::parse(R"({"providers":[{"id":"google","clientId":"first.apps.example",
               "authorizeUrl":"https://accounts.google.com/o/oauth2/v2/auth",
               "tokenUrl":"https://oauth2.googleapis.com/token"}]})"));
  // The page may exchange Google's code at Google, and nowhere else beyond its own origin.
  const std::string policy = real.client().get("/app/").header("Content-Security-Policy");
  EXPECT_NE(policy.find("connect-src 'self' https://oauth2.googleapis.com;"), std::string::npos)
      << policy;
}

TEST(WebClientRoutesTest, TheWebPairingLinkKeepsTheCodeInTheFragmentOfTheServicesPage) {
  EXPECT_EQ(protocol::webPairingLink("https://accounts.example:8443/x", "00ff"),
            "https://accounts.example:8443/app/#pair=00ff");
  EXPECT_EQ(protocol::webPairingLink("ws://127.0.0.1:8780", "ab"),
            "http://127.0.0.1:8780/app/#pair=ab");
  EXPECT_EQ(protocol::webPairingLink("wss://relay.example", "ab"),
            "https://relay.example/app/#pair=ab");
  EXPECT_EQ(protocol::webPairingLink("ftp://relay.example", "ab"), std::nullopt);
}

}  // namespace
}  // namespace lumora::account::testing
