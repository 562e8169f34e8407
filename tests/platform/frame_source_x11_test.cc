#include "platform/x11/frame_source_x11.h"

#include "platform/capture_error.h"

#include "support/recorder.h"
#include "support/test_x_client.h"
#include "support/xvfb_server.h"

#include <gtest/gtest.h>

#include <memory>

namespace lumora::platform::x11 {
namespace {

using namespace std::chrono_literals;
using testing_support::TestXClient;
using testing_support::XvfbServer;

constexpr std::uint32_t kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF, kWhite = 0xFFFFFF;

// A copy of a frame (never the pooled buffer itself, which the source reuses).
struct Snapshot {
  int width;
  int height;
  std::size_t stride;
  std::shared_ptr<const std::vector<std::uint8_t>> bytes;
};

class FrameLog : public testing_support::Recorder<Snapshot> {
 public:
  FrameHandler handler() {
    return [this](const PixelBuffer& frame, std::uint64_t) {
      add({frame.width(), frame.height(), frame.stride(),
           std::make_shared<std::vector<std::uint8_t>>(frame.data(),
                                                       frame.data() + frame.byteCount())});
    };
  }
  int count() const { return static_cast<int>(size()); }
  // Waits until more than `seen` frames arrived; returns the count.
  int waitBeyond(int seen, std::chrono::milliseconds limit) {
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

class FrameSourceX11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    // Four coloured quadrants at (100, 100), and a black patch under the pointer.
    pattern_ = client_.openWindow(100, 100, 400, 300);
    client_.fill(pattern_, kRed, 0, 0, 200, 150);
    client_.fill(pattern_, kGreen, 200, 0, 200, 150);
    client_.fill(pattern_, kBlue, 0, 150, 200, 150);
    client_.fill(pattern_, kWhite, 200, 150, 200, 150);
    client_.openWindow(900, 500, 300, 200, 0x000000);
    warp(1000, 600);
  }
  void warp(int x, int y) {
    xcb_warp_pointer(client_.connection(), XCB_NONE, client_.root(), 0, 0, 0, 0,
                     static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
    client_.sync();
  }

  XvfbServer server_{"1280x800x24"};
  TestXClient client_{server_.display()};
  xcb_window_t pattern_ = 0;
  FrameLog frames_;
};

TEST_F(FrameSourceX11Test, CapturesThePatternWithTheCursorAndOnlyWhenSomethingChanges) {
  FrameSourceX11 source(server_.display(), std::nullopt, std::nullopt, std::nullopt, 30);
  source.start(frames_.handler());
  ASSERT_GE(frames_.waitBeyond(0, 5s), 1);
  EXPECT_EQ(frames_.frameSize(), std::make_pair(1280, 800));
  EXPECT_EQ(source.capturedWidth(), 1280);
  EXPECT_EQ(source.capturedHeight(), 800);
  EXPECT_EQ(frames_.rgb(150, 150), kRed);
  EXPECT_EQ(frames_.rgb(350, 150), kGreen);
  EXPECT_EQ(frames_.rgb(150, 350), kBlue);
  EXPECT_EQ(frames_.rgb(350, 350), kWhite);

  // The cursor is drawn in: something other than the black patch around the pointer.
  int cursorPixels = 0;
  for (int y = 585; y < 615; ++y) {
    for (int x = 985; x < 1015; ++x) cursorPixels += frames_.rgb(x, y) != 0;
  }
  EXPECT_GT(cursorPixels, 10);
  EXPECT_EQ(frames_.rgb(1150, 680), 0u) << "far from the cursor the patch stays black";

  // A still screen delivers nothing (a dozen ticks at 30 fps).
  std::this_thread::sleep_for(150ms);
  const int settled = frames_.count();
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(frames_.count(), settled);

  // Drawing brings frames back, and they show the change.
  client_.fill(pattern_, kGreen, 0, 0, 200, 150);
  EXPECT_GT(frames_.waitBeyond(settled, 5s), settled);
  std::this_thread::sleep_for(100ms);  // any frame still in flight
  EXPECT_EQ(frames_.rgb(150, 150), kGreen);

  // So does moving the pointer alone.
  std::this_thread::sleep_for(200ms);
  const int beforeMove = frames_.count();
  warp(1100, 650);
  EXPECT_GT(frames_.waitBeyond(beforeMove, 5s), beforeMove);

  source.stop();
  source.stop();  // harmless
  const int stopped = frames_.count();
  client_.fill(pattern_, kRed, 0, 0, 200, 150);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(frames_.count(), stopped);
}

TEST_F(FrameSourceX11Test, MissingDisplayFallsBackToTheFirstAndFramesAreScaledIntoTheBox) {
  FrameSourceX11 source(server_.display(), 640, 400, 999, 30);
  source.start(frames_.handler());

  ASSERT_GE(frames_.waitBeyond(0, 5s), 1);
  EXPECT_EQ(frames_.frameSize(), std::make_pair(640, 400));
  EXPECT_EQ(frames_.rgb(75, 75), kRed);     // (150, 150) halved
  EXPECT_EQ(frames_.rgb(175, 75), kGreen);  // (350, 150)
  EXPECT_EQ(frames_.rgb(75, 175), kBlue);
  EXPECT_EQ(frames_.rgb(175, 175), kWhite);
  source.stop();
}

TEST(FrameSourceX11StartTest, FailuresAreCaptureErrorsAndFpsIsAtLeastOne) {
  EXPECT_EQ(FrameSourceX11("", std::nullopt, std::nullopt, std::nullopt, 0).fps(), 1);
  FrameSourceX11 source(":4242", std::nullopt, std::nullopt, std::nullopt, 30);
  try {
    source.start([](const PixelBuffer&, std::uint64_t) {});
    ADD_FAILURE() << "started without a server";
  } catch (const CaptureError& e) {
    EXPECT_EQ(e.code(), CaptureError::platformFailure);
    EXPECT_STREQ(e.domain(), "lumora.capture");
  }
  EXPECT_EQ(source.capturedWidth(), 0);
}

}  // namespace
}  // namespace lumora::platform::x11
