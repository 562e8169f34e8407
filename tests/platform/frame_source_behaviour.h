#pragma once

// What every frame source must do, written once and run against each real source: the X11 one
// on Xvfb (platform_x11_tests) and the PipeWire one on a private PipeWire (platform_wayland_tests).
// Each test binary includes this header once and instantiates the suite with its screen:
//
//   struct Screen {
//     using Source = ...;             // with start(), stop(), capturedWidth(), capturedHeight()
//     using Picture = ...;            // what show() takes, prepared ahead (it may be a file)
//     static constexpr int kColourTolerance = ...;  // per channel, what conversion explains
//     std::string unavailable() const;  // why the tests skip (asked before and after the first
//                                       // show()); empty: they run
//     Picture picture(std::array<std::uint32_t, 4> quadrants);  // 0xRRGGBB: TL, TR, BL, BR
//     void show(const Picture& picture);  // over the whole 1280 × 800 screen, returns once shown
//     std::unique_ptr<Source> source(std::optional<int> maxWidth, std::optional<int> maxHeight,
//                                    int fps);
//   };

#include "platform/frame_source.h"

#include "support/recorder.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace lumora::platform::frame_source_behaviour {

using namespace std::chrono_literals;

constexpr std::uint32_t kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF, kWhite = 0xFFFFFF;
constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 800;

// A frame copied out of the source's pool, with the name of the thread that delivered it.
struct Snapshot {
  int width;
  int height;
  std::size_t stride;
  std::shared_ptr<const std::vector<std::uint8_t>> bytes;
  std::string thread;
};

class FrameLog : public testing_support::Recorder<Snapshot> {
 public:
  FrameHandler handler() {
    return [this](const PixelBuffer& frame, std::uint64_t) {
      char name[16] = {};
      pthread_getname_np(pthread_self(), name, sizeof name);
      add({frame.width(), frame.height(), frame.stride(),
           std::make_shared<std::vector<std::uint8_t>>(frame.data(),
                                                       frame.data() + frame.byteCount()),
           name});
    };
  }
  int count() const { return static_cast<int>(size()); }
  // Waits until more than `seen` frames arrived; returns the count.
  int waitBeyond(int seen, std::chrono::milliseconds limit = 10s) {
    waitUntil([&](const auto& frames) { return static_cast<int>(frames.size()) > seen; }, limit);
    return count();
  }
  std::pair<int, int> frameSize() const { return {last().width, last().height}; }
  // 0xRRGGBB of the latest frame at (x, y).
  std::uint32_t rgb(int x, int y) const {
    const Snapshot latest = last();
    const std::uint8_t* p = latest.bytes->data() + y * latest.stride + x * 4;
    return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
  }
};

// Colours match when no channel is further apart than `tolerance`.
inline ::testing::AssertionResult near(std::uint32_t actual, std::uint32_t expected,
                                       int tolerance) {
  for (int shift = 0; shift < 24; shift += 8) {
    const int a = static_cast<int>((actual >> shift) & 0xFF);
    const int e = static_cast<int>((expected >> shift) & 0xFF);
    if (std::abs(a - e) > tolerance) {
      return ::testing::AssertionFailure()
             << std::hex << "0x" << actual << " is not near 0x" << expected;
    }
  }
  return ::testing::AssertionSuccess();
}

template <class Screen>
class FrameSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    screen_ = std::make_unique<Screen>();
    if (const std::string why = screen_->unavailable(); !why.empty()) GTEST_SKIP() << why;
    quadrants_ = screen_->picture({kRed, kGreen, kBlue, kWhite});
    screen_->show(quadrants_);
    // Some screens come up with their first picture.
    if (const std::string why = screen_->unavailable(); !why.empty()) GTEST_SKIP() << why;
    // The tests start their source before anything slow (writing the other pictures takes
    // seconds under AddressSanitizer): a PipeWire node left unwatched that long sends the frames
    // it missed in one burst when a consumer links, and with all of its buffers then on the
    // consumer's side it never sends again.
  }

  // The quadrants of the latest frame, each sampled at its centre, are these colours.
  void expectQuadrants(std::array<std::uint32_t, 4> colours) {
    const auto [width, height] = frames_.frameSize();
    const std::array<std::pair<int, int>, 4> centres{{{width / 4, height / 4},
                                                      {width * 3 / 4, height / 4},
                                                      {width / 4, height * 3 / 4},
                                                      {width * 3 / 4, height * 3 / 4}}};
    for (std::size_t i = 0; i < centres.size(); ++i) {
      const auto [x, y] = centres[i];
      EXPECT_TRUE(near(frames_.rgb(x, y), colours[i], Screen::kColourTolerance))
          << "quadrant " << i << " at (" << x << ", " << y << ")";
    }
  }

  std::unique_ptr<Screen> screen_;
  typename Screen::Picture quadrants_{};
  FrameLog frames_;
};

