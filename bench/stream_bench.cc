// The screen stream end to end on a 1920×1080 Xvfb at 30 fps: the real lumora-agent captures,
// encodes and sends to a media receiver in this process, beside ffmpeg's x11grab → libx264
// (4:2:0, zerolatency, the agent's bit rate) → null muxer at the same preset, in the same run.
// For each kind of content it reports frames per second, the encoding process's CPU as a
// share of one core, bytes per second and, for the agent, capture-to-socket latency (each
// frame's capture time against the moment its last byte arrived here; same clock).
// Usage: stream_bench [--seconds S] [--presets ultrafast,veryfast]

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "bench_support.h"
#include "protocol/media_frame.h"
#include "support/agent_process.h"
#include "support/process_table.h"
#include "support/raw_client.h"
#include "support/screen_animator.h"
#include "support/spawn.h"
#include "support/xvfb_server.h"
#include "transport/ticket_frame.h"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using lumora::protocol::MessageType;
using lumora::testing_support::ScreenAnimator;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 30;
constexpr int kBitRate = 7464960;  // what the agent derives for 1080p at 30 fps

struct Row {
  double fps = 0;
  double cpuPercent = 0;
  double bytesPerSecond = 0;
  std::optional<lumora::bench::Stats> latencyMillis;
  std::string note;
};

Row failed(std::string why) {
  Row row;
  row.note = std::move(why);
  return row;
}

std::uint64_t steadyMillis() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
          .count());
}

// One stream from the agent, received for `seconds` after a warm-up second.
Row runAgent(const lumora::testing_support::AgentProcess& agent, double seconds) {
  lumora::testing_support::RawClient control(agent.controlPort());
  control.authenticate(agent.secret());
  auto ticket = control.ask(lumora::protocol::MediaTicketRequest{});
  const auto* issued = ticket.payload.get<MessageType::mediaTicketResult>();
  if (issued == nullptr) return failed("no media ticket");

  asio::io_context io;
  asio::ip::tcp::socket media(io);
  media.connect({asio::ip::make_address("127.0.0.1"), agent.mediaPort()});
  asio::write(media, asio::buffer(lumora::transport::TicketFrame::encode(issued->token)));
  // An idle screen sends nothing; wake up now and then to watch the clock.
  struct timeval wake {
    0, 100000
  };
  ::setsockopt(media.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);

  lumora::protocol::CaptureFrameRequest start;
  start.mode = lumora::protocol::CaptureMode::startStream;
  auto started = control.ask(start);
  if (started.payload.messageType() != MessageType::ack) return failed("stream did not start");

  lumora::protocol::MediaFrameDecoder decoder;
  std::vector<std::uint8_t> chunk(1 << 20);
  std::vector<double> latencies;
  long frames = 0;
  std::size_t bytes = 0;
  double cpuAtStart = 0;
  const auto warmUpEnds = Clock::now() + 1s;
  Clock::time_point measureFrom;
  bool measuring = false;
  const auto deadline = warmUpEnds + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(seconds));
  while (Clock::now() < deadline) {
    // Plain recv: Asio's blocking read would wait past the socket's time-out.
    const ssize_t got = ::recv(media.native_handle(), chunk.data(), chunk.size(), 0);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      return failed("media connection ended");
    }
    const auto n = static_cast<std::size_t>(std::max<ssize_t>(got, 0));
    const std::uint64_t arrived = steadyMillis();
    auto received = decoder.push(lumora::protocol::ByteView(chunk.data(), n));
    if (!measuring && Clock::now() >= warmUpEnds) {
      measuring = true;
      measureFrom = Clock::now();
      cpuAtStart = lumora::bench::cpuSeconds(agent.pid());
      continue;
    }
    if (!measuring) continue;
    for (const auto& frame : received) {
      ++frames;
      bytes += frame.payload.size();
      latencies.push_back(static_cast<double>(arrived - frame.meta.presentationTimeMillis));
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - measureFrom).count();
  Row row;
  row.cpuPercent = (lumora::bench::cpuSeconds(agent.pid()) - cpuAtStart) * 100 / elapsed;
  row.fps = static_cast<double>(frames) / elapsed;
  row.bytesPerSecond = static_cast<double>(bytes) / elapsed;
  if (!latencies.empty()) row.latencyMillis = lumora::bench::percentiles(latencies);

  lumora::protocol::CaptureFrameRequest stop;
  stop.mode = lumora::protocol::CaptureMode::stopStream;
  control.ask(stop);
  return row;
}

