// lumora-tray's start and memory on a private Xvfb without a tray host (so it shows its panel as
// a window at once), beside a bare Qt window (one label) started the same way in the same run:
//   start     — from starting the program to its first window mapped, as the X server reports;
//   idle      — resident memory a second after the window is mapped;
//   serving   — resident memory two seconds after `lumora-tray lumora://start` made it serve.
// Goals: start under 300 ms, resident memory under 80 MiB.
#include <signal.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "support/eventually.h"
#include "support/free_port.h"
#include "support/process_table.h"
#include "support/spawn.h"
#include "support/temp_dir.h"
#include "support/xvfb_server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace support = lumora::testing_support;

// Watches the root window for a window being mapped.
class MapWatcher {
 public:
  explicit MapWatcher(const std::string& display)
      : connection_(xcb_connect(display.c_str(), nullptr), &xcb_disconnect) {
    if (xcb_connection_has_error(connection_.get())) throw std::runtime_error("no X connection");
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_.get())).data;
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection_.get(), screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection_.get());
  }

  // Waits for the next top-level window to be mapped; false after 10 s.
  bool waitForMap() {
    const auto limit = Clock::now() + 10s;
    while (Clock::now() < limit) {
      while (xcb_generic_event_t* event = xcb_poll_for_event(connection_.get())) {
        const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
        std::free(event);
        if (mapped) return true;
      }
      std::this_thread::sleep_for(200us);
    }
    return false;
  }

 private:
  std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection_;
};

struct Run {
  double startMs = 0;
  double idleMiB = 0;
  double servingMiB = 0;
};

Run measure(const std::string& program, const support::XvfbServer& xvfb, bool serve) {
  support::TempDir home;
  std::filesystem::create_directories(home.path() / "run");
  std::filesystem::permissions(home.path() / "run", std::filesystem::perms::owner_all);
  support::SpawnOptions options;
  options.environment =
      std::vector<std::string>{"HOME=" + home.path().string(),
                               "DISPLAY=" + xvfb.display(),
                               "XDG_RUNTIME_DIR=" + (home / "run"),
                               "LANG=C.UTF-8",
                               "PATH=" + std::string(std::getenv("PATH")),
                               "LUMORA_CONTROL_PORT=" + std::to_string(support::freePortPair())};

  MapWatcher watcher(xvfb.display());
  const auto started = Clock::now();
  const pid_t pid = support::spawnProcess({program}, options);
  Run run;
  if (!watcher.waitForMap()) {
    ::kill(pid, SIGKILL);
    support::waitForExit(pid);
    throw std::runtime_error(program + " mapped no window");
  }
  run.startMs = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
  std::this_thread::sleep_for(1s);
  run.idleMiB = static_cast<double>(support::residentBytes(pid)) / (1 << 20);
  if (serve) {
    support::runProgram({program, "lumora://start"}, options);
    support::eventually([&] {
      return support::contentOf(home / ".lumora/agent-status.json").find("\"running\" : true") !=
             std::string::npos;
    });
    std::this_thread::sleep_for(2s);
    run.servingMiB = static_cast<double>(support::residentBytes(pid)) / (1 << 20);
  }
  ::kill(pid, SIGTERM);
  support::waitForExit(pid);
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 10;
  lumora::bench::parseOptions(
      argc, argv, "usage: tray_bench [--runs N]",
      {{"runs", "N", "starts of each program; the median and the slowest are shown (default 10)"}},
      [&](const lumora::command_line::ParsedArgs& args) {
        runs = static_cast<int>(args.integer("runs", 1, 1000).value_or(10));
      });

  support::XvfbServer xvfb("1920x1080x24");
  std::vector<double> trayStart, baselineStart, trayIdle, baselineIdle, trayServing;
  for (int i = 0; i < runs; ++i) {
    // Alternated, so that whatever else the machine does weighs on both alike.
    const Run tray = measure(LUMORA_TRAY_BINARY, xvfb, true);
    const Run baseline = measure(QT_WINDOW_BASELINE_BINARY, xvfb, false);
    trayStart.push_back(tray.startMs);
    trayIdle.push_back(tray.idleMiB);
    trayServing.push_back(tray.servingMiB);
    baselineStart.push_back(baseline.startMs);
    baselineIdle.push_back(baseline.idleMiB);
  }
  const auto row = [](const char* name, const std::vector<double>& samples, const char* unit) {
    std::printf("%-34s p50 %7.1f %s   max %7.1f %s\n", name,
                lumora::bench::percentile(samples, 0.5), unit,
                lumora::bench::percentile(samples, 1.0), unit);
  };
  std::printf("%d starts of each on a 1920x1080 Xvfb without a tray host\n", runs);
  row("lumora-tray: start to window", trayStart, "ms ");
  row("bare Qt window: start to window", baselineStart, "ms ");
  row("lumora-tray: resident, idle", trayIdle, "MiB");
  row("bare Qt window: resident", baselineIdle, "MiB");
  row("lumora-tray: resident, serving", trayServing, "MiB");
  std::printf("goals: start under 300 ms, resident under 80 MiB\n");
  return 0;
}
