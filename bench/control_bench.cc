// Control-plane round trips against the real lumora-agent over loopback, beside an OpenSSH
// baseline in the same run (a throw-away sshd on a high loopback port, multiplexed through one
// master connection, for a user whose login shell is /bin/sh):
//   ping latency (one client, alone and beside a crowd of peers that never pair) and requests
//   per second (eight clients together);
//   terminal.run of `true` under /bin/sh      vs  `ssh <host> true` and a bare `sh -c true`;
//   keystroke echo through terminal.open + cat  vs  `ssh -tt <host> cat`.
// Usage: control_bench [--seconds S]   (run as root: the baseline creates its user)

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "support/agent_process.h"
#include "support/raw_client.h"
#include "support/spawn.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using lumora::protocol::Envelope;
using lumora::protocol::MessageType;
using lumora::testing_support::RawClient;

using lumora::bench::percentiles;
using lumora::bench::runToEnd;
using lumora::bench::Stats;

template <class Work>
std::vector<double> timeEach(int count, Work work) {
  std::vector<double> micros;
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    work();
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return micros;
}

// Writes one byte and waits until `reader` has seen it come back.
double echoOnce(int writeFd, int readFd) {
  auto start = Clock::now();
  if (::write(writeFd, "x", 1) != 1) throw std::runtime_error("write failed");
  char buffer[256];
  for (;;) {
    pollfd ready{readFd, POLLIN, 0};
    if (::poll(&ready, 1, 5000) <= 0) throw std::runtime_error("no echo");
    ssize_t n = ::read(readFd, buffer, sizeof buffer);
    if (n <= 0) throw std::runtime_error("echo stream ended");
    if (std::find(buffer, buffer + n, 'x') != buffer + n) break;
  }
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

void row(const char* what, const std::string& lumora, const std::string& baseline) {
  std::printf("%-34s %-26s %s\n", what, lumora.c_str(), baseline.c_str());
}

std::string micros(Stats s) {
  std::ostringstream out;
  out.precision(1);
  out << std::fixed << "p50 " << s.p50 << " us, p99 " << s.p99 << " us";
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 2;
  lumora::bench::parseOptions(argc, argv, "usage: control_bench [--seconds S]",
                              {{"seconds", "S", "how long each measurement runs (default 2)"}},
                              [&](const lumora::command_line::ParsedArgs& args) {
                                seconds = args.seconds("seconds").value_or(2);
                              });
  std::signal(SIGPIPE, SIG_IGN);

  // The agent, with a private home so the machine's pairing is left alone.
  lumora::testing_support::AgentProcess agent;
  if (!agent.serving()) throw std::runtime_error("the agent did not start");
  const std::uint16_t port = agent.controlPort();
  const auto secret = agent.secret();

  // The baseline's sshd and its master connection.
  const lumora::bench::SshBaseline ssh(BENCH_DIR "/ssh_baseline.sh");
  const bool haveSsh = ssh.available();
  const std::vector<std::string> sshBase = {
      "ssh", "-S", ssh["SSH_CONTROL"], "-p", ssh["SSH_PORT"], ssh["SSH_USER"] + "@127.0.0.1"};

  std::printf("%-34s %-26s %s\n", "", "lumora", "baseline");

  // Ping: one client, then eight together.
  std::string quietPing;
  {
    RawClient client(port);
    client.authenticate(secret);
    for (int i = 0; i < 200; ++i) client.ask(lumora::protocol::PingRequest{});
    auto samples = timeEach(3000, [&] { client.ask(lumora::protocol::PingRequest{}); });
    quietPing = micros(percentiles(samples));
    row("ping round trip (1 client)", quietPing, "-");
  }
  // The same while peers that never pair crowd the port, 500 at once and more every 10 ms (the
  // agent closes the oldest waiting ones), against the quiet figure just measured.
  {
    std::vector<RawClient> crowd;
    for (int i = 0; i < 500; ++i) crowd.emplace_back(port);
    std::atomic<bool> stop{false};
    std::thread newcomers([&] {
      std::vector<RawClient> more;
      for (; !stop; std::this_thread::sleep_for(10ms)) more.emplace_back(port);
    });
    RawClient client(port);
    client.authenticate(secret);
    auto samples = timeEach(3000, [&] { client.ask(lumora::protocol::PingRequest{}); });
    stop = true;
    newcomers.join();
    row("ping, 500+ unpaired peers waiting", micros(percentiles(samples)), "quiet: " + quietPing);
  }
  {
    std::atomic<long> done{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; ++c) {
      clients.emplace_back([&] {
        RawClient client(port);
        client.authenticate(secret);
        while (!stop) {
          client.ask(lumora::protocol::PingRequest{});
          ++done;
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& t : clients) t.join();
    row("pings per second (8 clients)", std::to_string(static_cast<long>(done / seconds)) + " /s",
        "-");
  }

  // One-shot commands.
  {
    RawClient client(port);
    client.authenticate(secret);
    auto ours = timeEach(100, [&] {
      client.ask(lumora::protocol::TerminalRunRequest{"true", "/bin/sh"});
    });
    // The agent runs commands as `shell -lc`, so the login shell's start-up (/etc/profile) is
    // part of every command; `sh -lc true` is the floor it can be held to.
    auto login = timeEach(100, [&] { runToEnd({"sh", "-lc", "true"}); });
    auto bare = timeEach(100, [&] { runToEnd({"sh", "-c", "true"}); });
    std::string baseline = "sh -lc true: " + micros(percentiles(login));
    row("terminal.run true", micros(percentiles(ours)), baseline);
    row("", "", "sh -c true: " + micros(percentiles(bare)));
    if (haveSsh) {
      auto args = sshBase;
      args.push_back("true");
      auto viaSsh = timeEach(30, [&] { runToEnd(args); });
      row("", "", "ssh (multiplexed) true: " + micros(percentiles(viaSsh)));
    }
  }

  // Keystroke echo through a shell running cat.
  {
    RawClient client(port);
    client.authenticate(secret);
    const std::string session = client.openTerminal("/bin/sh");
    client.type(session, "exec cat\n");
    std::this_thread::sleep_for(300ms);
    std::vector<double> samples;
    for (int i = 0; i < 300; ++i) {
      auto start = Clock::now();
      client.send(Envelope::request(lumora::protocol::TerminalInput{session, {'x'}}));
      for (;;) {
        auto event = client.receive();
        if (!event) return 1;
        const auto* out = event->payload.get<MessageType::terminalOutput>();
        if (out && std::find(out->data.begin(), out->data.end(), 'x') != out->data.end()) break;
      }
      samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::string baseline = "-";
    if (haveSsh) {
      int toSsh[2], fromSsh[2];
      if (::pipe(toSsh) != 0 || ::pipe(fromSsh) != 0) return 1;
      auto args = sshBase;
      args.insert(args.begin() + 1, "-tt");
      args.push_back("cat");
      const pid_t pid = lumora::testing_support::spawnProcess(
          args, {.inputFd = toSsh[0], .outputFd = fromSsh[1]});
      ::close(toSsh[0]);
      ::close(fromSsh[1]);
      std::this_thread::sleep_for(500ms);
      std::vector<double> viaSsh;
      for (int i = 0; i < 300; ++i) viaSsh.push_back(echoOnce(toSsh[1], fromSsh[0]));
      ::close(toSsh[1]);
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
      ::close(fromSsh[0]);
      baseline = "ssh -tt cat: " + micros(percentiles(viaSsh));
    }
    row("keystroke echo (terminal + cat)", micros(percentiles(samples)), baseline);
  }

  return 0;
}
