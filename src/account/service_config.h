#pragma once

#include <iosfwd>
#include <string>
#include <variant>

#include "account/account_api.h"
#include "account/account_server.h"
#include "account/dev_providers.h"
#include "account/identity_providers.h"
#include "account/web_app.h"

namespace lumora::account {

// Everything the service can be told on its command line.
struct ServiceConfig {
  std::string listen = "127.0.0.1:8780";  // ADDR:PORT, [V6ADDR]:PORT
  std::string database;  // empty: the SQLite file of defaultDatabasePath() (--dev: its own)
  bool dev = false;      // on loopback only, never on the default database
  DevProviders::Settings devSettings;  // baseUrl is filled in once the port is known
  ProviderSettings providers;
  AccountApi::Lifetimes lifetimes;
  AddressRateLimiter::Rate loginRate;  // POST /auth/login per client address
  AccountServer::Options server;
  std::string webRoot = defaultWebRoot();  // the browser client's files, served at /app/
  std::size_t workerThreads = 4;           // blocking database calls run here
};

// The configuration the arguments describe, or the exit status when the program should end
// here (--help and --version: 0; a bad option: 2, with the reason on `err`).
std::variant<ServiceConfig, int> parseServiceArguments(int argc, const char* const* argv,
                                                       std::ostream& out, std::ostream& err);

// $XDG_STATE_HOME/lumora/account-service.sqlite, or under ~/.local/state when it is not set.
std::string defaultDatabasePath();
// account-service-dev.sqlite beside it: --dev signs in anyone as anyone, and what it creates
// must never mix with real accounts.
std::string defaultDevDatabasePath();

}  // namespace lumora::account
