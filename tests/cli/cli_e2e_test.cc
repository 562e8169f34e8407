// The lumora program end to end against the real agent on a private Xvfb.

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <regex>

#include "cli/lumora_runner.h"
#include "protocol/limits.h"
#include "support/agent_process.h"
#include "support/eventually.h"
#include "support/h264_test_codec.h"
#include "support/spawn.h"
#include "support/test_x_client.h"
#include "support/xvfb_server.h"

namespace lumora::cli {
namespace {

using testing_support::AgentProcess;
using testing_support::contentOf;
using testing_support::TempDir;

// What the suite's screen shows: the cases that draw on it put it back.
constexpr std::uint32_t kScreenColour = 0x3366cc;

// One agent for the whole suite, on a private Xvfb whose screen is one known colour.
struct Desk {
  Desk() {
    screen.fill(screen.openWindow(0, 0, 640, 480, kScreenColour), kScreenColour, 0, 0, 640, 480);
  }
  testing_support::XvfbServer xvfb{"640x480x24"};
  testing_support::TestXClient screen{xvfb.display()};
  AgentProcess agent{{"DISPLAY=" + xvfb.display()}};
};

class CliEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { desk_ = new Desk(); }
  static void TearDownTestSuite() { delete desk_; }
  void SetUp() override { ASSERT_TRUE(agent_->serving()) << agent_->log(); }

  // lumora with this test's home, talking to the agent through LUMORA_LINK.
  std::vector<std::string> environment() const {
    return {"LUMORA_LINK=" + agent_->link(), "HOME=" + home_.path().string(), "PATH=/usr/bin:/bin"};
  }
  Outcome lumora(std::vector<std::string> args) {
    return runLumora(home_, std::move(args), {"LUMORA_LINK=" + agent_->link()});
  }

  static Desk* desk_;
  AgentProcess* const agent_ = &desk_->agent;
  testing_support::TestXClient* const xClient_ = &desk_->screen;
  TempDir home_;
};

Desk* CliEndToEndTest::desk_ = nullptr;

TEST_F(CliEndToEndTest, PairStoresTheAgentPrivatelyAndRunUsesItPassingStreamsAndStatus) {
  Outcome paired = runLumora(home_, {"pair", agent_->link(), "--name", "desk"});
  ASSERT_EQ(paired.status, 0) << paired.err;
  // Where and how privately: agent_store_test.
  const auto stored = home_.path() / ".config/lumora/agents.json";
  EXPECT_NE(contentOf(stored).find(agent_->secret().code()), std::string::npos);

  // No link given: the stored agent answers; a command's streams and status come through.
  Outcome run = runLumora(home_, {"run", "--shell", "/bin/sh", "echo out; echo err >&2; exit 3"});
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.out, "out\n");
  EXPECT_EQ(run.err, "err\n");
}

TEST_F(CliEndToEndTest, ErrorsAreOneLineNamingWhatFailed) {
  std::string wrongCode = agent_->secret().code();
  wrongCode.back() = wrongCode.back() == '0' ? '1' : '0';
  const std::string wrongLink =
      "lumora://pair?host=127.0.0.1&cp=" + std::to_string(agent_->controlPort()) +
      "&mp=1&code=" + wrongCode;
  expectOneLine(runLumora(home_, {"ping", "--link", wrongLink}), 1,
                "lumora: pairing rejected: invalid credentials\n");
  // A rejected pairing stores nothing.
  Outcome pair = runLumora(home_, {"pair", wrongLink});
  EXPECT_NE(pair.status, 0);
  EXPECT_FALSE(std::filesystem::exists(home_.path() / ".config/lumora/agents.json"));

  // Nothing listens on port 1 of the loopback: the connection is refused.
  const std::string deadLink = "lumora://pair?host=127.0.0.1&cp=1&mp=1&code=" + wrongCode;
  expectOneLine(runLumora(home_, {"--link", deadLink, "ls", "/"}), 1,
                "lumora: agent unreachable: ");

  expectOneLine(lumora({"get", "/no/such/file", home_ / "x"}), 1,
                "lumora: cannot get /no/such/file: ");
  EXPECT_FALSE(std::filesystem::exists(home_ / "x"));
}

