#include "account/service_config.h"

#include <boost/asio/ip/address.hpp>
#include <boost/program_options.hpp>

#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "account/sqlite_database.h"

namespace lumora::account {
namespace {

namespace po = boost::program_options;

constexpr const char* kVersion = "0.1.0";

// Splits ADDR:PORT (IPv6 addresses in brackets); false when it is not one.
bool splitListen(const std::string& listen, std::string& host, std::uint16_t& port) {
  const auto colon = listen.rfind(':');
  if (colon == std::string::npos) return false;
  host = listen.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (host.empty()) host = "0.0.0.0";
  const std::string digits = listen.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned long number = std::stoul(digits);
  if (number > 65535) return false;
  port = static_cast<std::uint16_t>(number);
  return true;
}

bool isLoopback(const std::string& host) {
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address(host, ec);
  return !ec && address.is_loopback();
}

// Whether the two paths name one file, existing or not.
bool sameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (std::filesystem::equivalent(a, b, ec)) return true;
  std::error_code ecA, ecB;
  const auto canonicalA = std::filesystem::weakly_canonical(a, ecA);
  const auto canonicalB = std::filesystem::weakly_canonical(b, ecB);
  return !ecA && !ecB && canonicalA == canonicalB;
}

std::string stateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/lumora";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : ".") + "/.local/state/lumora";
}

}  // namespace

std::string defaultDatabasePath() { return stateFolder() + "/account-service.sqlite"; }

std::string defaultDevDatabasePath() { return stateFolder() + "/account-service-dev.sqlite"; }

