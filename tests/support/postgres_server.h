#pragma once

// A throw-away PostgreSQL server for tests: Debian's binaries, a data folder under the system's
// temporary folder, a Unix socket there and no TCP port, no password (trust), fsync off. As
// root it runs as the "postgres" user the package creates (initdb and postgres refuse root).
// Each test process starts one; each test then takes a fresh database of its own.

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <libpq-fe.h>

#include "support/spawn.h"

namespace lumora::testing_support {

class PostgresServer {
 public:
  // The server of this test process, started on first use; nothing when it cannot start
  // (why() then says so, for the skip message).
  static PostgresServer* shared() {
    static std::unique_ptr<PostgresServer> server(new PostgresServer());
    return server->ready_ ? server.get() : nullptr;
  }
  static std::string why() {
    shared();
    return failure();
  }

  ~PostgresServer() {
    if (ready_) run({bin("pg_ctl"), "-D", data(), "-m", "immediate", "-w", "stop"});
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  // A new, empty database on this server and its connection URL.
  std::string freshDatabase() {
    static std::atomic<int> counter{0};
    const std::string name = "test_" + std::to_string(counter++);
    administer("CREATE DATABASE " + name);
    return url(name);
  }

  // Drops a database freshDatabase() made, ending the connections it has: a database that goes
  // away under whoever uses it. Whether it was dropped.
  bool dropDatabase(const std::string& databaseUrl) {
    // The name stands between url()'s fixed start and its query.
    const std::size_t start = url("").find('?');
    const std::string name = databaseUrl.substr(start, databaseUrl.find('?') - start);
    return administer("DROP DATABASE " + name + " WITH (FORCE)");
  }

 private:
  static constexpr const char* kBin = "/usr/lib/postgresql/15/bin/";
  static std::string& failure() {
    static std::string text;
    return text;
  }
  static std::string bin(const char* name) { return std::string(kBin) + name; }

  PostgresServer() {
    if (::access(bin("postgres").c_str(), X_OK) != 0) {
      failure() = "PostgreSQL 15 is not installed (scripts/setup installs it)";
      return;
    }
    if (::geteuid() == 0) {
      const passwd* user = ::getpwnam("postgres");
      if (user == nullptr) {
        failure() = "running as root and there is no \"postgres\" user to run the server as";
        return;
      }
      runAs_ = "postgres";
      uid_ = user->pw_uid;
      gid_ = user->pw_gid;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "lumora-pg-XXXXXX").string();
    folder_ = ::mkdtemp(pattern.data());
    own(folder_);
    if (run({bin("initdb"), "-D", data(), "-U", "lumora", "-A", "trust", "-E", "UTF8", "--no-sync",
             "--locale=C"}) != 0) {
      failure() = "initdb failed";
      return;
    }
    const std::string options = "-k " + folder_.string() +
                                " -c listen_addresses= -c fsync=off"
                                " -c synchronous_commit=off -c full_page_writes=off"
                                " -c max_connections=200";
    if (run({bin("pg_ctl"), "-D", data(), "-o", options, "-l", (folder_ / "log").string(), "-w",
             "-t", "30", "start"}) != 0) {
      failure() = "pg_ctl could not start the server (see " + (folder_ / "log").string() + ")";
      return;
    }
    ready_ = true;
  }

  std::string data() const { return (folder_ / "data").string(); }

  std::string url(const std::string& database) const {
    return "postgresql://lumora@/" + database + "?host=" + folder_.string();
  }

  // Runs `command` over a connection to the server's own database; whether it succeeded.
  bool administer(const std::string& command) const {
    PGconn* admin = PQconnectdb(url("postgres").c_str());
    bool done = false;
    if (PQstatus(admin) == CONNECTION_OK) {
      PGresult* result = PQexec(admin, command.c_str());
      done = PQresultStatus(result) == PGRES_COMMAND_OK;
      PQclear(result);
    }
    PQfinish(admin);
    return done;
  }

  void own(const std::filesystem::path& path) const {
    if (!runAs_.empty() && ::chown(path.c_str(), uid_, gid_) != 0) failure() = "chown failed";
  }

  // Runs a command to its end (as the server's user when root), its output into the log.
  int run(std::vector<std::string> argv) const {
    if (!runAs_.empty()) argv.insert(argv.begin(), {"/usr/sbin/runuser", "-u", runAs_, "--"});
    const std::string log = (folder_ / "commands.log").string();
    try {
      return waitForExit(spawnProcess(argv, {.output = log, .error = log}));
    } catch (const std::runtime_error&) {
      return -1;
    }
  }

  std::filesystem::path folder_;
  std::string runAs_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  bool ready_ = false;
};

}  // namespace lumora::testing_support
