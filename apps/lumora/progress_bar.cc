#include "progress_bar.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace lumora::cli {

std::string formatBytes(double bytes) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  std::size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < std::size(kUnits)) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  if (unit == 0) {
    std::snprintf(text, sizeof text, "%.0f B", bytes);
  } else {
    std::snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
  }
  return text;
}

std::string formatProgressLine(std::string_view name, std::int64_t done, std::int64_t total,
                               double bytesPerSecond, std::size_t width) {
  std::string amounts = formatBytes(static_cast<double>(done));
  if (total > 0) amounts += "/" + formatBytes(static_cast<double>(total));
  std::string tail = "  " + amounts + "  " + formatBytes(std::max(bytesPerSecond, 0.0)) + "/s";
  std::string middle;
  if (total > 0) {
    const double fraction =
        std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0);
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%% ", static_cast<int>(std::floor(fraction * 100)));
    middle = percent;
    constexpr std::size_t kBar = 20;
    const auto filled = static_cast<std::size_t>(std::floor(fraction * kBar));
    middle += "[" + std::string(filled, '#') + std::string(kBar - filled, '.') + "]";
  }
  // The name gets what is left, at least a few characters; long names keep their end.
  const std::size_t fixed = middle.size() + tail.size() + 1;
  const std::size_t room = width > fixed + 8 ? width - fixed : 8;
  std::string shown(name);
  if (shown.size() > room) shown = "..." + shown.substr(shown.size() - (room - 3));
  return shown + std::string(room - shown.size() + 1, ' ') + middle + tail;
}

ProgressBar::ProgressBar(std::string name)
    : name_(std::move(name)),
      enabled_(::isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() {
  if (drawn_) std::fputs("\n", stderr);
}

void ProgressBar::update(std::int64_t done, std::int64_t total) {
  done_ = done;
  total_ = total;
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  draw(done, total);
}

void ProgressBar::finish() {
  if (!enabled_) return;
  draw(done_, total_);
  std::fputs("\n", stderr);
  drawn_ = false;
}

void ProgressBar::draw(std::int64_t done, std::int64_t total) {
  winsize size{};
  std::size_t width = 80;
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) width = size.ws_col;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  std::string line = formatProgressLine(name_, done, total, rate, width - 1);
  std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

}  // namespace lumora::cli
