// The lumora command-line client against the real agent over loopback, beside OpenSSH in the
// same run (the throw-away sshd of ssh_baseline.sh):
//   lumora get / put of a 512 MiB file, tmpfs to tmpfs   vs  scp through the master connection;
//   lumora run true, the whole program (connect, pair, run)  vs  a fresh and a multiplexed
//   `ssh <host> true`;
//   capture-to-decoded latency of the 1080p screen stream with moving content, through the
//   client library (each frame's capture time against the moment its picture was decoded);
// and the same get, run true and stream latency through the relay of a lumora-account-service
// --dev that the agent also serves through, beside the direct figures: lumora signs in with the
// dev provider and adds the agent to the account, the client library asks the service for a
// relay token. `run true` through the relay is timed both once the agent is back in its room
// and back to back (when each command waits for the agent to join again).
// Usage: client_bench [--megabytes M] [--runs N] [--seconds S]   (as root: the baseline makes
// its user)

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "net/http_client.h"
#include "protocol/room_key.h"
#include "sdk/account/auth_client.h"
#include "sdk/account/relay_token_client.h"
#include "sdk/agent_control_client.h"
#include "sdk/media_client.h"
#include "sdk/video_decoder.h"
#include "stream_latency.h"
#include "support/account_service_process.h"
#include "support/agent_process.h"
#include "support/run_awaitable.h"
#include "support/screen_animator.h"
#include "support/spawn.h"
#include "support/xvfb_server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using lumora::bench::percentile;
using lumora::testing_support::AccountServiceProcess;
using lumora::testing_support::AgentProcess;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs a program to its end with the given environment; the wall time in seconds, or a
// negative number when it failed.
double timed(const std::vector<std::string>& args, const std::vector<std::string>* env = nullptr) {
  auto start = Clock::now();
  lumora::testing_support::SpawnOptions options;
  if (env) options.environment = *env;
  const int status =
      lumora::testing_support::waitForExit(lumora::testing_support::spawnProcess(args, options));
  const double seconds = secondsSince(start);
  return status == 0 ? seconds : -1;
}

double median(std::vector<double> samples) { return percentile(std::move(samples), 0.5); }

