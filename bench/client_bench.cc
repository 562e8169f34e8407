// The lumora command-line client against the real agent over loopback, beside OpenSSH in the
// same run (the throw-away sshd of ssh_baseline.sh):
//   lumora get / put of a 512 MiB file, tmpfs to tmpfs   vs  scp through the master connection;
//   lumora run true, the whole program (connect, pair, run)  vs  a fresh and a multiplexed
//   `ssh <host> true`;
//   capture-to-decoded latency of the 1080p screen stream with moving content, through the
//   client library (each frame's capture time against the moment its picture was decoded).
// Usage: client_bench [--megabytes M] [--runs N] [--seconds S]   (as root: the baseline makes
// its user)

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "bench_support.h"
#include "sdk/agent_control_client.h"
#include "sdk/media_client.h"
#include "sdk/video_decoder.h"
#include "support/agent_process.h"
#include "support/screen_animator.h"
#include "support/spawn.h"
#include "support/xvfb_server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using lumora::bench::percentile;
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

std::uint64_t steadyMillis() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
          .count());
}

// The stream through the client library: each picture's decode time minus its capture time.
Latency measureLatency(const AgentProcess& agent, double seconds) {
  Latency result;
  try {
    lumora::sdk::AgentControlClient client;
    client.connect("127.0.0.1", agent.controlPort()).get();
    client.authenticate(agent.secret().code(), "client-bench").get();
    lumora::sdk::MediaClient media;
    auto frames =
        media.connect("127.0.0.1", agent.mediaPort(), client.requestMediaTicket().get()).get();
    client.startStream().get();
    lumora::sdk::VideoDecoder decoder;
    std::map<std::uint64_t, std::uint64_t> captured;  // frame id → capture millis
    bool measuring = false;
    decoder.setOnDecoded([&](const lumora::sdk::DecodedPicture&, std::uint64_t frameID) {
      auto found = captured.find(frameID);
      if (found == captured.end()) return;
      if (measuring) {
        result.millis.push_back(static_cast<double>(steadyMillis() - found->second));
      }
      captured.erase(captured.begin(), std::next(found));
    });
    const auto warmUpEnd = Clock::now() + 1s;
    const auto end = warmUpEnd + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(seconds));
    bool keyed = false;
    while (Clock::now() < end) {
      auto frame = frames.next(1s);
      if (!frame) break;
      measuring = Clock::now() >= warmUpEnd;
      keyed = keyed || frame->meta.isKeyframe;
      if (!keyed) continue;
      captured[frame->meta.frameID] = frame->meta.presentationTimeMillis;
      decoder.decode(frame->payload, frame->meta.frameID);
      if (measuring) ++result.frames;
    }
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
      [&](const lumora::cli::ParsedArgs& args) {
        megabytes = static_cast<std::size_t>(args.integer("megabytes", 1, 1 << 20).value_or(512));
        runs = static_cast<int>(args.integer("runs", 1, 1000).value_or(3));
        seconds = args.seconds("seconds").value_or(5);
      });
  std::signal(SIGPIPE, SIG_IGN);

  lumora::testing_support::XvfbServer xvfb("1920x1080x24");
  AgentProcess agent({"DISPLAY=" + xvfb.display()});
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

  std::printf("%-30s %-30s %-36s %s\n", "", "lumora", "baseline", "goal");

  // File transfer, each side's runs interleaved so both see the same machine.
  {
    std::vector<double> put, get, scpPut, scpGet;
    bool identical = true;
    for (int run = 0; run < runs; ++run) {
      const std::string up = (work / "lumora-put.bin").string();
      const std::string down = (work / "lumora-get.bin").string();
      put.push_back(timed({LUMORA_CLI_BINARY, "put", source, up}, &clientEnv));
      get.push_back(timed({LUMORA_CLI_BINARY, "get", up, down}, &clientEnv));
      identical = identical && sameFiles(source, up) && sameFiles(source, down);
      std::filesystem::remove(up);
      std::filesystem::remove(down);
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
  }

  // Capture to decoded picture at 1080p with the whole screen moving.
  {
    lumora::testing_support::ScreenAnimator content(xvfb.display(),
                                                    lumora::bench::scrollingDesktop());
    std::this_thread::sleep_for(300ms);
    Latency latency = measureLatency(agent, seconds);
    if (!latency.failure.empty() || latency.millis.empty()) {
      row("capture-to-decoded 1080p", "failed: " + latency.failure, "-", "");
    } else {
      row("capture-to-decoded 1080p",
          format("p50 %.0f ms, p95 %.0f ms", percentile(latency.millis, 0.5),
                 percentile(latency.millis, 0.95)),
          format("%.0f pictures in %.0f s", static_cast<double>(latency.millis.size()), seconds),
          "p50 <= 20 ms, p95 <= 34 ms");
    }
  }

  std::filesystem::remove_all(work);
  return 0;
}
