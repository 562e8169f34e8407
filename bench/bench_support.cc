#include "bench_support.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>

#include "support/process_table.h"
#include "support/spawn.h"

namespace lumora::bench {

void parseOptions(int argc, char** argv, const std::string& usage,
                  std::vector<command_line::OptionSpec> options,
                  const std::function<void(const command_line::ParsedArgs&)>& read) {
  const std::string program = std::filesystem::path(argv[0]).filename().string();
  options.push_back({"help,h", "", "show this help"});
  try {
    const command_line::ParsedArgs parsed =
        command_line::parseArgs(std::vector<std::string>(argv + 1, argv + argc), options);
    if (parsed.has("help")) {
      std::printf("%s\n\n%s", usage.c_str(), command_line::describeOptions(options).c_str());
      std::exit(0);
    }
    if (!parsed.positionals.empty()) {
      throw command_line::UsageError("unexpected word '" + parsed.positionals.front() + "'");
    }
    read(parsed);
  } catch (const command_line::UsageError& e) {
    std::fprintf(stderr, "%s: %s (see %s --help)\n", program.c_str(), e.what(), program.c_str());
    std::exit(2);
  }
}

Stats percentiles(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) {
    return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))];
  };
  return {at(0.50), at(0.99)};
}

double percentile(std::vector<double> samples, double q) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))];
}

int runToEnd(const std::vector<std::string>& args) {
  return testing_support::waitForExit(testing_support::spawnProcess(args));
}

SshBaseline::SshBaseline(const std::string& script) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return;
  const pid_t setup = testing_support::spawnProcess({script}, {.outputFd = pipeFds[1]});
  ::close(pipeFds[1]);
  std::string printed;
  char c;
  while (::read(pipeFds[0], &c, 1) == 1) printed += c;
  ::close(pipeFds[0]);
  testing_support::waitForExit(setup);
  std::istringstream words(printed);
  for (std::string word; words >> word;) {
    const auto eq = word.find('=');
    if (eq != std::string::npos) values_[word.substr(0, eq)] = word.substr(eq + 1);
  }
}

SshBaseline::~SshBaseline() {
  if (!available()) return;
  runToEnd({"ssh", "-S", (*this)["SSH_CONTROL"], "-O", "exit", "x"});
  ::kill(std::stoi((*this)["SSHD_PID"]), SIGTERM);
  std::error_code ignored;  // sshd may still be removing its pid file
  std::filesystem::remove_all((*this)["SSH_DIR"], ignored);
}

double cpuSeconds(pid_t pid) {
  // After the command name (which may hold spaces and parentheses) come the line's 3rd field,
  // the state, and later utime and stime, its 14th and 15th.
  const std::string line = testing_support::readProcFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(line.substr(std::min(line.size(), line.rfind(')') + 1)));
  std::string field;
  unsigned long long ticks = 0;
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index >= 14) ticks += std::strtoull(field.c_str(), nullptr, 10);
  }
  return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

namespace {

using testing_support::ScreenAnimator;

void fill(ScreenAnimator::Scene& scene, xcb_drawable_t target, std::uint32_t rgb, int x, int y,
          int wide, int high) {
  xcb_change_gc(scene.c, scene.gc, XCB_GC_FOREGROUND, &rgb);
  const xcb_rectangle_t rect{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                             static_cast<std::uint16_t>(wide), static_cast<std::uint16_t>(high)};
  xcb_poly_fill_rectangle(scene.c, target, scene.gc, 1, &rect);
}

void paintDesktop(ScreenAnimator::Scene& scene) {
  const int width = scene.width;
  const int tall = 3 * scene.height;
  const xcb_pixmap_t picture = scene.newPicture(tall);
  std::mt19937 random(7);
  auto between = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  fill(scene, picture, 0xf0f0f0, 0, 0, width, tall);
  for (int top = 0; top < tall; top += between(180, 420)) {
    const int left = between(0, width / 3);
    const int wide = between(width / 3, width - left);
    const int high = between(150, 400);
    fill(scene, picture, 0x2b579a + static_cast<std::uint32_t>(between(0, 0x30)), left, top, wide,
         28);
    fill(scene, picture, 0xffffff, left, top + 28, wide, high);
    for (int line = top + 40; line < top + 14 + high; line += 18) {
      for (int x = left + 12, word = 0; x < left + wide - 60; x += word + 7) {
        word = between(12, 70);
        fill(scene, picture, between(0, 3) == 0 ? 0x1a0dab : 0x202124, x, line, word, 10);
      }
    }
    if (between(0, 1) != 0) continue;
    for (int row = 0; row < high / 2; row += 4) {
      const auto shade = static_cast<std::uint32_t>(row * 255 / std::max(1, high / 2));
      fill(scene, picture, (shade << 16) | ((255 - shade) << 8) | 0x60, left + wide / 2,
           top + 40 + row, wide / 3, 4);
    }
  }
}

}  // namespace

ScreenAnimator::Content scrollingDesktop() {
  return {paintDesktop,
          [](ScreenAnimator::Scene& scene, int number) {
            scene.copy(scene.pictures[0], 0, number * 6 % (2 * scene.height), 0, 0, scene.width,
                       scene.height);
          },
          std::chrono::microseconds(16667)};
}

ScreenAnimator::Content scrollingBox() {
  return {paintDesktop,
          [](ScreenAnimator::Scene& scene, int number) {
            scene.copy(scene.pictures[0], scene.width / 2, number * 6 % (3 * scene.height - 256),
                       scene.width / 2, scene.height / 2, 256, 256);
          },
          std::chrono::microseconds(16667)};
}

}  // namespace lumora::bench
