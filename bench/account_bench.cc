// The account service's relay and device registry against the real lumora-account-service,
// each figure beside a baseline measured in the same run:
//   one-way transfer through a relay room    vs  the same WebSocket client straight to a
//                                                reader over loopback TCP (goal >= 0.7x);
//   round trip of 64-byte messages           vs  the same client against a direct echo
//                                                (goal: p50 <= 2x);
//   resident memory with idle rooms held open, sampled over time (goal < 100 MiB, flat);
//   GET /devices with concurrent keep-alive clients on SQLite and on PostgreSQL (goal: p99
//   under 20 ms).
// Usage: account_bench [--megabytes N] [--rooms N] [--idle-seconds S] [--clients N]
//                      [--seconds S]

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <optional>
#include <thread>

#include "bench_support.h"
#include "protocol/base64.h"
#include "protocol/relay_notices.h"
#include "protocol/room_key.h"
#include "support/postgres_server.h"
#include "support/spawn.h"
#include "support/temp_dir.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace json = boost::json;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using WebSocket = websocket::stream<tcp::socket>;
using lumora::testing_support::TempDir;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The service as a separate process, its output in a file under `home`.
class Service {
 public:
  Service(const TempDir& home, const std::string& database) : home_(home) {
    const std::string log = home / "service.log";
    std::vector<std::string> args = {LUMORA_ACCOUNT_SERVICE_BINARY, "--listen", "127.0.0.1:0",
                                     "--dev"};
    // Every client here comes from 127.0.0.1: the bounds per client address would measure
    // themselves instead of the service.
    args.insert(args.end(), {"--login-rate", "0", "--max-connections-per-address", "0"});
    if (!database.empty()) args.insert(args.end(), {"--database", database});
    pid_ = lumora::testing_support::spawnProcess(
        args, {.environment = std::vector<std::string>{"HOME=" + home.path().string(),
                                                       "XDG_STATE_HOME=" + home / "state",
                                                       "PATH=/usr/bin:/bin"},
               .output = log});
    for (int i = 0; i < 500 && port_ == 0; ++i) {
      const std::string text = lumora::testing_support::contentOf(log);
      if (text.find('\n') != std::string::npos)
        port_ = std::stoi(text.substr(text.rfind(':', text.find('\n')) + 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (port_ == 0) throw std::runtime_error("the service did not start");
  }
  ~Service() {
    ::kill(pid_, SIGTERM);
    lumora::testing_support::waitForExit(pid_);
  }
  std::uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }

  // VmRSS in MiB.
  double residentMiB() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.starts_with("VmRSS:")) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
  }

 private:
  const TempDir& home_;
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

// One keep-alive HTTP connection.
class HttpConnection {
 public:
  explicit HttpConnection(std::uint16_t port) : socket_(io_) {
    socket_.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    socket_.set_option(tcp::no_delay(true));
  }
  json::value call(http::verb method, const std::string& target, const std::string& token = {},
                   const std::string& body = {}) {
    http::request<http::string_body> request(method, target, 11);
    request.set(http::field::host, "127.0.0.1");
    if (!token.empty()) request.set(http::field::authorization, "Bearer " + token);
    request.body() = body;
    request.prepare_payload();
    http::write(socket_, request);
    http::response<http::string_body> response;
    http::read(socket_, buffer_, response);
    if (response.result_int() >= 300) {
      throw std::runtime_error(target + " answered " + std::to_string(response.result_int()));
    }
    return response.body().empty() ? json::value() : json::parse(response.body());
  }

