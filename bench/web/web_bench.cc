// The web client's screen in headless Chromium (a Pixel 7 context, through the tests' phone
// driver) beside the client library, in the same run and through the same relay of a
// lumora-account-service --dev, with the screen of a private Xvfb scrolling like a desktop:
//   capture to decoded picture and capture to drawn picture in the page, from each frame's
//   capture stamp against window.lumora.stats, beside capture to decoded picture through the
//   client library (media client + video decoder) at the same picture size;
//   opening a paired device to its first decoded frame: a fresh load of the page (which opens
//   the computer used last) beside the client library's connect, pair, media connection and
//   start.
// The agent stamps frames with the monotonic clock (milliseconds), the page stamps them with the
// wall clock (performance.timeOrigin + now): the bench turns capture stamps into wall-clock time
// with the offset between the two clocks it reads itself, and prints how far the page's clock is
// from Date.now() and from the bench's wall clock.
// Usage: web_bench [--seconds S] [--opens N]

#include <boost/json/serialize.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "net/http_client.h"
#include "protocol/room_key.h"
#include "sdk/account/auth_client.h"
#include "sdk/account/device_registry_client.h"
#include "sdk/account/relay_token_client.h"
#include "sdk/agent_control_client.h"
#include "sdk/media_client.h"
#include "sdk/video_decoder.h"
#include "stream_latency.h"
#include "support/account_service_process.h"
#include "support/agent_process.h"
#include "support/browser_phone.h"
#include "support/run_awaitable.h"
#include "support/screen_animator.h"
#include "support/xvfb_server.h"
#include "web_page.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using lumora::bench::percentile;
using lumora::testing_support::BrowserPhone;

constexpr const char* kEmail = "bench@example.com";
// The agent takes a second to join its room again after a phone left; a phone that comes
// sooner waits for it.
constexpr auto kRest = 1500ms;