// How a transfer is cut into pieces and windows, empty files and the trimming of a longer file
// are the client library's (AgentControlClientTest) and the file operations' (WriteChunkTest):
// here, that the program carries every byte both ways with its own chunk options, and lists,
// moves and removes what it sent.
TEST_F(CliEndToEndTest, FilesGoBothWaysWholeAndAreListedMovedAndRemoved) {
  std::string data(20u << 20, '\0');
  std::generate(data.begin(), data.end(), std::mt19937(7));
  const std::string local = home_.make("big.bin", data);
  const std::string dir = agent_->home() / "files";
  std::filesystem::create_directory(dir);
  Outcome put = lumora({"put", local, dir + "/sent.bin"});
  ASSERT_EQ(put.status, 0) << put.err;
  EXPECT_EQ(put.err, "");  // no progress bar when stderr is not a terminal
  EXPECT_TRUE(contentOf(dir + "/sent.bin") == data);
  EXPECT_EQ(lumora({"mv", dir + "/sent.bin", dir + "/moved.bin"}).status, 0);
  EXPECT_EQ(lumora({"ls", dir}).out, "-     20971520  moved.bin\n");
  Outcome get =
      lumora({"get", "--chunk-kib", "64", "--window", "3", dir + "/moved.bin", home_ / "back.bin"});
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_TRUE(contentOf(home_ / "back.bin") == data);
  EXPECT_EQ(lumora({"rm", dir}).status, 0);
  EXPECT_FALSE(std::filesystem::exists(dir));
}

TEST_F(CliEndToEndTest, ClipboardRoundTripReplacesFilesOnlyWhenForcedAndRefusesTooMuch) {
  Outcome set = lumora({"clip", "set", "hello from the terminal ✓"});
  ASSERT_EQ(set.status, 0) << set.err;
  Outcome get = lumora({"clip", "get"});
  EXPECT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(get.out, "hello from the terminal ✓");

  // An existing local file is replaced only when asked to.
  const std::string existing = home_.make("existing.txt", "mine");
  expectOneLine(lumora({"clip", "get", "--out", existing}), 1, "--force");
  EXPECT_EQ(contentOf(existing), "mine");
  Outcome forced = lumora({"clip", "get", "--out", existing, "--force"});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(contentOf(existing), "hello from the terminal ✓");

  // Content too large for the agent is refused before it is sent: the clipboard keeps what it
  // held.
  const std::string big = home_.make("big.bin", "");
  std::filesystem::resize_file(big, protocol::kMaxBinaryContentBytes + 1);
  expectOneLine(lumora({"clip", "set", "--file", big}), 1, "larger than");
  const std::string held = lumora({"clip", "get"}).out;
  EXPECT_TRUE(held == "hello from the terminal ✓") << held.size() << " bytes";
}

// (The displays command's listing is CliWaylandEndToEndTest's; X11's screens, X11Test's in
// input_injector_x11_test.)
TEST_F(CliEndToEndTest, InputReachesTheScreen) {
  ASSERT_EQ(lumora({"move", "0.25", "0.5"}).status, 0);
  auto [x, y] = xClient_->pointer();
  EXPECT_NEAR(x, 160, 2);
  EXPECT_NEAR(y, 240, 2);

  ASSERT_EQ(lumora({"click", "0.5", "0.25", "--button", "right"}).status, 0);
  auto buttons = xClient_->buttons(1, std::chrono::milliseconds(2000));
  ASSERT_EQ(buttons.size(), 1u);
  EXPECT_EQ(buttons[0].button, 3);  // X numbers the right button 3
  EXPECT_NEAR(buttons[0].x, 320, 2);

  ASSERT_EQ(lumora({"type", "hi"}).status, 0);
  EXPECT_EQ(xClient_->typed(2, std::chrono::milliseconds(2000)), U"hi");
  ASSERT_EQ(lumora({"key", "return"}).status, 0);
  auto keys = xClient_->keysyms(3, std::chrono::milliseconds(2000));
  EXPECT_NE(std::find(keys.begin(), keys.end(), 0xff0du), keys.end());  // XK_Return

  // As scroll --help says: a positive DY scrolls up (X's wheel button 4), by one click a 32
  // pixels; a negative one down (button 5).
  ASSERT_EQ(lumora({"scroll", "0", "64"}).status, 0);
  ASSERT_EQ(lumora({"scroll", "0", "-32"}).status, 0);
  std::vector<int> wheel;
  for (const auto& press : xClient_->buttons(4, std::chrono::milliseconds(2000))) {
    wheel.push_back(press.button);
  }
  EXPECT_EQ(wheel, (std::vector<int>{3, 4, 4, 5}));
}

