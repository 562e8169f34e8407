#include "platform/x11/frame_source_x11.h"

#include "frame_source_behaviour.h"
#include "support/test_x_client.h"
#include "support/xvfb_server.h"

#include <gtest/gtest.h>

#include <memory>

namespace lumora::platform::x11 {
namespace {

using namespace frame_source_behaviour;
using testing_support::TestXClient;
using testing_support::XvfbServer;

// A private Xvfb whose screen a window of ours covers: the picture is drawn into it, the pointer
// waits in the bottom right corner, away from where the frames are sampled.
class XvfbScreen {
 public:
  using Source = FrameSourceX11;
  using Picture = std::array<std::uint32_t, 4>;
  // The server's pixels are copied, or scaled by libswscale between quadrant centres.
  static constexpr int kColourTolerance = 0;

  XvfbScreen() { warp(kScreenWidth - 40, kScreenHeight - 20); }

  std::string unavailable() const { return {}; }
  Picture picture(Picture quadrants) const { return quadrants; }
  void show(const Picture& quadrants) {
    const int w = kScreenWidth / 2;
    const int h = kScreenHeight / 2;
    client_.fill(window_, quadrants[0], 0, 0, w, h);
    client_.fill(window_, quadrants[1], w, 0, w, h);
    client_.fill(window_, quadrants[2], 0, h, w, h);
    client_.fill(window_, quadrants[3], w, h, w, h);
    client_.sync();
  }
  std::unique_ptr<Source> source(std::optional<int> maxWidth, std::optional<int> maxHeight, int fps,
                                 std::optional<std::uint32_t> displayID = {}) const {
    return std::make_unique<Source>(server_.display(), maxWidth, maxHeight, displayID, fps);
  }

  void warp(int x, int y) {
    xcb_warp_pointer(client_.connection(), XCB_NONE, client_.root(), 0, 0, 0, 0,
                     static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
    client_.sync();
  }
  TestXClient& client() { return client_; }

 private:
  XvfbServer server_{"1280x800x24"};
  TestXClient client_{server_.display()};
  xcb_window_t window_ = client_.openWindow(0, 0, kScreenWidth, kScreenHeight);
};

INSTANTIATE_TYPED_TEST_SUITE_P(X11, FrameSourceTest, XvfbScreen);

using FrameSourceX11Test = FrameSourceTest<XvfbScreen>;

TEST_F(FrameSourceX11Test, DrawsThePointerInAndAMovedPointerIsAChange) {
  // A black patch under the pointer.
  screen_->client().openWindow(900, 500, 300, 200, 0x000000);
  screen_->warp(1000, 600);
  auto source = screen_->source(std::nullopt, std::nullopt, 30);
  source->start(frames_.handler());
  ASSERT_GE(frames_.waitBeyond(0, 5s), 1);

  // Something other than the black patch around the pointer.
  int cursorPixels = 0;
  for (int y = 585; y < 615; ++y) {
    for (int x = 985; x < 1015; ++x) cursorPixels += frames_.rgb(x, y) != 0;
  }
  EXPECT_GT(cursorPixels, 10);
  EXPECT_EQ(frames_.rgb(1150, 680), 0u) << "far from the cursor the patch stays black";

  std::this_thread::sleep_for(200ms);
  const int beforeMove = frames_.count();
  screen_->warp(1100, 650);
  EXPECT_GT(frames_.waitBeyond(beforeMove, 5s), beforeMove);
  source->stop();
}

}  // namespace
}  // namespace lumora::platform::x11
