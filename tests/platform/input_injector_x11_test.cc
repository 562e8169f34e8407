#include "platform/x11/input_injector_x11.h"
#include "platform/x11/display_directory_x11.h"

#include "support/test_x_client.h"
#include "support/xvfb_server.h"

#include <gtest/gtest.h>

#include <xkbcommon/xkbcommon-keysyms.h>

#include <cmath>
#include <tuple>

namespace lumora::platform::x11 {
namespace {

using namespace std::chrono_literals;
using testing_support::TestXClient;
using testing_support::XvfbServer;

// Each case gets a fresh server, so keymap edits and held buttons never leak between cases.
class X11Test : public ::testing::Test {
 protected:
  XvfbServer server_{"1280x800x24"};
  std::shared_ptr<DisplayDirectoryX11> displays_ =
      std::make_shared<DisplayDirectoryX11>(server_.display());
  InputInjectorX11 injector_{server_.display(), displays_};
  TestXClient client_{server_.display()};
};

TEST_F(X11Test, TheScreenIsOneMainDisplayWithItsBounds) {
  const auto list = displays_->displays();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(std::tie(list[0].width, list[0].height, list[0].isMain),
            std::make_tuple(1280, 800, true));
  EXPECT_EQ(displays_->mainDisplayID(), list[0].id);
  EXPECT_EQ(displays_->bounds(list[0].id), (DisplayRect{0, 0, 1280, 800}));
  EXPECT_FALSE(displays_->bounds(list[0].id + 12345));
  EXPECT_EQ(injector_.mainDisplayBounds(), (DisplayRect{0, 0, 1280, 800}));
}

TEST_F(X11Test, ThePointerLandsWhereAsked) {
  injector_.postMouseEvent(MouseEventType::mouseMoved, {100.4, 200.6}, 0);
  // The injector's own round trip makes sure the server has handled its motion.
  EXPECT_EQ(injector_.cursorLocation(), (ScreenPoint{100, 201}));
  EXPECT_EQ(client_.pointer(), std::make_pair(100, 201));

  // Nonsense coordinates from a peer are dropped, not turned into a jump.
  injector_.postMouseEvent(MouseEventType::mouseMoved, {std::nan(""), 5}, 0);
  injector_.cursorLocation();
  EXPECT_EQ(client_.pointer(), std::make_pair(100, 201));
}

TEST_F(X11Test, ButtonsAndWheelClicksReachTheWindowUnderThePointer) {
  client_.openWindow(0, 0, 640, 480);
  injector_.postMouseEvent(MouseEventType::rightMouseDown, {50, 60}, 1);
  injector_.postMouseEvent(MouseEventType::rightMouseUp, {50, 60}, 1);
  injector_.postMouseEvent(MouseEventType::otherMouseDown, {70, 80}, 2);
  injector_.postMouseEvent(MouseEventType::otherMouseUp, {70, 80}, 2);
  injector_.postScrollEvent(-40, 0);                              // one click down, 8 px carried
  for (int i = 0; i < 3; ++i) injector_.postScrollEvent(-10, 0);  // 38 px: one more
  injector_.postScrollEvent(0, 64);                               // two clicks left

  const auto presses = client_.buttons(6, 5s);
  std::vector<int> buttons;
  for (const auto& press : presses) buttons.push_back(press.button);
  EXPECT_EQ(buttons, (std::vector<int>{3, 2, 5, 5, 6, 6}));
  ASSERT_FALSE(presses.empty());
  EXPECT_EQ(std::make_pair(presses[0].x, presses[0].y), std::make_pair(50, 60));
  client_.sync();
  EXPECT_EQ(client_.buttons(7, 200ms).size(), 6u) << "no extra wheel clicks";
}

TEST_F(X11Test, TypedTextArrivesAsTheSameCharactersAndTheKeymapIsRestored) {
  client_.openWindow(0, 0, 400, 300);
  X11Connection probe(server_.display());
  KeymapX11 before(probe);

  // ASCII with and without Shift, an accented letter and an emoji (both absent from the
  // server's default US layout).
  const std::u16string text = u"Hi, \u00E9t\u00E9 \U0001F600!";
  injector_.postKeyEvent(0, true, text);
  injector_.postKeyEvent(0, false, text);
  const std::u32string expected = U"Hi, \u00E9t\u00E9 \U0001F600!";
  EXPECT_EQ(client_.typed(expected.size(), 5s), expected);

  KeymapX11 after(probe);
  for (std::uint32_t keysym : {std::uint32_t{XKB_KEY_eacute}, 0x0100'0000u + 0x1F600u}) {
    EXPECT_EQ(before.anyKey(keysym), after.anyKey(keysym)) << "binding left behind: " << keysym;
  }
  EXPECT_FALSE(after.anyKey(XKB_KEY_eacute));
}

TEST_F(X11Test, MacKeyCodesPressTheMatchingKeys) {
  client_.openWindow(0, 0, 400, 300);
  for (std::uint16_t code : {0x00, 0x7E, 0x69, 0x5A, 0x52}) {  // a, Up, F13, F20, keypad 0
    injector_.postKeyEvent(code, true, {});
    injector_.postKeyEvent(code, false, {});
  }
  const auto syms = client_.keysyms(5, 5s);
  ASSERT_EQ(syms.size(), 5u);
  EXPECT_EQ(std::vector<std::uint32_t>(syms.begin(), syms.begin() + 4),
            (std::vector<std::uint32_t>{XKB_KEY_a, XKB_KEY_Up, XKB_KEY_F13, XKB_KEY_F20}));
  // Keypad 0 is a key: without Num Lock it reads as its first level.
  EXPECT_TRUE(syms[4] == XKB_KEY_KP_Insert || syms[4] == XKB_KEY_KP_0) << syms[4];
}

}  // namespace
}  // namespace lumora::platform::x11