 private:
  asio::io_context io_;
  tcp::socket socket_;
  beast::flat_buffer buffer_;
};

std::string text(const json::value& value, const char* key) {
  return std::string(value.at(key).as_string());
}

// Registers a device paired with a fresh secret, proving the secret as its computer does: the
// room key it gives.
lumora::protocol::RoomKey registerDevice(HttpConnection& http, const std::string& access,
                                         const std::string& name) {
  const auto key = lumora::protocol::RoomKey::derive(lumora::protocol::PairingSecret::generate());
  const json::value challenge = http.call(http::verb::post, "/devices/challenge", access, "{}");
  const std::string nonce = text(challenge, "nonce");
  http.call(http::verb::post, "/devices", access,
            json::serialize(
                json::object{{"name", name},
                             {"platform", "linux"},
                             {"roomKey", lumora::protocol::base64Encode(key.publicKey())},
                             {"nonce", nonce},
                             {"signature", lumora::protocol::base64Encode(key.registrationProof(
                                               text(challenge, "account"), nonce))}}));
  return key;
}

// A signed-in account with registered devices; its access token, the first device's room key
// and a relay token for it.
struct Account {
  std::string access;
  std::optional<lumora::protocol::RoomKey> key;
  std::string room;
  std::string relayToken;
};

Account prepare(std::uint16_t port, const std::string& email, int devices = 1) {
  HttpConnection http(port);
  Account account;
  account.access =
      text(http.call(http::verb::post, "/auth/login", {},
                     json::serialize(json::object{{"provider", "dev"}, {"token", email}})),
           "accessToken");
  if (devices == 0) return account;
  for (int i = 0; i < devices; ++i) {
    auto key = registerDevice(http, account.access, "desk " + std::to_string(i));
    if (i == 0) account.key = key;
  }
  account.room = account.key->fingerprint();
  account.relayToken = text(http.call(http::verb::post, "/relay/token", account.access,
                                      json::serialize(json::object{{"fingerprint", account.room}})),
                            "token");
  return account;
}

std::unique_ptr<WebSocket> connectSocket(asio::io_context& io, std::uint16_t port,
                                         const std::string& target) {
  auto ws = std::make_unique<WebSocket>(io);
  ws->next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  ws->next_layer().set_option(tcp::no_delay(true));
  ws->read_message_max(64u << 20);
  ws->write_buffer_bytes(64 * 1024);
  ws->handshake("127.0.0.1", target);
  ws->binary(true);
  return ws;
}

// Joins `room` as its host, answering the relay's challenge with `key`.
std::unique_ptr<WebSocket> joinAsHost(asio::io_context& io, std::uint16_t port,
                                      const std::string& room,
                                      const lumora::protocol::RoomKey& key) {
  namespace notice = lumora::protocol::RelayNotice;
  auto ws = connectSocket(io, port, "/relay/" + room);
  beast::flat_buffer buffer;
  ws->read(buffer);
  const auto challenge = notice::parseChallenge(beast::buffers_to_string(buffer.data()));
  if (!challenge) throw std::runtime_error("the relay did not challenge its host");
  ws->text(true);
  ws->write(asio::buffer(notice::proof(key.publicKey(), key.hostProof(room, *challenge))));
  ws->binary(true);
  buffer.consume(buffer.size());
  ws->read(buffer);
  if (!notice::isAdmitted(beast::buffers_to_string(buffer.data()))) {
    throw std::runtime_error("the relay did not admit its host");
  }
  return ws;
}

// The relay's notice to a host that a peer joined: read before the peer's own messages.
void skipNotice(WebSocket& host) {
  beast::flat_buffer buffer;
  host.read(buffer);
}

// Sends `total` bytes in 1 MiB messages and waits until `receiver` has them all; MiB/s.
double transfer(WebSocket& sender, const std::function<std::size_t()>& received,
                std::size_t total) {
  const std::string chunk(1 << 20, 'r');
  const auto start = Clock::now();
  for (std::size_t sent = 0; sent < total; sent += chunk.size()) sender.write(asio::buffer(chunk));
  while (received() < total) std::this_thread::sleep_for(std::chrono::microseconds(200));
  return static_cast<double>(total) / (1 << 20) / secondsSince(start);
}

std::vector<double> roundTrips(WebSocket& client, int count) {
  const std::string message(64, 'p');
  beast::flat_buffer buffer;
  std::vector<double> micros;
  for (int i = 0; i < count + 200; ++i) {
    const auto start = Clock::now();
    client.write(asio::buffer(message));
    client.read(buffer);
    buffer.consume(buffer.size());
    if (i >= 200)
      micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return micros;
}

void row(const std::string& what, const std::string& service, const std::string& baseline) {
  std::printf("%-40s %-30s %s\n", what.c_str(), service.c_str(), baseline.c_str());
  std::fflush(stdout);
}

std::string format(const char* pattern, double a, double b = 0) {
  char text[128];
  std::snprintf(text, sizeof text, pattern, a, b);
  return text;
}

void relayFigures(const Service& service, const Account& account, std::size_t megabytes) {
  asio::io_context io;
  const std::string roomTarget = "/relay/" + account.room;
  const std::size_t total = megabytes << 20;

  // Through a room: the peer sends, the host reads on a thread of its own.
  double relayed = 0;
  {
    auto host = joinAsHost(io, service.port(), account.room, *account.key);
    auto peer = connectSocket(io, service.port(), roomTarget + "?token=" + account.relayToken);
    skipNotice(*host);
    std::atomic<std::size_t> got{0};
    std::thread reader([&] {
      beast::flat_buffer buffer;
      beast::error_code ec;
      while (got < total) {
        host->read(buffer, ec);
        if (ec) break;
        got += buffer.size();
        buffer.consume(buffer.size());
      }
    });
    relayed = transfer(
        *peer, [&] { return got.load(); }, total);
    reader.join();
    peer->close(websocket::close_code::normal);
  }
  double direct = 0;
  {
    std::atomic<std::size_t> got{0};
    asio::io_context directIo;
    tcp::acceptor acceptor(directIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    std::thread reader([&] {
      tcp::socket socket(directIo);
      acceptor.accept(socket);
      WebSocket ws(std::move(socket));
      ws.read_message_max(64u << 20);
      ws.accept();
      beast::flat_buffer buffer;
      beast::error_code ec;
      while (got < total) {
        ws.read(buffer, ec);
        if (ec) break;
        got += buffer.size();
        buffer.consume(buffer.size());
      }
    });
    auto sender = connectSocket(io, acceptor.local_endpoint().port(), "/");
    direct = transfer(
        *sender, [&] { return got.load(); }, total);
    reader.join();
  }
  row(std::to_string(megabytes) + " MiB one way",
      format("%.0f MiB/s (%.2fx direct)", relayed, relayed / direct),
      format("direct: %.0f MiB/s", direct));

  // Round trips: the host echoes.
  std::vector<double> viaRelay;
  {
    auto host = joinAsHost(io, service.port(), account.room, *account.key);
    auto peer = connectSocket(io, service.port(), roomTarget + "?token=" + account.relayToken);
    skipNotice(*host);
    std::thread echo([&] {
      beast::flat_buffer buffer;
      beast::error_code ec;
      for (;;) {
        host->read(buffer, ec);
        if (ec) break;
        host->write(buffer.data(), ec);
        buffer.consume(buffer.size());
      }
    });
    viaRelay = roundTrips(*peer, 5000);
    peer->close(websocket::close_code::normal);
    echo.join();
  }
  std::vector<double> viaDirect;
  {
    asio::io_context directIo;
    tcp::acceptor acceptor(directIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    std::thread echo([&] {
      tcp::socket socket(directIo);
      acceptor.accept(socket);
      socket.set_option(tcp::no_delay(true));
      WebSocket ws(std::move(socket));
      ws.accept();
      beast::flat_buffer buffer;
      beast::error_code ec;
      for (;;) {
        ws.read(buffer, ec);
        if (ec) break;
        ws.binary(true);
        ws.write(buffer.data(), ec);
        buffer.consume(buffer.size());
      }
    });
    auto client = connectSocket(io, acceptor.local_endpoint().port(), "/");
    viaDirect = roundTrips(*client, 5000);
    client->close(websocket::close_code::normal);
    echo.join();
  }
  const auto relayStats = lumora::bench::percentiles(viaRelay);
  const auto directStats = lumora::bench::percentiles(viaDirect);
  row("64 B round trip",
      format("p50 %.1f us, p99 %.1f us", relayStats.p50, relayStats.p99) +
          format(" (%.2fx)", relayStats.p50 / directStats.p50),
      format("direct: p50 %.1f us, p99 %.1f us", directStats.p50, directStats.p99));
}

// Rooms with both sides joined and nothing moving.
void idleRooms(const Service& service, int rooms, int seconds) {
  HttpConnection http(service.port());
  const std::string access = prepare(service.port(), "idle@example.com", 0).access;
  asio::io_context io;
  const double before = service.residentMiB();
  std::vector<std::unique_ptr<WebSocket>> sockets;
  for (int i = 0; i < rooms; ++i) {
    const auto key = registerDevice(http, access, "idle " + std::to_string(i));
    const std::string print = key.fingerprint();
    const std::string token = text(http.call(http::verb::post, "/relay/token", access,
                                             json::serialize(json::object{{"fingerprint", print}})),
                                   "token");
    sockets.push_back(joinAsHost(io, service.port(), print, key));
    sockets.push_back(connectSocket(io, service.port(), "/relay/" + print + "?token=" + token));
  }
  std::string samples;
  double first = 0, last = 0;
  const auto start = Clock::now();
  const int step = std::max(1, seconds / 6);
  for (int elapsed = 0; elapsed <= seconds; elapsed += step) {
    std::this_thread::sleep_until(start + std::chrono::seconds(elapsed));
    last = service.residentMiB();
    if (elapsed == 0) first = last;
    samples += format("%.0f ", last);
  }
  row(std::to_string(rooms) + " idle rooms (" + std::to_string(2 * rooms) + " sockets)",
      format("%.1f MiB resident, after %.0f s ", first, seconds) + format("%.1f MiB", last),
      format("service before: %.1f MiB; samples: ", before) + samples);
}

void deviceRequests(const std::string& label, const Service& service, int clients, double seconds) {
  std::vector<Account> accounts;
  for (int c = 0; c < clients; ++c)
    accounts.push_back(prepare(service.port(), "load" + std::to_string(c) + "@example.com", 3));
  std::atomic<bool> stop{false};
  std::vector<std::vector<double>> latencies(static_cast<std::size_t>(clients));
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      HttpConnection http(service.port());
      auto& mine = latencies[static_cast<std::size_t>(c)];
      while (!stop) {
        const auto start = Clock::now();
        http.call(http::verb::get, "/devices", accounts[static_cast<std::size_t>(c)].access);
        mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& thread : threads) thread.join();
  std::vector<double> all;
  for (auto& mine : latencies) all.insert(all.end(), mine.begin(), mine.end());
  const auto stats = lumora::bench::percentiles(all);
  row("GET /devices, " + std::to_string(clients) + " clients, " + label,
      format("%.0f req/s", static_cast<double>(all.size()) / seconds),
      format("p50 %.2f ms, p99 %.2f ms", stats.p50, stats.p99));
}

}  // namespace

int main(int argc, char** argv) {
  std::int64_t megabytes = 512, rooms = 1000, clients = 64;
  double idleSeconds = 120, seconds = 5;
  lumora::bench::parseOptions(
      argc, argv, "usage: account_bench",
      {{"megabytes", "N", "size of the one-way transfer through a room (default 512)"},
       {"rooms", "N", "idle rooms held open (default 1000)"},
       {"idle-seconds", "S", "how long the idle rooms are watched (default 120)"},
       {"clients", "N", "concurrent /devices clients (default 64)"},
       {"seconds", "S", "how long the /devices load runs (default 5)"}},
      [&](const lumora::cli::ParsedArgs& args) {
        megabytes = args.integer("megabytes", 1, 1 << 20).value_or(megabytes);
        rooms = args.integer("rooms", 1, 100000).value_or(rooms);
        clients = args.integer("clients", 1, 4096).value_or(clients);
        idleSeconds = args.seconds("idle-seconds").value_or(idleSeconds);
        seconds = args.seconds("seconds").value_or(seconds);
      });
  std::signal(SIGPIPE, SIG_IGN);
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);

  TempDir home;
  Service service(home, {});
  const Account account = prepare(service.port(), "bench@example.com");
  row("", "lumora-account-service", "baseline");
  relayFigures(service, account, static_cast<std::size_t>(megabytes));
  idleRooms(service, static_cast<int>(rooms), static_cast<int>(idleSeconds));
  {
    TempDir sqliteHome;
    Service sqlite(sqliteHome, {});
    deviceRequests("SQLite", sqlite, static_cast<int>(clients), seconds);
  }
  if (auto* postgres = lumora::testing_support::PostgresServer::shared()) {
    TempDir postgresHome;
    Service onPostgres(postgresHome, postgres->freshDatabase());
    deviceRequests("PostgreSQL", onPostgres, static_cast<int>(clients), seconds);
  } else {
    row("GET /devices, PostgreSQL", "skipped: " + lumora::testing_support::PostgresServer::why(),
        "");
  }
  return 0;
}