// ffmpeg capturing and encoding the same display for `seconds`.
Row runFfmpeg(const std::string& display, const std::string& preset, double seconds) {
  const std::string base = "/tmp/lumora-stream-bench-" + std::to_string(::getpid());
  const std::string progress = base + ".progress";
  const std::string log = base + ".log";
  char secondsText[32];
  std::snprintf(secondsText, sizeof secondsText, "%.1f", seconds);
  const std::string command =
      "exec ffmpeg -hide_banner -nostdin -loglevel info -f x11grab -framerate " +
      std::to_string(kFps) + " -video_size " + std::to_string(kWidth) + "x" +
      std::to_string(kHeight) + " -i " + display + " -t " + secondsText +
      " -pix_fmt yuv420p -c:v libx264 -preset " + preset + " -tune zerolatency -b:v " +
      std::to_string(kBitRate) + " -progress " + progress + " -f null - 2>" + log;
  const auto started = Clock::now();
  const pid_t pid = lumora::testing_support::spawnProcess({"sh", "-c", command});
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  const double wall = std::chrono::duration<double>(Clock::now() - started).count();

  Row row;
  long frames = 0;
  std::ifstream progressFile(progress);
  for (std::string line; std::getline(progressFile, line);) {
    if (line.rfind("frame=", 0) == 0) frames = std::stol(line.substr(6));
  }
  std::ifstream logFile(log);
  std::string logText((std::istreambuf_iterator<char>(logFile)), {});
  std::smatch size;
  if (std::regex_search(logText, size, std::regex(R"(video:(\d+)(k|K)i?B)"))) {
    row.bytesPerSecond = std::stod(size[1]) * 1024 / seconds;
  }
  std::remove(progress.c_str());
  std::remove(log.c_str());
  if (frames == 0) return failed("ffmpeg produced nothing (is it installed?)");
  auto cpu = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  // Its own start-up is in both the CPU time and the wall time, so the share stays fair.
  row.cpuPercent = (cpu(usage.ru_utime) + cpu(usage.ru_stime)) * 100 / wall;
  row.fps = static_cast<double>(frames) / seconds;
  return row;
}

void print(const std::string& what, const Row& row) {
  if (!row.note.empty()) {
    std::printf("%-44s %s\n", what.c_str(), row.note.c_str());
    return;
  }
  char latency[64] = "-";
  if (row.latencyMillis) {
    std::snprintf(latency, sizeof latency, "%.0f / %.0f", row.latencyMillis->p50,
                  row.latencyMillis->p99);
  }
  std::printf("%-44s %6.1f %8.1f %% %10.0f %16s\n", what.c_str(), row.fps, row.cpuPercent,
              row.bytesPerSecond / 1024, latency);
}

std::vector<std::string> split(const std::string& list) {
  std::vector<std::string> items;
  std::istringstream in(list);
  for (std::string item; std::getline(in, item, ',');) items.push_back(item);
  return items;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  double seconds = 5;
  std::vector<std::string> presets = {"ultrafast", "veryfast"};
  lumora::bench::parseOptions(
      argc, argv, "usage: stream_bench [--seconds S] [--presets ultrafast,veryfast]",
      {{"seconds", "S", "how long each run lasts (default 5)"},
       {"presets", "LIST", "x264 presets to compare, by commas (default ultrafast,veryfast)"}},
      [&](const lumora::command_line::ParsedArgs& args) {
        seconds = args.seconds("seconds").value_or(seconds);
        if (auto list = args.value("presets")) presets = split(*list);
        if (presets.empty()) throw lumora::command_line::UsageError("--presets names no preset");
      });
  std::signal(SIGPIPE, SIG_IGN);

  lumora::testing_support::XvfbServer server(std::to_string(kWidth) + "x" +
                                             std::to_string(kHeight) + "x24");
  std::printf("%dx%d Xvfb on %s, %d fps, %.0f s per run, ffmpeg at -b:v %d\n", kWidth, kHeight,
              server.display().c_str(), kFps, seconds, kBitRate);
  std::printf("%-44s %6s %10s %10s %16s\n", "", "fps", "cpu/core", "KiB/s", "latency p50/p99 ms");
  const std::vector<std::pair<std::string, ScreenAnimator::Content>> contents = {
      {"full screen", lumora::bench::scrollingDesktop()},
      {"small area", lumora::bench::scrollingBox()}};
  for (const auto& preset : presets) {
    lumora::testing_support::AgentProcess agent({"DISPLAY=" + server.display()},
                                                {"--encoder-preset", preset});
    if (!agent.serving()) throw std::runtime_error("the agent did not start");
    for (const auto& [name, scene] : contents) {
      ScreenAnimator content(server.display(), scene);
      std::this_thread::sleep_for(300ms);
      print("lumora   " + preset + ", " + name, runAgent(agent, seconds));
      print("ffmpeg   " + preset + ", " + name, runFfmpeg(server.display(), preset, seconds));
    }
    std::this_thread::sleep_for(500ms);
    print("lumora   " + preset + ", idle screen", runAgent(agent, seconds));
  }
  return 0;
}
