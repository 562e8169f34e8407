// Raw screen capture of a 1920×1080 Xvfb with moving content: our X11 frame source against
// ffmpeg's x11grab capturing the same display to the null muxer, in the same run. Reports frames
// per second and CPU per frame for the capturing process and for the X server (which does the
// copy into shared memory for both).
#include "bench_support.h"
#include "platform/x11/frame_source_x11.h"
#include "support/process_table.h"
#include "support/screen_animator.h"
#include "support/spawn.h"
#include "support/xvfb_server.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kRunTime = 5s;
constexpr int kFps = 30;

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Row {
  std::string name;
  double fps = 0;
  double clientMsPerFrame = 0;
  double serverMsPerFrame = 0;
  long frames = 0;
};

Row runOurs(const lumora::testing_support::XvfbServer& server, const std::string& name) {
  lumora::platform::x11::FrameSourceX11 source(server.display(), std::nullopt, std::nullopt,
                                               std::nullopt, kFps);
  std::mutex mutex;
  long frames = 0;
  double firstCpu = 0, lastCpu = 0;
  Clock::time_point firstAt, lastAt;
  const double serverBefore = lumora::bench::cpuSeconds(server.pid());
  source.start([&](const lumora::platform::PixelBuffer& frame, std::uint64_t) {
    volatile std::uint8_t touch = frame.data()[frame.byteCount() / 2];
    (void)touch;
    std::lock_guard lock(mutex);
    const double cpu = threadCpuSeconds();
    if (frames == 0) {
      firstCpu = cpu;
      firstAt = Clock::now();
    }
    lastCpu = cpu;
    lastAt = Clock::now();
    ++frames;
  });
  std::this_thread::sleep_for(kRunTime);
  source.stop();
  const double serverCpu = lumora::bench::cpuSeconds(server.pid()) - serverBefore;
  Row row{name};
  row.frames = frames;
  if (frames > 1) {
    const double seconds = std::chrono::duration<double>(lastAt - firstAt).count();
    row.fps = static_cast<double>(frames - 1) / seconds;
    row.clientMsPerFrame = (lastCpu - firstCpu) * 1000 / static_cast<double>(frames - 1);
    row.serverMsPerFrame = serverCpu * 1000 / static_cast<double>(frames);
  }
  return row;
}

Row runFfmpeg(const lumora::testing_support::XvfbServer& server) {
  const std::string progress = "/tmp/lumora-capture-bench-" + std::to_string(getpid());
  const std::string seconds = std::to_string(std::chrono::seconds(kRunTime).count());
  std::vector<std::string> args = {"ffmpeg",
                                   "-hide_banner",
                                   "-loglevel",
                                   "fatal",
                                   "-nostdin",
                                   "-f",
                                   "x11grab",
                                   "-framerate",
                                   std::to_string(kFps),
                                   "-video_size",
                                   "1920x1080",
                                   "-i",
                                   server.display(),
                                   "-t",
                                   seconds,
                                   "-progress",
                                   progress,
                                   "-f",
                                   "null",
                                   "-"};
  const double serverBefore = lumora::bench::cpuSeconds(server.pid());
  const auto started = Clock::now();
  pid_t pid = -1;
  try {
    pid = lumora::testing_support::spawnProcess(args);
  } catch (const std::runtime_error&) {
    return {"ffmpeg x11grab (not installed)"};
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double wall = std::chrono::duration<double>(Clock::now() - started).count();
  const double serverCpu = lumora::bench::cpuSeconds(server.pid()) - serverBefore;

  long frames = 0;
  std::ifstream file(progress);
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("frame=", 0) == 0) frames = std::stol(line.substr(6));
  }
  std::remove(progress.c_str());
  Row row{"ffmpeg -f x11grab -> null"};
  row.frames = frames;
  if (frames > 0) {
    auto cpu = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    // Start-up is part of the process's time; the rate uses the capture duration it was given.
    row.fps = static_cast<double>(frames) /
              std::min<double>(wall, std::chrono::seconds(kRunTime).count());
    row.clientMsPerFrame =
        (cpu(usage.ru_utime) + cpu(usage.ru_stime)) * 1000 / static_cast<double>(frames);
    row.serverMsPerFrame = serverCpu * 1000 / static_cast<double>(frames);
  }
  return row;
}

void print(const Row& row) {
  if (row.frames < 2) {  // nothing to divide by: an idle screen delivers its first frame only
    std::printf("%-34s %7ld %8s %14s %14s\n", row.name.c_str(), row.frames, "-", "-", "-");
    return;
  }
  std::printf("%-34s %7ld %8.1f %14.2f %14.2f\n", row.name.c_str(), row.frames, row.fps,
              row.clientMsPerFrame, row.serverMsPerFrame);
}

}  // namespace

int main(int argc, char** argv) {
  lumora::bench::parseOptions(argc, argv, "usage: capture_bench", {},
                              [](const lumora::command_line::ParsedArgs&) {});
  lumora::testing_support::XvfbServer server("1920x1080x24");
  std::printf("1920x1080 Xvfb on %s, %d fps asked, %lld s per run\n", server.display().c_str(),
              kFps, static_cast<long long>(std::chrono::seconds(kRunTime).count()));
  std::printf("(ffmpeg's cpu includes its own start-up; the X server's includes the drawing)\n");
  std::printf("%-34s %7s %8s %14s %14s\n", "capture", "frames", "fps", "cpu ms/frame",
              "Xserver ms/fr");
  Row ours, theirs, idle;
  {
    lumora::testing_support::ScreenAnimator content(server.display(),
                                                    lumora::bench::scrollingDesktop());
    std::this_thread::sleep_for(300ms);
    ours = runOurs(server, "lumora X11 (SHM + DAMAGE)");
    theirs = runFfmpeg(server);
  }
  std::this_thread::sleep_for(300ms);
  idle = runOurs(server, "lumora X11, idle screen");
  print(ours);
  print(theirs);
  print(idle);
  return 0;
}