double millisOf(std::chrono::nanoseconds d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Wall-clock milliseconds minus monotonic milliseconds, now.
double clockOffsetMillis() {
  const auto steady = Clock::now().time_since_epoch();
  const auto wall = std::chrono::system_clock::now().time_since_epoch();
  return millisOf(wall) - millisOf(steady);
}

std::string format(const char* pattern, double a, double b = 0, double c = 0) {
  char text[160];
  std::snprintf(text, sizeof text, pattern, a, b, c);
  return text;
}

void row(const std::string& what, const std::string& page, const std::string& library) {
  std::printf("%-34s %-40s %s\n", what.c_str(), page.c_str(), library.c_str());
  std::fflush(stdout);
}

std::string spread(const std::vector<double>& millis) {
  if (millis.empty()) return "no samples";
  return format("p50 %.0f ms, p95 %.0f ms (%.0f)", percentile(millis, 0.5),
                percentile(millis, 0.95), static_cast<double>(millis.size()));
}

struct Relay {
  std::string room;   // ws://…/relay/<fingerprint>
  std::string token;  // admits to both of the agent's rooms
};

// The account holds the agent, registered with its pairing code as its desktop does; a relay
// token for its rooms, through the client library.
Relay registerAgent(const std::string& serviceURL,
                    const lumora::testing_support::AgentProcess& agent) {
  using lumora::testing_support::runAwaitable;
  auto http = std::make_shared<lumora::net::HttpClient>("web-bench");
  const auto tokens = runAwaitable(lumora::sdk::AuthClient(serviceURL, http).login("dev", kEmail));
  runAwaitable(lumora::sdk::DeviceRegistryClient(serviceURL, tokens.accessToken, http)
                   .registerDevice("desk", "linux", agent.secret().code()));
  const auto issued = runAwaitable(
      lumora::sdk::RelayTokenClient(serviceURL, tokens.accessToken, http)
          .issueToken(lumora::protocol::RoomKey::derive(agent.secret()).fingerprint()));
  return {"ws://" + serviceURL.substr(std::string("http://").size()) + "/relay/" + issued.room,
          issued.token};
}

// The client library through the relay: each picture's decode time minus its capture time, for
// `seconds` after a second's warm-up, and the time from the start of the connection to the
// first decoded picture.
struct LibraryRun {
  std::vector<double> latency;
  double firstPictureMillis = -1;
  std::string failure;
};

LibraryRun runLibrary(const lumora::testing_support::AgentProcess& agent, const Relay& relay,
                      int maxWidth, int maxHeight, double seconds) {
  LibraryRun run;
  const std::string code = agent.secret().code();
  try {
    const auto opened = Clock::now();
    lumora::sdk::AgentControlClient client;
    lumora::bench::connectViaRelayWhenReady(client, relay.room, relay.token, code);
    client.authenticate(code, "web-bench").get();
    lumora::sdk::MediaClient media;
    auto frames = media.connectViaRelay(relay.room + "-media", relay.token, code).get();
    client.startStream(maxWidth, maxHeight, lumora::protocol::VideoCodec::h264).get();
    auto decoded = lumora::bench::decodeLatency(frames, seconds, 2s);
    run.latency = std::move(decoded.millis);
    if (decoded.firstPicture) run.firstPictureMillis = millisOf(*decoded.firstPicture - opened);
    client.stopStream().get();
    client.disconnect();
  } catch (const std::exception& e) {
    run.failure = e.what();
  }
  return run;
}

// Records in the page, from window.lumora.stats alone, each newly decoded picture (its capture
// stamp and decodedAt) and each draw whose picture is known: the newest decoded picture when it
// was decoded before the draw (a picture decoded after the draw and before the look leaves that
// draw out).
constexpr const char* kCollector = R"((() => {
  const stats = window.lumora.stats;
  const decoded = [], drawn = [];
  let frame = stats.lastDecoded?.frameID, drawnAt = stats.lastDrawnAt, unknown = 0;
  const look = () => {
    const d = stats.lastDecoded;
    if (d && d.frameID !== frame) { frame = d.frameID; decoded.push([d.presentationTimeMillis, d.decodedAt]); }
    if (stats.lastDrawnAt !== drawnAt) {
      drawnAt = stats.lastDrawnAt;
      if (d && d.decodedAt <= drawnAt) drawn.push([d.presentationTimeMillis, drawnAt]); else unknown++;
    }
  };
  const timer = setInterval(look, 1);
  let running = true;
  const onFrame = () => { look(); if (running) requestAnimationFrame(onFrame); };
  requestAnimationFrame(onFrame);
  window.benchCollector = { decoded, drawn, stop() { running = false; clearInterval(timer); return { decoded, drawn, unknown }; } };
  return true;
})())";

struct PageRun {
  std::vector<double> decoded;
  std::vector<double> drawn;
  int unknownDraws = 0;
};

PageRun collectFromPage(BrowserPhone& phone, double seconds, double offset) {
  phone.eval(kCollector);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const auto samples = phone.eval("window.benchCollector.stop()").as_object();
  PageRun run;
  auto latencies = [&](const char* key, std::vector<double>& into) {
    for (const auto& sample : samples.at(key).as_array()) {
      const auto& pair = sample.as_array();
      into.push_back(pair.at(1).to_number<double>() - (pair.at(0).to_number<double>() + offset));
    }
  };
  latencies("decoded", run.decoded);
  latencies("drawn", run.drawn);
  run.unknownDraws = static_cast<int>(samples.at("unknown").to_number<double>());
  return run;
}

// The page's clock against Date.now() and against this process's wall clock (the latter within
// the driver's round trip, which is printed too).
std::string clockCheck(BrowserPhone& phone) {
  const double before = millisOf(std::chrono::system_clock::now().time_since_epoch());
  const auto read =
      phone.eval("[performance.timeOrigin + performance.now(), Date.now()]").as_array();
  const double after = millisOf(std::chrono::system_clock::now().time_since_epoch());
  const double hooks = read.at(0).to_number<double>();
  const double date = read.at(1).to_number<double>();
  return format(
      "page clock - Date.now() %+.1f ms; - bench wall clock %+.1f ms (round trip %.1f ms)",
      hooks - date, hooks - (before + after) / 2, after - before);
}

}  // namespace