// Runs the lumora program to its end with `env`: nothing when it succeeded, else what it said
// on standard error (kept in `scratch`).
std::optional<std::string> lumoraFailure(const std::vector<std::string>& args,
                                         const std::vector<std::string>& env,
                                         const std::filesystem::path& scratch) {
  std::vector<std::string> argv = {LUMORA_CLI_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  std::filesystem::remove(scratch);
  const int status = lumora::testing_support::waitForExit(
      lumora::testing_support::spawnProcess(argv, {.environment = env, .error = scratch.string()}));
  if (status == 0) return std::nullopt;
  std::ifstream file(scratch);
  std::stringstream said;
  said << file.rdbuf();
  std::string text = said.str();
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text.empty() ? "exit status " + std::to_string(status) : text;
}

bool sameFiles(const std::string& a, const std::string& b) {
  return lumora::bench::runToEnd({"cmp", "-s", a, b}) == 0;
}

std::string format(const char* pattern, double a, double b = 0, double c = 0) {
  char text[160];
  std::snprintf(text, sizeof text, pattern, a, b, c);
  return text;
}

void row(const std::string& what, const std::string& lumora, const std::string& baseline,
         const std::string& verdict) {
  std::printf("%-30s %-30s %-36s %s\n", what.c_str(), lumora.c_str(), baseline.c_str(),
              verdict.c_str());
  std::fflush(stdout);
}

struct Latency {
  std::vector<double> millis;
  std::uint64_t frames = 0;
  std::string failure;
};

// The agent's relay rooms and a token that admits the bench to both.
struct RelayRooms {
  std::string control;
  std::string media;
  std::string token;
};

// Signs in to the service with the dev provider as `email` (whose account holds the agent) and
// asks it for a relay token to the agent, through the client library.
RelayRooms relayRoomsOf(const std::string& serviceURL, const AgentProcess& agent,
                        const std::string& email) {
  using lumora::testing_support::runAwaitable;
  auto http = std::make_shared<lumora::net::HttpClient>("client-bench");
  const auto tokens = runAwaitable(lumora::sdk::AuthClient(serviceURL, http).login("dev", email));
  const auto issued = runAwaitable(
      lumora::sdk::RelayTokenClient(serviceURL, tokens.accessToken, http)
          .issueToken(lumora::protocol::RoomKey::derive(agent.secret()).fingerprint()));
  const std::string control =
      "ws://" + serviceURL.substr(std::string("http://").size()) + "/relay/" + issued.room;
  return {control, control + "-media", issued.token};
}

// The stream through the client library, over the agent's own ports or through its relay
// rooms: each picture's decode time minus its capture time.
Latency measureLatency(const AgentProcess& agent, const RelayRooms* relay, double seconds) {
  Latency result;
  try {
    lumora::sdk::AgentControlClient client;
    lumora::sdk::MediaClient media;
    lumora::sdk::Stream<lumora::protocol::MediaFrame> frames;
    if (relay) {
      lumora::bench::connectViaRelayWhenReady(client, relay->control, relay->token,
                                              agent.secret().code());
      client.authenticate(agent.secret().code(), "client-bench").get();
      frames = media.connectViaRelay(relay->media, relay->token, agent.secret().code()).get();
    } else {
      client.connect("127.0.0.1", agent.controlPort()).get();
      client.authenticate(agent.secret().code(), "client-bench").get();
      frames =
          media.connect("127.0.0.1", agent.mediaPort(), client.requestMediaTicket().get()).get();
    }
    client.startStream().get();
    auto decoded = lumora::bench::decodeLatency(frames, seconds, 1s);
    result.millis = std::move(decoded.millis);
    result.frames = decoded.frames;
    client.stopStream().get();
  } catch (const std::exception& e) {
    result.failure = e.what();
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t megabytes = 512;
  int runs = 3;
  double seconds = 5;
  lumora::bench::parseOptions(
      argc, argv, "usage: client_bench [--megabytes M] [--runs N] [--seconds S]",
      {{"megabytes", "M", "size of the transferred file in MiB (default 512)"},
       {"runs", "N", "transfers of each kind; the median is shown (default 3)"},
       {"seconds", "S", "how long the stream's latency is measured (default 5)"}},
      [&](const lumora::command_line::ParsedArgs& args) {
        megabytes = static_cast<std::size_t>(args.integer("megabytes", 1, 1 << 20).value_or(512));
        runs = static_cast<int>(args.integer("runs", 1, 1000).value_or(3));
        seconds = args.seconds("seconds").value_or(5);
      });
  std::signal(SIGPIPE, SIG_IGN);

  lumora::testing_support::XvfbServer xvfb("1920x1080x24");
  // The account service, whose relay the agent serves through beside its own ports.
  AccountServiceProcess service({"--listen", "127.0.0.1:0", "--dev"});
  const std::string serviceURL = service.url();
  AgentProcess agent({"DISPLAY=" + xvfb.display()},
                     {"--relay-base", "ws://" + serviceURL.substr(std::string("http://").size())});
  if (!agent.serving()) throw std::runtime_error("the agent did not start");

  // The baseline's sshd and master connection.
  const lumora::bench::SshBaseline ssh(BENCH_DIR "/ssh_baseline.sh");
  const bool haveSsh = ssh.available();
  const std::string sshTarget = ssh["SSH_USER"] + "@127.0.0.1";
  const std::vector<std::string> sshOptions = {"-q",
                                               "-i",
                                               ssh["SSH_DIR"] + "/client_key",
                                               "-o",
                                               "StrictHostKeyChecking=no",
                                               "-o",
                                               "UserKnownHostsFile=/dev/null",
                                               "-o",
                                               "BatchMode=yes"};

  // The client's own home (its agents.json is never written: the link comes from the
  // environment) and the tmpfs work area the baseline's user can read and write.
  const std::filesystem::path work = "/dev/shm/lumora-client-bench-" + std::to_string(::getpid());
  std::filesystem::create_directories(work / "home");
  ::chmod(work.c_str(), 0777);
  const std::vector<std::string> clientEnv = {"HOME=" + (work / "home").string(),
                                              "PATH=/usr/bin:/bin", "LUMORA_LINK=" + agent.link()};
  const std::string source = (work / "source.bin").string();
  lumora::bench::runToEnd({"dd", "if=/dev/urandom", "of=" + source, "bs=1M",
                           "count=" + std::to_string(megabytes), "status=none"});
  ::chmod(source.c_str(), 0644);
  const double mib = static_cast<double>(megabytes);

  // lumora signs in as a person would and adds the agent to the account, so that --relay
  // reaches it; the relay rows say why when this failed.
  const std::string email = "bench@example.com";
  std::optional<std::string> relayFailure = lumoraFailure(
      {"login", "--provider", "dev", "--email", email, "--account-service", serviceURL}, clientEnv,
      work / "lumora.err");
  if (!relayFailure) {
    relayFailure =
        lumoraFailure({"devices", "add", "client-bench"}, clientEnv, work / "lumora.err");
  }
  // The agent waits a second before it joins its room again after a client left: a command
  // that comes sooner waits for it. `rested` runs one once the agent is back in its room.
  auto relayed = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {LUMORA_CLI_BINARY, "--relay"});
    return relayFailure ? -1.0 : timed(args, &clientEnv);
  };
  auto rested = [&](std::vector<std::string> args) {
    std::this_thread::sleep_for(1500ms);
    return relayed(std::move(args));
  };

  std::printf("%-30s %-30s %-36s %s\n", "", "lumora", "baseline", "goal");

  // File transfer, each side's runs interleaved so both see the same machine.
  {
    std::vector<double> put, get, relayGet, scpPut, scpGet;
    bool identical = true, relayIdentical = true;
    for (int run = 0; run < runs; ++run) {
      const std::string up = (work / "lumora-put.bin").string();
      const std::string down = (work / "lumora-get.bin").string();
      const std::string relayDown = (work / "lumora-relay-get.bin").string();
      put.push_back(timed({LUMORA_CLI_BINARY, "put", source, up}, &clientEnv));
      get.push_back(timed({LUMORA_CLI_BINARY, "get", up, down}, &clientEnv));
      identical = identical && sameFiles(source, up) && sameFiles(source, down);
      std::filesystem::remove(down);
      relayGet.push_back(rested({"get", up, relayDown}));
      relayIdentical = relayIdentical && sameFiles(source, relayDown);
      std::filesystem::remove(up);
      std::filesystem::remove(relayDown);
      if (haveSsh) {
        // -O: the classic protocol, since the throw-away sshd serves no SFTP subsystem.
        std::vector<std::string> scp = {
            "scp", "-O", "-o", "ControlPath=" + ssh["SSH_CONTROL"], "-P", ssh["SSH_PORT"]};
        scp.insert(scp.end(), sshOptions.begin(), sshOptions.end());
        auto scpUp = scp;
        scpUp.insert(scpUp.end(), {source, sshTarget + ":" + (work / "scp-put.bin").string()});
        scpPut.push_back(timed(scpUp));
        auto scpDown = scp;
        scpDown.insert(scpDown.end(), {sshTarget + ":" + (work / "scp-put.bin").string(),
                                       (work / "scp-get.bin").string()});
        scpGet.push_back(timed(scpDown));
        std::filesystem::remove(work / "scp-put.bin");
        std::filesystem::remove(work / "scp-get.bin");
      }
    }
    auto failed = [](const std::vector<double>& v) {
      return std::any_of(v.begin(), v.end(), [](double s) { return s < 0; });
    };
    auto throughput = [&](const std::vector<double>& v) {
      if (v.empty() || failed(v)) return std::string("failed");
      return format("%.0f MiB/s (%.2f s)", mib / median(v), median(v));
    };
    auto ratio = [&](const std::vector<double>& ours, const std::vector<double>& theirs) {
      if (ours.empty() || theirs.empty() || failed(ours) || failed(theirs)) return std::string();
      return format("%.2fx scp (>= 1.0x)", median(theirs) / median(ours));
    };
    const std::string size = std::to_string(megabytes) + " MiB";
    row("get " + size + " (median of " + std::to_string(runs) + ")", throughput(get),
        "scp: " + throughput(scpGet), ratio(get, scpGet));
    row("put " + size + (identical ? "" : " BYTES DIFFER"), throughput(put),
        "scp: " + throughput(scpPut), ratio(put, scpPut));
    std::string relayRatio;
    if (!failed(relayGet) && !failed(get)) {
      relayRatio = format("%.2fx direct (>= 0.55x)", median(get) / median(relayGet));
    }
    row("--relay get " + size + (relayIdentical ? "" : " BYTES DIFFER"),
        relayFailure ? "failed: " + *relayFailure : throughput(relayGet),
        "direct: " + throughput(get), relayRatio);
  }

  // The whole program for one command.
  {
    std::vector<double> ours, fresh, multiplexed;
    for (int i = 0; i < 5; ++i) timed({LUMORA_CLI_BINARY, "run", "true"}, &clientEnv);
    for (int i = 0; i < 50; ++i) {
      ours.push_back(1000 *
                     timed({LUMORA_CLI_BINARY, "run", "--shell", "/bin/sh", "true"}, &clientEnv));
    }
    if (haveSsh) {
      std::vector<std::string> base = {"ssh", "-p", ssh["SSH_PORT"]};
      base.insert(base.end(), sshOptions.begin(), sshOptions.end());
      auto freshArgs = base;
      freshArgs.insert(freshArgs.end(), {"-o", "ControlPath=none", sshTarget, "true"});
      for (int i = 0; i < 15; ++i) fresh.push_back(1000 * timed(freshArgs));
      auto muxArgs = base;
      muxArgs.insert(muxArgs.end(), {"-o", "ControlPath=" + ssh["SSH_CONTROL"], sshTarget, "true"});
      for (int i = 0; i < 50; ++i) multiplexed.push_back(1000 * timed(muxArgs));
    }
    auto p50 = [](const std::vector<double>& v) { return format("p50 %.1f ms", median(v)); };
    row("lumora run true (whole program)",
        p50(ours) + format(", p99 %.1f ms", percentile(ours, 0.99)),
        fresh.empty() ? "-" : "ssh fresh: " + p50(fresh),
        fresh.empty() ? "" : format("%.1fx faster (>= 5x)", median(fresh) / median(ours)));
    if (!multiplexed.empty()) row("", "", "ssh multiplexed: " + p50(multiplexed), "");

    // Through the relay, each run once the agent is back in its room, and back to back.
    // A run after a pause pays for waking an idle machine, so the direct path is timed after
    // the same pause for that row.
    std::vector<double> restedRuns, restedDirect, backToBack;
    for (int i = 0; i < 2; ++i) relayed({"run", "true"});
    for (int i = 0; i < 15; ++i) {
      restedRuns.push_back(1000 * rested({"run", "--shell", "/bin/sh", "true"}));
      std::this_thread::sleep_for(1500ms);
      restedDirect.push_back(
          1000 * timed({LUMORA_CLI_BINARY, "run", "--shell", "/bin/sh", "true"}, &clientEnv));
    }
    for (int i = 0; i < 10; ++i) {
      backToBack.push_back(1000 * relayed({"run", "--shell", "/bin/sh", "true"}));
    }
    auto relayRow = [&](const std::string& what, const std::vector<double>& viaRelay,
                        const std::vector<double>& direct) {
      if (std::any_of(viaRelay.begin(), viaRelay.end(), [](double ms) { return ms < 0; })) {
        row(what, "failed" + (relayFailure ? ": " + *relayFailure : ""), "direct: " + p50(direct),
            "");
        return;
      }
      row(what, p50(viaRelay) + format(", p99 %.1f ms", percentile(viaRelay, 0.99)),
          "direct: " + p50(direct),
          format("%.2fx direct (<= 2x)", median(viaRelay) / median(direct)));
    };
    relayRow("lumora --relay run true", restedRuns, restedDirect);
    relayRow("  the same back to back", backToBack, ours);
  }

  // Capture to decoded picture at 1080p with the whole screen moving.
  {
    lumora::testing_support::ScreenAnimator content(xvfb.display(),
                                                    lumora::bench::scrollingDesktop());
    std::this_thread::sleep_for(300ms);
    auto measured = [](const Latency& latency) {
      return !latency.failure.empty() || latency.millis.empty()
                 ? "failed: " + latency.failure
                 : format("p50 %.0f ms, p95 %.0f ms", percentile(latency.millis, 0.5),
                          percentile(latency.millis, 0.95));
    };
    const Latency direct = measureLatency(agent, nullptr, seconds);
    const bool directOk = direct.failure.empty() && !direct.millis.empty();
    row("capture-to-decoded 1080p", measured(direct),
        directOk
            ? format("%.0f pictures in %.0f s", static_cast<double>(direct.millis.size()), seconds)
            : "-",
        directOk ? "p50 <= 20 ms, p95 <= 34 ms" : "");

    Latency relay;
    if (relayFailure) {
      relay.failure = *relayFailure;
    } else {
      try {
        const RelayRooms rooms = relayRoomsOf(serviceURL, agent, email);
        relay = measureLatency(agent, &rooms, seconds);
      } catch (const std::exception& e) {
        relay.failure = std::string("no relay token: ") + e.what();
      }
    }
    const bool relayOk = relay.failure.empty() && !relay.millis.empty();
    row("capture-to-decoded via relay", measured(relay),
        directOk ? "direct: " + measured(direct) : "-",
        relayOk && directOk ? format("p50 %+.0f ms vs direct (<= +5 ms)",
                                     percentile(relay.millis, 0.5) - percentile(direct.millis, 0.5))
                            : "");
  }

  std::filesystem::remove_all(work);
  return 0;
}