TYPED_TEST_SUITE_P(FrameSourceTest);

TYPED_TEST_P(FrameSourceTest, DeliversThePictureShownAndOnlyWhenItChanges) {
  auto& screen = *this->screen_;
  auto& frames = this->frames_;
  auto source = screen.source(std::nullopt, std::nullopt, 30);
  source->start(frames.handler());
  EXPECT_EQ(source->capturedWidth(), kScreenWidth);
  EXPECT_EQ(source->capturedHeight(), kScreenHeight);
  ASSERT_GE(frames.waitBeyond(0), 1);
  EXPECT_EQ(frames.frameSize(), std::make_pair(kScreenWidth, kScreenHeight));
  for (const Snapshot& frame : frames.items()) EXPECT_EQ(frame.thread, "lumora.capture");
  this->expectQuadrants({kRed, kGreen, kBlue, kWhite});

  // A still screen delivers nothing (however often the producer sends it again).
  std::this_thread::sleep_for(300ms);
  const int settled = frames.count();
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(frames.count(), settled);

  // A new picture is delivered.
  screen.show(screen.picture({kWhite, kBlue, kGreen, kRed}));
  ASSERT_GT(frames.waitBeyond(settled), settled);
  std::this_thread::sleep_for(200ms);  // any frame still in flight
  this->expectQuadrants({kWhite, kBlue, kGreen, kRed});

  // Nothing after stop(), which may be called twice.
  source->stop();
  source->stop();
  const int stopped = frames.count();
  screen.show(this->quadrants_);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(frames.count(), stopped);
}

TYPED_TEST_P(FrameSourceTest, ScalesIntoTheBoxAndKeepsToTheRateWhenThePictureChangesFaster) {
  constexpr int kFps = 4;
  auto& screen = *this->screen_;
  auto& frames = this->frames_;
  auto source = screen.source(333, 333, kFps);
  source->start(frames.handler());
  // 1280 × 800 into 333 × 333 is 333 × 208.1: sides rounded down to even numbers.
  EXPECT_EQ(source->capturedWidth(), 332);
  EXPECT_EQ(source->capturedHeight(), 208);
  ASSERT_GE(frames.waitBeyond(0), 1);
  EXPECT_EQ(frames.frameSize(), std::make_pair(332, 208));
  this->expectQuadrants({kRed, kGreen, kBlue, kWhite});

  // Pictures that change faster than the asked rate: the frames keep to the rate. Twelve that
  // differ in their top left quadrant, so that frames a quarter of a second apart never sample
  // the same one when they are shown in turn every 40 ms.
  std::vector<typename TypeParam::Picture> pictures;
  for (std::uint32_t i = 0; i < 12; ++i) {
    pictures.push_back(screen.picture({0x101010 * (i + 1), kGreen, kBlue, kWhite}));
  }
  std::this_thread::sleep_for(300ms);
  const int before = frames.count();
  const auto from = std::chrono::steady_clock::now();
  for (int i = 0; i < 50; ++i) {
    screen.show(pictures[i % pictures.size()]);
    std::this_thread::sleep_for(40ms);
  }
  screen.show(this->quadrants_);
  const auto elapsed = std::chrono::steady_clock::now() - from;
  const int delivered = frames.count() - before;
  const auto intervals = elapsed / (std::chrono::milliseconds(1000) / kFps);
  EXPECT_GE(delivered, intervals / 2);
  EXPECT_LE(delivered, intervals + 1)
      << "in " << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() << " ms";
  // The newest picture is not lost when the changes stop.
  std::this_thread::sleep_for(std::chrono::milliseconds(3000 / kFps));
  this->expectQuadrants({kRed, kGreen, kBlue, kWhite});
  source->stop();
}

REGISTER_TYPED_TEST_SUITE_P(FrameSourceTest, DeliversThePictureShownAndOnlyWhenItChanges,
                            ScalesIntoTheBoxAndKeepsToTheRateWhenThePictureChangesFaster);

}  // namespace lumora::platform::frame_source_behaviour