int main(int argc, char** argv) try {
  double seconds = 5;
  int opens = 10;
  lumora::bench::parseOptions(
      argc, argv, "usage: web_bench [--seconds S] [--opens N]",
      {{"seconds", "S", "how long each stream's latency is measured (default 5)"},
       {"opens", "N", "openings of the paired device timed on each side (default 10)"}},
      [&](const lumora::command_line::ParsedArgs& args) {
        seconds = args.seconds("seconds").value_or(5);
        opens = static_cast<int>(args.integer("opens", 1, 100).value_or(5));
      });
  std::signal(SIGPIPE, SIG_IGN);

  lumora::testing_support::XvfbServer xvfb("1024x768x24");
  lumora::testing_support::AccountServiceProcess service({"--listen", "127.0.0.1:0", "--dev"});
  const std::string origin = service.url();
  lumora::testing_support::AgentProcess agent({"DISPLAY=" + xvfb.display()},
                                              {"--relay-base", origin});
  if (!agent.serving()) throw std::runtime_error("the agent did not start: " + agent.log());
  const Relay relay = registerAgent(origin, agent);
  lumora::testing_support::ScreenAnimator content(xvfb.display(),
                                                  lumora::bench::scrollingDesktop());

  // The page signs in and pairs by the agent's web link.
  BrowserPhone phone;
  const std::string device = lumora::bench::deviceRow(agent);
  lumora::bench::openComputerInPage(phone, origin, kEmail, agent);
  if (!phone.waitUntil("window.lumora?.stats?.decodedFrames > 0", 30s)) {
    throw std::runtime_error("no frame in the page: " + phone.lastWaitError() + "\n" + phone.log());
  }
  const auto size = phone
                        .eval(
                            "[window.lumora.stats.lastDecoded.width, "
                            "window.lumora.stats.lastDecoded.height]")
                        .as_array();
  const int width = static_cast<int>(size.at(0).to_number<double>());
  const int height = static_cast<int>(size.at(1).to_number<double>());

  std::printf("1024x768 desktop scrolling at 60 Hz, through the relay; %dx%d pictures\n", width,
              height);
  row("", "web page (headless Chromium)", "client library (baseline)");

  // Capture to picture: the page first (after a second's warm-up), then the library.
  std::this_thread::sleep_for(1s);
  const std::string clocks = clockCheck(phone);
  const double offset = clockOffsetMillis();
  const PageRun page = collectFromPage(phone, seconds, offset);
  const double drift = clockOffsetMillis() - offset;
  phone.tap("#screen-back");  // the page leaves the agent's rooms
  phone.waitFor(device);
  std::this_thread::sleep_for(kRest);
  const LibraryRun library = runLibrary(agent, relay, width, height, seconds);
  row("capture-to-decoded", spread(page.decoded),
      library.failure.empty() ? spread(library.latency) : "failed: " + library.failure);
  row("capture-to-drawn", spread(page.drawn) + format(", %d draws unknown", page.unknownDraws),
      "-");

  // Opening the paired device to its first frame: a fresh page each time, signed in and paired,
  // which opens the computer used last by itself.
  std::vector<double> pageOpens, libraryOpens;
  for (int i = 0; i < opens; ++i) {
    phone.goTo(origin + "/app/");
    if (!phone.waitUntil("window.lumora?.stats?.firstFrameAt > 0", 20s)) break;
    pageOpens.push_back(
        phone.eval("window.lumora.stats.firstFrameAt - window.lumora.stats.openedAt")
            .to_number<double>());
    phone.goTo("about:blank");
    std::this_thread::sleep_for(kRest);
    const LibraryRun opened = runLibrary(agent, relay, width, height, 0);
    if (opened.firstPictureMillis >= 0) libraryOpens.push_back(opened.firstPictureMillis);
  }
  row("open paired device to 1st frame", spread(pageOpens), spread(libraryOpens));
  std::printf("clocks: %s; the monotonic-to-wall offset moved %.2f ms while measuring\n",
              clocks.c_str(), drift);
  return 0;
} catch (const std::exception& e) {
  // Returning, rather than dying of the exception, ends the programs the bench started.
  std::fprintf(stderr, "web_bench: %s\n", e.what());
  return 1;
}
