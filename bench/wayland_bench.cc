// Screen capture through the desktop portals and PipeWire beside the X11 path, in the same run,
// both 1280×800 with moving content:
//   Wayland — sway headless with weston-presentation-shm animating it, the real xdg-desktop-portal
//             frontend and the tests' stand-in portal backend, which publishes grim captures of
//             the output as a PipeWire node (a desktop's own compositor hands its frames to
//             PipeWire directly, so this producer is slower than a real one);
//   X11     — Xvfb with the capture benchmark's scrolling desktop.
// For each: the frames the frame source delivered, this process's CPU per frame (every thread,
// the PipeWire loop's included), and the agent's capture-to-socket latency: from the moment the
// frame source handed a frame on to the moment its encoded frame arrived on a client's media
// socket, through the real lumora-agent and the client library.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "platform/wayland/desktop_wayland.h"
#include "platform/x11/frame_source_x11.h"
#include "sdk/agent_control_client.h"
#include "sdk/media_client.h"
#include "support/agent_process.h"
#include "support/screen_animator.h"
#include "support/temp_dir.h"
#include "support/wayland_desktop.h"
#include "support/xvfb_server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using lumora::testing_support::AgentProcess;
using lumora::testing_support::WaylandDesktop;

constexpr int kFps = 30;

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct CaptureRow {
  long frames = 0;
  double fps = 0;
  double cpuMsPerFrame = 0;
  std::string failure;
};

CaptureRow measureCapture(lumora::platform::FrameSource& source, double seconds) {
  CaptureRow row;
  std::atomic<long> frames{0};
  const double cpuBefore = processCpuSeconds();
  const auto started = Clock::now();
  try {
    source.start([&](const lumora::platform::PixelBuffer& frame, std::uint64_t) {
      volatile std::uint8_t touch = frame.data()[frame.byteCount() / 2];
      (void)touch;
      ++frames;
    });
  } catch (const std::exception& e) {
    row.failure = e.what();
    return row;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  source.stop();
  const double wall = std::chrono::duration<double>(Clock::now() - started).count();
  row.frames = frames;
  if (row.frames > 0) {
    row.fps = static_cast<double>(row.frames) / wall;
    row.cpuMsPerFrame = (processCpuSeconds() - cpuBefore) * 1000 / static_cast<double>(row.frames);
  }
  return row;
}

struct LatencyRow {
  std::vector<double> millis;
  std::string failure;
};

std::uint64_t steadyMillis() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
          .count());
}

// The stream of `agent` through the client library: each frame's arrival on the media socket
// minus the time its frame source handed it on (both on this machine's monotonic clock).
LatencyRow measureLatency(const AgentProcess& agent, double seconds) {
  LatencyRow row;
  try {
    lumora::sdk::AgentControlClient client;
    lumora::sdk::MediaClient media;
    client.connect("127.0.0.1", agent.controlPort()).get();
    client.authenticate(agent.secret().code(), "wayland-bench").get();
    auto frames =
        media.connect("127.0.0.1", agent.mediaPort(), client.requestMediaTicket().get()).get();
    client.startStream().get();
    const auto warmUpEnd = Clock::now() + 1s;
    const auto end = warmUpEnd + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
      auto frame = frames.next(2s);
      if (!frame) break;
      if (Clock::now() < warmUpEnd) continue;
      row.millis.push_back(
          static_cast<double>(steadyMillis() - frame->meta.presentationTimeMillis));
    }
    client.stopStream().get();
    if (row.millis.empty()) row.failure = "no frames arrived";
  } catch (const std::exception& e) {
    row.failure = e.what();
  }
  return row;
}

void print(const std::string& name, const CaptureRow& capture, const LatencyRow& latency) {
  std::string captured =
      capture.failure.empty() ? std::to_string(capture.frames) : "failed: " + capture.failure;
  char line[256];
  if (capture.failure.empty() && capture.frames > 0) {
    std::snprintf(line, sizeof line, "%-10s %8ld %7.1f %13.2f", name.c_str(), capture.frames,
                  capture.fps, capture.cpuMsPerFrame);
  } else {
    std::snprintf(line, sizeof line, "%-10s %s", name.c_str(), captured.c_str());
  }
  std::string text = line;
  if (latency.failure.empty()) {
    std::snprintf(line, sizeof line, "   %9.1f %9.1f %8zu",
                  lumora::bench::percentile(latency.millis, 0.5),
                  lumora::bench::percentile(latency.millis, 0.95), latency.millis.size());
    text += line;
  } else {
    text += "   latency failed: " + latency.failure;
  }
  std::printf("%s\n", text.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 5;
  lumora::bench::parseOptions(
      argc, argv, "usage: wayland_bench [--seconds S]",
      {{"seconds", "S", "how long each capture and each stream is measured (default 5)"}},
      [&](const lumora::command_line::ParsedArgs& parsed) {
        seconds = parsed.seconds("seconds").value_or(5);
      });

  std::signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<WaylandDesktop> desk;
  try {
    desk = std::make_unique<WaylandDesktop>();
    desk->run({"weston-presentation-shm"});
  } catch (const std::exception& e) {
    std::printf("no Wayland desktop here: %s\n", e.what());
    return 1;
  }
  lumora::testing_support::XvfbServer xvfb("1280x800x24");
  lumora::testing_support::ScreenAnimator animation(xvfb.display(),
                                                    lumora::bench::scrollingDesktop());
  std::this_thread::sleep_for(500ms);

  std::printf(
      "1280x800, %d fps asked, %.1f s per run; cpu is this process's, per frame delivered\n", kFps,
      seconds);
  std::printf("%-10s %8s %7s %13s   %9s %9s %8s\n", "path", "frames", "fps", "cpu ms/frame",
              "p50 ms", "p95 ms", "samples");

  lumora::platform::x11::FrameSourceX11 x11Source(xvfb.display(), std::nullopt, std::nullopt,
                                                  std::nullopt, kFps);
  const CaptureRow x11Capture = measureCapture(x11Source, seconds);

  // In this process the portal session needs the desktop's bus and runtime folder.
  lumora::testing_support::TempDir home;
  desk->applyToThisProcess();
  CaptureRow waylandCapture;
  {
    lumora::platform::wayland::DesktopWayland desktop(
        {home.path() / "portal-restore-token", "", lumora::platform::CommandKey::control});
    auto source = desktop.makeFrameSource({std::nullopt, std::nullopt, std::nullopt, kFps});
    waylandCapture = measureCapture(*source, seconds);
  }

  LatencyRow x11Latency, waylandLatency;
  {
    AgentProcess agent({"DISPLAY=" + xvfb.display()}, {"--backend", "x11"});
    x11Latency = measureLatency(agent, seconds);
  }
  {
    AgentProcess agent(desk->environment(), {"--backend", "wayland"});
    waylandLatency = measureLatency(agent, seconds);
  }
  print("X11", x11Capture, x11Latency);
  print("Wayland", waylandCapture, waylandLatency);
  return 0;
}
