#include "platform/fitted_size.h"
#include "platform/linux/cursor_overlay.h"
#include "platform/linux/mac_key_codes.h"
#include "platform/linux/wheel_steps.h"
#include "platform/pixel_buffer.h"

#include <gtest/gtest.h>

#include <xkbcommon/xkbcommon-keysyms.h>

#include <algorithm>
#include <set>
#include <vector>

namespace lumora::platform {
namespace {

TEST(FittedSizeTest, FitsTheBoxKeepsAspectNeverEnlargesAndKeepsSidesEven) {
  EXPECT_EQ(fittedSize(2880, 1800, 1920, 1080), (FrameSize{1728, 1080}));
  EXPECT_EQ(fittedSize(1366, 768, 1000, std::nullopt), (FrameSize{1000, 562}));
  EXPECT_EQ(fittedSize(1280, 720, 3840, 2160), (FrameSize{1280, 720}));
  // Sides are even and at least two; zero boxes mean no limit.
  EXPECT_EQ(fittedSize(1001, 701, std::nullopt, std::nullopt), (FrameSize{1000, 700}));
  EXPECT_EQ(fittedSize(1001, 701, 0, 0), (FrameSize{1000, 700}));
  EXPECT_EQ(fittedSize(0, 900, 100, 100), (FrameSize{2, 2}));
  EXPECT_EQ(fittedSize(4000, 1, 100, std::nullopt), (FrameSize{100, 2}));
  // Half a pixel rounds away from zero before the side is made even: 0.5 × 5 = 2.5 → 3 → 2.
  EXPECT_EQ(fittedSize(10, 5, 5, std::nullopt), (FrameSize{4, 2}));
  // What a stream request's box turns into: absent is the default, 0 is no limit at all.
  EXPECT_EQ(requestedBoxSide(std::nullopt, 3840, 16384), 3840);
  EXPECT_EQ(requestedBoxSide(0, 3840, 16384), std::nullopt);
  EXPECT_EQ(requestedBoxSide(1 << 30, 2160, 16384), 16384);
}

TEST(PixelBufferTest, HostileSizesAreRefused) {
  EXPECT_TRUE(PixelBuffer::allocate(3, 2));
  EXPECT_FALSE(PixelBuffer::allocate(0, 10));
  EXPECT_FALSE(PixelBuffer::allocate(10, -1));
  EXPECT_FALSE(PixelBuffer::allocate(PixelBuffer::kMaxSide + 1, 10));
}

TEST(WheelStepsTest, ReversingDropsTheLeftoverAndHugeDeltasAreCapped) {
  linux_os::WheelSteps steps;
  EXPECT_EQ(steps.vertical(31), 0);
  EXPECT_EQ(steps.vertical(-1), 0) << "the 31 px upwards must not cancel a downward scroll";
  EXPECT_EQ(steps.vertical(-31), -1);
  EXPECT_EQ(steps.vertical(INT32_MIN), -linux_os::WheelSteps::kMaxClicksPerEvent);
  EXPECT_EQ(steps.horizontal(INT32_MAX), linux_os::WheelSteps::kMaxClicksPerEvent);
}

// Which key each code names is seen end to end (input_injector_x11_test); here only the
// Command key's choice, that no two codes press the same function key, and that codes no key
// sends name nothing.
TEST(MacKeyCodesTest, CommandFollowsTheChoiceAndEachFunctionKeyHasOneCode) {
  // Command is Control unless the Super key is asked for.
  EXPECT_EQ(linux_os::keysymForMacKeyCode(0x37), XKB_KEY_Control_L);
  EXPECT_EQ(linux_os::keysymForMacKeyCode(0x36), XKB_KEY_Control_R);
  EXPECT_EQ(linux_os::keysymForMacKeyCode(0x37, CommandKey::super), XKB_KEY_Super_L);
  EXPECT_EQ(linux_os::keysymForMacKeyCode(0x36, CommandKey::super), XKB_KEY_Super_R);

  // F1–F20, each exactly once.
  std::set<std::uint32_t> functionKeys;
  for (std::uint16_t code = 0; code < 0x100; ++code) {
    auto sym = linux_os::keysymForMacKeyCode(code);
    if (sym && *sym >= XKB_KEY_F1 && *sym <= XKB_KEY_F20) {
      EXPECT_TRUE(functionKeys.insert(*sym).second) << "F key twice at code " << code;
    }
  }
  EXPECT_EQ(functionKeys.size(), 20u);

  // Codes no key sends.
  EXPECT_FALSE(linux_os::keysymForMacKeyCode(0x42));
  EXPECT_FALSE(linux_os::keysymForMacKeyCode(0x80));
}

}  // namespace
}  // namespace lumora::platform

namespace lumora::platform::linux_os {
namespace {

TEST(CursorOverlayTest, BlendsPremultipliedPixelsAtTheHotSpotAndClipsAtTheEdges) {
  // A 2×2 cursor: opaque red, transparent, half-transparent white (premultiplied), opaque blue.
  const std::uint32_t pixels[] = {0xFFFF0000, 0x00000000, 0x80808080, 0xFF0000FF};
  const CursorImage cursor{2, 2, 1, 1, pixels};
  std::vector<std::uint8_t> frame(4 * 3 * 4, 0);     // 4×3 black BGRx
  frame[(1 * 4 + 1) * 4 + 3] = 0x77;                 // the padding byte is left alone
  drawCursor(frame.data(), 16, 4, 3, cursor, 2, 2);  // top-left of the cursor at (1, 1)
  auto px = [&](int x, int y) { return &frame[static_cast<std::size_t>(y * 4 + x) * 4]; };
  EXPECT_EQ(px(1, 1)[2], 0xFF);  // red lands in R
  EXPECT_EQ(px(1, 1)[0], 0x00);
  EXPECT_EQ(px(1, 1)[3], 0x77);
  EXPECT_EQ(px(2, 1)[0], 0x00);  // transparent: untouched
  EXPECT_EQ(px(1, 2)[0], 0x80);  // half white over black
  EXPECT_EQ(px(2, 2)[0], 0xFF);  // blue lands in B

  // Hanging over the bottom-right corner: only the part inside is drawn, nothing overflows.
  std::vector<std::uint8_t> small(4 * 2 * 2 + 8, 0xEE);
  std::fill_n(small.begin(), 16, 0);
  drawCursor(small.data(), 8, 2, 2, cursor, 2, 2);
  EXPECT_EQ(small[(1 * 2 + 1) * 4 + 2], 0xFF);
  EXPECT_TRUE(std::all_of(small.begin() + 16, small.end(), [](auto b) { return b == 0xEE; }));
  drawCursor(small.data(), 8, 2, 2, cursor, -50, 900);  // entirely outside: no write
}

}  // namespace
}  // namespace lumora::platform::linux_os