// The luma (0…255) at (x, y) of every picture ffmpeg decodes from a recording, in order.
std::string lumaAt(const std::string& file, int x, int y) {
  const std::string crop = "format=gray,crop=1:1:" + std::to_string(x) + ":" + std::to_string(y);
  return testing_support::runProgram({"ffmpeg", "-v", "error", "-i", file, "-vf", crop, "-fps_mode",
                                      "passthrough", "-f", "rawvideo", "-"})
      .output;
}

TEST_F(CliEndToEndTest, SnapshotAndStreamLeaveAnotherPeersStreamRunning) {
  const auto streamsStarted = [&] {
    const std::string log = agent_->log();
    const std::regex started("screen streamer started");
    return std::distance(std::sregex_iterator(log.begin(), log.end(), started), {});
  };
  const auto before = streamsStarted();
  // The other peer: a recording that runs through everything below, as an MP4 file.
  const std::string recording = home_ / "watcher.mp4";
  const pid_t watcher = testing_support::spawnProcess(
      {LUMORA_CLI_BINARY, "stream", "--seconds", "8", "--out", recording},
      {.environment = environment(),
       .output = home_ / "watcher.out",
       .error = home_ / "watcher.err"});
  ASSERT_TRUE(testing_support::eventually([&] { return streamsStarted() > before; }))
      << agent_->log();

  // A snapshot shows the screen: away from the pointer (which the agent draws in), the colour
  // survives the H.264 trip.
  Outcome shot = lumora({"snapshot", home_ / "shot.png"});
  ASSERT_EQ(shot.status, 0) << shot.err;
  auto image = testing_support::TestDecoder(testing_support::TestDecoder::Format::png)
                   .decode(protocol::bytesOf(contentOf(home_ / "shot.png")));
  ASSERT_TRUE(image);
  ASSERT_EQ(image->width, 640);
  ASSERT_EQ(image->height, 480);
  auto [pointerX, pointerY] = xClient_->pointer();
  int off = 0;
  for (int y = 100; y < 380; y += 20) {
    for (int x = 100; x < 540; x += 20) {
      if (std::abs(x - pointerX) < 40 && std::abs(y - pointerY) < 40) continue;
      const testing_support::Rgb p = image->at(x, y);
      off += std::abs(p.r - 0x33) > 12 || std::abs(p.g - 0x66) > 12 || std::abs(p.b - 0xcc) > 12;
    }
  }
  EXPECT_EQ(off, 0);
  // Any name but .mp4 gets the raw stream, which starts with a start code.
  Outcome brief = lumora({"stream", "--seconds", "0.5", "--out", home_ / "brief.h264"});
  EXPECT_EQ(brief.status, 0) << brief.err;
  EXPECT_EQ(contentOf(home_ / "brief.h264").substr(0, 4), std::string("\0\0\0\1", 4));
  // A change after both ended reaches the watcher only if its stream still runs.
  auto window = xClient_->openWindow(0, 0, 640, 480, 0xffffff);
  xClient_->fill(window, 0xffffff, 0, 0, 640, 480);
  xClient_->sync();

  ASSERT_EQ(testing_support::waitForExit(watcher), 0) << contentOf(home_ / "watcher.err");
  // ffprobe's view: the stream's codec and size, the number of streams, one line per packet
  // ("flags=K_" for a key packet).
  const std::string probed =
      testing_support::runProgram({"ffprobe", "-v", "error", "-show_entries",
                                   "packet=flags:stream=codec_name,width,height:format=nb_streams",
                                   "-of", "default=nw=1", recording})
          .output;
  EXPECT_NE(probed.find("codec_name=h264\nwidth=640\nheight=480\nnb_streams=1\n"),
            std::string::npos)
      << probed;
  EXPECT_NE(probed.find("flags=K"), std::string::npos) << "no key packet: " << probed;
  // The last picture is in the file too: the white screen, shown until the recording ended.
  const std::string luma = lumaAt(recording, 40, 40);
  ASSERT_FALSE(luma.empty());
  EXPECT_LT(static_cast<unsigned char>(luma.front()), 130);  // the blue screen (luma about 100)
  EXPECT_GT(static_cast<unsigned char>(luma.back()), 200);   // white (235)
  xClient_->fill(window, kScreenColour, 0, 0, 640, 480);     // as the other cases expect it
  xClient_->sync();
}

