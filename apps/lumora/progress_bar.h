#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace lumora::cli {

// "512.0 MiB", "1.5 KiB", "17 B".
std::string formatBytes(double bytes);

// One line of a transfer in `width` columns, the name shortened (from the left) to make room:
//   "photo.raw   42% [########............]  215.0 MiB/512.0 MiB  180.2 MiB/s"
// With an unknown total (≤ 0) the percentage and bar are left out.
std::string formatProgressLine(std::string_view name, std::int64_t done, std::int64_t total,
                               double bytesPerSecond, std::size_t width);

// A transfer's progress redrawn in place on standard error, at most ten times a second. Draws
// nothing unless standard error is a terminal, so scripts and logs stay quiet.
class ProgressBar {
 public:
  explicit ProgressBar(std::string name);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void update(std::int64_t done, std::int64_t total);
  // Draws the final state and ends the line.
  void finish();

 private:
  void draw(std::int64_t done, std::int64_t total);

  std::string name_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
  std::int64_t done_ = 0;
  std::int64_t total_ = 0;
};

}  // namespace lumora::cli
