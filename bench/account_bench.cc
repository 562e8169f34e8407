// The account service's relay and device registry against the real lumora-account-service,
// each figure beside a baseline measured in the same run:
//   one-way transfer through a relay room    vs  the same WebSocket client straight to a
//                                                reader over loopback TCP (goal >= 0.7x);
//   round trip of 64-byte messages           vs  the same client against a direct echo
//                                                (goal: p50 <= 2x);
//   resident memory with idle rooms held open, sampled over time (goal < 100 MiB, flat);
//   GET /devices with concurrent keep-alive clients on SQLite and on PostgreSQL (goal: p99
//   under 20 ms);
// and two instances over one PostgreSQL behind HAProxy running the shipped configuration (its
// addresses changed and TLS left out, so that both sides of each figure speak plain HTTP):
//   one-way transfer through a room via HAProxy  vs  straight to an instance;
//   sign-ins and GET /devices at a fixed 200 requests a second, latency from when each request
//   was due (goal: p99 under 20 ms)            vs  the same straight to one instance;
//   idle agent rooms held through HAProxy (goal: 10,000 in under 1 GiB for both instances).
// Usage: account_bench [--megabytes N] [--rooms N] [--idle-seconds S] [--clients N]
//                      [--seconds S] [--agent-rooms N]

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
#include "support/free_port.h"
#include "support/haproxy_process.h"
#include "support/postgres_server.h"
#include "support/process_table.h"
#include "support/spawn.h"
#include "support/temp_dir.h"