// Reads the pseudo-terminal until `marker` shows up or five seconds pass.
bool readUntil(int master, std::string& seen, const std::string& marker) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (seen.find(marker) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    pollfd ready{master, POLLIN, 0};
    if (::poll(&ready, 1, 100) <= 0) continue;
    char buffer[4096];
    ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) return false;
    seen.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

TEST_F(CliEndToEndTest, ShellThroughAPseudoTerminal) {
  winsize size{};
  size.ws_col = 100;
  size.ws_row = 30;
  int master = -1, terminal = -1;
  char terminalName[64];
  ASSERT_EQ(::openpty(&master, &terminal, terminalName, nullptr, &size), 0);
  const pid_t pid =
      testing_support::spawnProcess({LUMORA_CLI_BINARY, "shell", "--shell", "/bin/sh"},
                                    {.environment = environment(), .terminal = terminalName});
  ::close(terminal);
  std::string seen;
  const auto type = [&](const std::string& text) {
    ASSERT_EQ(::write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  };
  // Typed at once, while lumora is still connecting: it must run, not only echo locally (the
  // echo shows the unexpanded $((6*7))).
  type("echo typed-early-$((6*7))\n");
  EXPECT_TRUE(readUntil(master, seen, "typed-early-42")) << seen;
  // Raw mode locally means the carriage return goes through as typed, as on a real terminal.
  type("echo size-$(stty size | tr ' ' x)-end\r");
  EXPECT_TRUE(readUntil(master, seen, "size-30x100-end")) << seen;

  // A new window size reaches the remote terminal once lumora has had its SIGWINCH: asked for
  // until it shows, each answer marked with its own number.
  size.ws_col = 90;
  size.ws_row = 20;
  ::ioctl(master, TIOCSWINSZ, &size);
  bool resized = false;
  for (int i = 1000; i < 1050 && !resized; ++i) {
    type("echo size-$(stty size | tr ' ' x)-$((" + std::to_string(i) + "))\r");
    ASSERT_TRUE(readUntil(master, seen, "-" + std::to_string(i))) << seen;
    resized = seen.find("size-20x90-" + std::to_string(i)) != std::string::npos;
  }
  EXPECT_TRUE(resized) << seen;
  type("exit 4\r");

  EXPECT_EQ(testing_support::waitForExit(pid), 4) << seen;
  ::close(master);
}

TEST_F(CliEndToEndTest, CommandLineMistakesAreOneLineAndStatusTwo) {
  expectOneLine(runLumora(home_, {"move", "2", "0.5"}), 2, "fraction");
  expectOneLine(runLumora(home_, {"stream", "--seconds", "x", "--out", "f"}), 2, "--seconds");
  expectOneLine(runLumora(home_, {"--bogus", "ls"}), 2, "--bogus");

  // The agent reads its command line the same way.
  auto agent = [&](std::vector<std::string> args) {
    args.insert(args.begin(), testing_support::AgentProcess::binary());
    return run(home_, args);
  };
  expectOneLine(agent({"--port", "65535"}), 2, "--port");
  expectOneLine(agent({"--relay-base", "ftp://relay.example"}), 2, "--relay-base wants");
}

}  // namespace
}  // namespace lumora::cli