std::variant<ServiceConfig, int> parseServiceArguments(int argc, const char* const* argv,
                                                       std::ostream& out, std::ostream& err) {
  ServiceConfig config;
  auto& providers = config.providers;
  double accessSeconds = 900, refreshDays = 30, relaySeconds = 300;
  std::size_t maxMessage = config.server.relay.maxMessageBytes;
  std::size_t maxQueue = config.server.relay.maxQueuedBytes;
  double loginPerMinute = config.loginRate.perMinute;
  long long loginBurst = config.loginRate.burst;
  long long maxConnections = static_cast<long long>(config.server.maxConnectionsPerAddress);
  std::size_t maxRooms = config.server.relay.maxRooms;

  po::options_description options(
      "usage: lumora-account-service [--listen ADDR:PORT] [--database URL] [--dev] [options]\n"
      "\n"
      "Signs users in, keeps their device lists and runs the relay. Prints the URL it serves on\n"
      "as its first line; stops on SIGTERM or SIGINT.\n"
      "\n"
      "Options");
  // clang-format off
  options.add_options()
      ("listen", po::value(&config.listen)->value_name("ADDR:PORT"),
       "address and port to serve on (default 127.0.0.1:8780; port 0 picks a free one)")
      ("database", po::value(&config.database)->value_name("URL"),
       "postgresql://… for PostgreSQL, or sqlite:PATH (default: a SQLite file under "
       "$XDG_STATE_HOME/lumora)")
      ("dev", po::bool_switch(&config.dev),
       "built-in stand-ins of the Google and GitHub sign-in endpoints, and the \"dev\" provider "
       "that signs in any e-mail address: for trying the service on one machine only")
      ("tls-cert", po::value(&config.server.tlsCertificateFile)->value_name("FILE"),
       "PEM certificate chain: serve https and wss")
      ("tls-key", po::value(&config.server.tlsKeyFile)->value_name("FILE"), "PEM private key")
      ("web-root", po::value(&config.webRoot)->value_name("DIR"),
       "the browser client's files, served at /app/ (default: the ones installed or built "
       "with the service)")
      ("google-client-id", po::value(&providers.google.clientIds)->value_name("ID")->composing(),
       "accept Google ID tokens issued to this client (repeatable; clients are told the first)")
      ("google-authorize-url", po::value(&providers.google.authorizeUrl)->value_name("URL"),
       "where clients send users to sign in with Google")
      ("google-token-url", po::value(&providers.google.tokenUrl)->value_name("URL"),
       "where clients exchange Google's code for an ID token")
      ("google-jwks-url", po::value(&providers.google.jwksUrl)->value_name("URL"),
       "where Google publishes its signing keys")
      ("google-issuer", po::value(&providers.google.issuers)->value_name("ISS")->composing(),
       "accepted Google issuer (repeatable; replaces the defaults)")
      ("apple-client-id", po::value(&providers.apple.clientIds)->value_name("ID")->composing(),
       "accept Apple identity tokens issued to this client (repeatable)")
      ("apple-jwks-url", po::value(&providers.apple.jwksUrl)->value_name("URL"),
       "where Apple publishes its signing keys")
      ("apple-issuer", po::value(&providers.apple.issuers)->value_name("ISS")->composing(),
       "accepted Apple issuer (repeatable; replaces the default)")
      ("github-client-id", po::value(&providers.github.clientId)->value_name("ID"),
       "GitHub OAuth application id (its secret: LUMORA_GITHUB_CLIENT_SECRET)")
      ("github-authorize-url", po::value(&providers.github.authorizeUrl)->value_name("URL"),
       "where clients send users to sign in with GitHub")
      ("github-redirect-uri", po::value(&providers.github.redirectUri)->value_name("URI"),
       "redirect URI sent along with the code exchange")
      ("github-token-url", po::value(&providers.github.tokenUrl)->value_name("URL"),
       "GitHub's code exchange endpoint")
      ("github-user-url", po::value(&providers.github.userUrl)->value_name("URL"),
       "GitHub's user endpoint")
      ("github-emails-url", po::value(&providers.github.emailsUrl)->value_name("URL"),
       "GitHub's e-mail list endpoint")
      ("access-token-lifetime", po::value(&accessSeconds)->value_name("SECONDS"),
       "lifetime of access tokens (default 900)")
      ("refresh-token-lifetime", po::value(&refreshDays)->value_name("DAYS"),
       "lifetime of refresh tokens (default 30)")
      ("relay-token-lifetime", po::value(&relaySeconds)->value_name("SECONDS"),
       "lifetime of relay tokens (default 300)")
      ("max-body", po::value(&config.server.maxBodyBytes)->value_name("BYTES"),
       "largest request body (default 65536)")
      ("relay-max-message", po::value(&maxMessage)->value_name("BYTES"),
       "largest relayed message (default 16 MiB)")
      ("relay-max-queue", po::value(&maxQueue)->value_name("BYTES"),
       "most bytes waiting for one side of a room (default 32 MiB)")
      ("login-rate", po::value(&loginPerMinute)->value_name("PER_MINUTE"),
       "sign-in attempts one client address may make a minute once its burst is spent "
       "(default 10; 0: no limit)")
      ("login-burst", po::value(&loginBurst)->value_name("N"),
       "sign-in attempts one client address may make at once (default 20)")
      ("max-connections-per-address", po::value(&maxConnections)->value_name("N"),
       "open connections one client address may hold, HTTP and relay alike (default 256; "
       "0: no limit)")
      ("relay-max-rooms", po::value(&maxRooms)->value_name("N"),
       "most relay rooms open at once (default 50000)")
      ("help", "show this text")
      ("version", "show the version");
  // clang-format on

  po::variables_map values;
  try {
    po::store(po::command_line_parser(argc, argv).options(options).run(), values);
    po::notify(values);
  } catch (const po::error& e) {
    // One line naming what was wrong, as the other programs do.
    err << "lumora-account-service: " << e.what() << " (see --help)\n";
    return 2;
  }
  if (values.count("help")) {
    out << options << "\n";
    return 0;
  }
  if (values.count("version")) {
    out << "lumora-account-service " << kVersion << "\n";
    return 0;
  }
  if (!splitListen(config.listen, config.server.host, config.server.port)) {
    err << "lumora-account-service: --listen wants ADDR:PORT, not '" << config.listen << "'\n";
    return 2;
  }
  if (accessSeconds <= 0 || refreshDays <= 0 || relaySeconds <= 0 || maxMessage == 0 ||
      maxQueue < maxMessage) {
    err << "lumora-account-service: lifetimes must be positive and the relay queue at least one "
           "message\n";
    return 2;
  }
  if (!(loginPerMinute >= 0 && loginPerMinute <= 1e6) || loginBurst < 1 || loginBurst > 1000000 ||
      maxConnections < 0) {
    err << "lumora-account-service: --login-rate wants 0 to 1000000, --login-burst 1 to 1000000 "
           "and --max-connections-per-address 0 or more\n";
    return 2;
  }
  if (config.dev && !isLoopback(config.server.host)) {
    err << "lumora-account-service: --dev lets anyone sign in as anyone: it listens on loopback "
           "only (127.0.0.0/8, ::1), not on "
        << config.server.host << "\n";
    return 2;
  }
  if (config.database.empty()) {
    config.database = config.dev ? defaultDevDatabasePath() : defaultDatabasePath();
  } else if (auto file = sqliteFileOf(config.database);
             config.dev && file && sameFile(*file, defaultDatabasePath())) {
    err << "lumora-account-service: --dev keeps its accounts apart from real ones: give it a "
           "database other than "
        << defaultDatabasePath() << ", or none\n";
    return 2;
  }
  config.loginRate.perMinute = loginPerMinute;
  config.loginRate.burst = static_cast<unsigned>(loginBurst);
  config.server.maxConnectionsPerAddress = static_cast<std::size_t>(maxConnections);
  config.lifetimes.accessToken = static_cast<Millis>(accessSeconds * 1000);
  config.lifetimes.refreshToken = static_cast<Millis>(refreshDays * 24 * 3600 * 1000);
  config.lifetimes.relayToken = static_cast<Millis>(relaySeconds * 1000);
  config.server.relay.maxMessageBytes = maxMessage;
  config.server.relay.maxQueuedBytes = maxQueue;
  config.server.relay.maxRooms = maxRooms;
  // Secrets stay off the command line, where every local user could read them.
  if (const char* secret = std::getenv("LUMORA_GITHUB_CLIENT_SECRET")) {
    providers.github.clientSecret = secret;
  }
  return config;
}

}  // namespace lumora::account