namespace {

double residentMiBOf(pid_t pid) {
  return static_cast<double>(lumora::testing_support::residentBytes(pid)) / (1024.0 * 1024.0);
}

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
  Service(const TempDir& home, const std::string& database, std::vector<std::string> extra = {})
      : home_(home) {
    const std::string log = home / "service.log";
    std::vector<std::string> args = {LUMORA_ACCOUNT_SERVICE_BINARY, "--listen", "127.0.0.1:0",
                                     "--dev"};
    // Every client here comes from 127.0.0.1: the bounds per client address would measure
    // themselves instead of the service.
    args.insert(args.end(), {"--login-rate", "0", "--max-connections-per-address", "0"});
    if (!database.empty()) args.insert(args.end(), {"--database", database});
    args.insert(args.end(), extra.begin(), extra.end());
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

  double residentMiB() const { return residentMiBOf(pid_); }

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

// Through a room on `port`: the peer sends `total` bytes, the host reads on a thread of its own;
// MiB/s.
double relayedMiBps(std::uint16_t port, const Account& account, std::size_t total) {
  asio::io_context io;
  const std::string roomTarget = "/relay/" + account.room;
  double relayed = 0;
  {
    auto host = joinAsHost(io, port, account.room, *account.key);
    auto peer = connectSocket(io, port, roomTarget + "?token=" + account.relayToken);
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
  return relayed;
}

void relayFigures(const Service& service, const Account& account, std::size_t megabytes) {
  asio::io_context io;
  const std::string roomTarget = "/relay/" + account.room;
  const std::size_t total = megabytes << 20;
  const double relayed = relayedMiBps(service.port(), account, total);
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

// `rate` requests a second spread over 8 keep-alive connections, each request's latency counted
// from when it was due (a slow answer delays the ones behind it, and that counts too).
lumora::bench::Stats pacedRequests(std::uint16_t port, double rate, double seconds,
                                   const std::function<void(HttpConnection&)>& request) {
  constexpr int kConnections = 8;
  const auto start = Clock::now() + std::chrono::milliseconds(50);
  const auto total = static_cast<int>(rate * seconds);
  std::vector<std::vector<double>> latencies(kConnections);
  std::vector<std::thread> threads;
  for (int c = 0; c < kConnections; ++c) {
    threads.emplace_back([&, c] {
      HttpConnection http(port);
      for (int i = c; i < total; i += kConnections) {
        const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(i / rate));
        std::this_thread::sleep_until(due);
        request(http);
        latencies[static_cast<std::size_t>(c)].push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - due).count());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<double> all;
  for (auto& mine : latencies) all.insert(all.end(), mine.begin(), mine.end());
  return lumora::bench::percentiles(all);
}

// As many requests as `clients` keep-alive connections get answered one after the other, for
// `seconds`: requests a second.
double mostRequests(std::uint16_t port, int clients, double seconds,
                    const std::function<void(HttpConnection&)>& request) {
  std::atomic<bool> stop{false};
  std::atomic<long> answered{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      HttpConnection http(port);
      while (!stop) {
        request(http);
        ++answered;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& thread : threads) thread.join();
  return static_cast<double>(answered) / seconds;
}

// Agents' rooms (the host side only, as an agent waits for its phone) held through `port`;
// the instances' resident memory together.
void idleAgentRooms(std::uint16_t port, int rooms, const std::vector<const Service*>& instances,
                    const lumora::testing_support::HaproxyProcess& balancer) {
  HttpConnection http(port);
  const std::string access = prepare(port, "agents@example.com", 0).access;
  auto resident = [&] {
    double sum = 0;
    for (const auto* instance : instances) sum += instance->residentMiB();
    return sum;
  };
  const double before = resident();
  asio::io_context io;
  std::vector<std::unique_ptr<WebSocket>> sockets;
  const auto start = Clock::now();
  try {
    for (int i = 0; i < rooms; ++i) {
      const auto key = registerDevice(http, access, "agent " + std::to_string(i));
      sockets.push_back(joinAsHost(io, port, key.fingerprint(), key));
    }
  } catch (const std::exception& e) {
    row("idle agent rooms via HAProxy",
        format("stopped at %.0f rooms: ", sockets.size()) + e.what(), "");
  }
  const double joining = secondsSince(start);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  row(std::to_string(sockets.size()) + " idle agent rooms via HAProxy",
      format("%.1f MiB resident, both instances", resident()),
      format("before: %.1f MiB; HAProxy: %.1f MiB; ", before, residentMiBOf(balancer.pid())) +
          format("joined in %.1f s", joining));
}

void balancedFigures(std::size_t megabytes, int agentRooms, double seconds) {
  auto* postgres = lumora::testing_support::PostgresServer::shared();
  if (postgres == nullptr || ::access("/usr/sbin/haproxy", X_OK) != 0) {
    row("behind HAProxy", "skipped: needs PostgreSQL and haproxy (scripts/setup)", "");
    return;
  }
  const std::string database = postgres->freshDatabase();
  TempDir homeA, homeB, balancerHome;
  const std::vector<std::string> proxied = {"--trusted-proxy", "127.0.0.1"};
  Service a(homeA, database, proxied);
  Service b(homeB, database, proxied);
  // The shipped configuration without its TLS: the figures beside it speak plain HTTP too.
  const lumora::testing_support::HaproxyProcess balancer(balancerHome.path(),
                                                         "127.0.0.1:" + std::to_string(a.port()),
                                                         "127.0.0.1:" + std::to_string(b.port()));
  row("", "two instances behind HAProxy", "baseline: one instance, straight");

  const Account account = prepare(balancer.port(), "balanced@example.com");
  const std::size_t total = megabytes << 20;
  const double balanced = relayedMiBps(balancer.port(), account, total);
  const double straight = relayedMiBps(a.port(), account, total);
  row(std::to_string(megabytes) + " MiB one way through a room",
      format("%.0f MiB/s (%.2fx straight)", balanced, balanced / straight),
      format("straight: %.0f MiB/s", straight));

  const std::string login =
      json::serialize(json::object{{"provider", "dev"}, {"token", "paced@example.com"}});
  const Account devices = prepare(balancer.port(), "devices@example.com", 3);
  const std::vector<std::pair<std::string, std::function<void(HttpConnection&)>>> routes = {
      {"POST /auth/login (dev)",
       [&](HttpConnection& http) { http.call(http::verb::post, "/auth/login", {}, login); }},
      {"GET /devices",
       [&](HttpConnection& http) { http.call(http::verb::get, "/devices", devices.access); }}};
  for (const auto& [name, request] : routes) {
    const auto viaBalancer = pacedRequests(balancer.port(), 200, seconds, request);
    const auto viaInstance = pacedRequests(a.port(), 200, seconds, request);
    row(name + " at 200/s", format("p50 %.2f ms, p99 %.2f ms", viaBalancer.p50, viaBalancer.p99),
        format("straight: p50 %.2f ms, p99 %.2f ms", viaInstance.p50, viaInstance.p99));
    const double most = mostRequests(balancer.port(), 16, seconds, request);
    const double mostStraight = mostRequests(a.port(), 16, seconds, request);
    row(name + ", 16 clients flat out", format("%.0f req/s (both instances)", most),
        format("straight to one: %.0f req/s", mostStraight));
  }
  // HAProxy holds two descriptors per room (the agent's and the instance's), and takes no more
  // connections than its descriptor limit allows: past that a join would wait, not fail.
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  const auto fits = static_cast<int>((limit.rlim_max - 1000) / 2);
  if (agentRooms > fits) {
    row("idle agent rooms via HAProxy",
        format("%.0f asked, %.0f held: ", agentRooms, fits) +
            "HAProxy's descriptor limit (ulimit -Hn) allows no more",
        "");
  }
  idleAgentRooms(balancer.port(), std::min(agentRooms, fits), {&a, &b}, balancer);
}

}  // namespace

int main(int argc, char** argv) {
  std::int64_t megabytes = 512, rooms = 1000, clients = 64, agentRooms = 10000;
  double idleSeconds = 120, seconds = 5;
  lumora::bench::parseOptions(
      argc, argv, "usage: account_bench",
      {{"megabytes", "N", "size of the one-way transfer through a room (default 512)"},
       {"rooms", "N", "idle rooms held open (default 1000)"},
       {"idle-seconds", "S", "how long the idle rooms are watched (default 120)"},
       {"clients", "N", "concurrent /devices clients (default 64)"},
       {"seconds", "S", "how long the /devices load runs (default 5)"},
       {"agent-rooms", "N", "idle agent rooms held through HAProxy (default 10000)"}},
      [&](const lumora::command_line::ParsedArgs& args) {
        megabytes = args.integer("megabytes", 1, 1 << 20).value_or(megabytes);
        rooms = args.integer("rooms", 1, 100000).value_or(rooms);
        clients = args.integer("clients", 1, 4096).value_or(clients);
        idleSeconds = args.seconds("idle-seconds").value_or(idleSeconds);
        seconds = args.seconds("seconds").value_or(seconds);
        agentRooms = args.integer("agent-rooms", 1, 1000000).value_or(agentRooms);
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
  balancedFigures(static_cast<std::size_t>(megabytes), static_cast<int>(agentRooms), seconds);
  return 0;
}
