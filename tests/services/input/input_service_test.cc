#include "services/input/input_service.h"

#include "fakes/fake_input_injector.h"
#include "support/run_awaitable.h"

#include <gtest/gtest.h>

#include <boost/asio/thread_pool.hpp>

namespace lumora::services::input {
namespace {

using fakes::FakeInputInjector;
using platform::DisplayRect;
using testing_support::runAwaitable;
using enum platform::MouseEventType;
using Mouse = FakeInputInjector::MouseEvent;

class InputServiceTest : public ::testing::Test {
 protected:
  boost::asio::thread_pool pool_{2};
  std::shared_ptr<FakeInputInjector> injector_ = std::make_shared<FakeInputInjector>();
  InputService service_{pool_.get_executor(), injector_};
};

TEST_F(InputServiceTest, HeldButtonTurnsMovesIntoDragsUntilItIsReleased) {
  injector_->cursor = {7, 8};
  runAwaitable(service_.setButton(0, true));
  runAwaitable(service_.moveMouse({10, 20}));
  runAwaitable(service_.setButton(0, false));
  runAwaitable(service_.moveMouse({30, 40}));

  EXPECT_EQ(injector_->mouse, (std::vector<Mouse>{{leftMouseDown, {7, 8}, 0},
                                                  {leftMouseDragged, {10, 20}, 0},
                                                  {leftMouseUp, {7, 8}, 0},
                                                  {mouseMoved, {30, 40}, 0}}));

  // Releasing another button keeps the held one.
  runAwaitable(service_.setButton(0, true));
  runAwaitable(service_.setButton(1, true));
  runAwaitable(service_.setButton(0, false));
  EXPECT_EQ(service_.heldButton(), 1u);
  runAwaitable(service_.moveMouse({5, 5}));
  EXPECT_EQ(injector_->mouse.back(), (Mouse{rightMouseDragged, {5, 5}, 1}));
}

TEST_F(InputServiceTest, AHeldButtonIsReleasedWhenItsPeerGoesAndOnlyThen) {
  runAwaitable(service_.releaseHeldButton(1));
  EXPECT_TRUE(injector_->mouse.empty()) << "nothing held, nothing posted";
  injector_->cursor = {5, 6};
  runAwaitable(service_.setButton(1, true, 1));
  // Another peer going (a ping, a phone that never paired) leaves the drag alone.
  runAwaitable(service_.releaseHeldButton(2));
  EXPECT_EQ(service_.heldButton(), 1u);
  runAwaitable(service_.releaseHeldButton(1));
  EXPECT_EQ(injector_->mouse.back(), (Mouse{rightMouseUp, {5, 6}, 1}));
  EXPECT_FALSE(service_.heldButton());
  // The button is the last presser's: a press by peer 2 is not released when peer 1 goes.
  runAwaitable(service_.setButton(0, true, 1));
  runAwaitable(service_.setButton(0, true, 2));
  runAwaitable(service_.releaseHeldButton(1));
  EXPECT_EQ(service_.heldButton(), 0u);
}

TEST_F(InputServiceTest, ClicksAndDragsTakeTheirKindFromTheButtonNumberWhichIsPassedThrough) {
  injector_->cursor = {50, 60};
  runAwaitable(service_.setButton(3, true));  // an extra button uses the left-button kinds
  runAwaitable(service_.moveMouse({1, 2}));
  runAwaitable(service_.click({3, 4}, 2));
  runAwaitable(service_.clickAtCursor(0));
  runAwaitable(service_.drag({10, 10}, {90, 95}, 1));

  EXPECT_EQ(injector_->mouse, (std::vector<Mouse>{{leftMouseDown, {50, 60}, 3},
                                                  {leftMouseDragged, {1, 2}, 3},
                                                  {otherMouseDown, {3, 4}, 2},
                                                  {otherMouseUp, {3, 4}, 2},
                                                  {leftMouseDown, {50, 60}, 0},
                                                  {leftMouseUp, {50, 60}, 0},
                                                  {rightMouseDown, {10, 10}, 1},
                                                  {rightMouseDragged, {90, 95}, 1},
                                                  {rightMouseUp, {90, 95}, 1}}));
  EXPECT_EQ(service_.heldButton(), 3u) << "clicks and drags must not touch the held button";
}

// Relative moves, and only they, stay on the last pixel of the main display.
TEST_F(InputServiceTest, OnlyRelativeMovesAreClamped) {
  injector_->mainBounds = DisplayRect{0, 0, 1440, 900};
  injector_->cursor = {1400, 880};
  runAwaitable(service_.moveMouseBy(100, -10));
  runAwaitable(service_.moveMouse({5000, -300}));
  runAwaitable(service_.setButton(2, true));
  runAwaitable(service_.moveMouseBy(100, 100));

  ASSERT_EQ(injector_->mouse.size(), 4u);
  EXPECT_EQ(injector_->mouse[0], (Mouse{mouseMoved, {1439, 870}, 0}));
  EXPECT_EQ(injector_->mouse[1], (Mouse{mouseMoved, {5000, -300}, 0}));
  EXPECT_EQ(injector_->mouse[3], (Mouse{otherMouseDragged, {1439, 899}, 2}));

  EXPECT_EQ(InputService::clampToMainDisplay({-5, -5}, DisplayRect{100, 50, 10, 10}),
            (ScreenPoint{100, 50}));
  // Unknown bounds turn the clamp off.
  EXPECT_EQ(InputService::clampToMainDisplay({-5, 2000}, std::nullopt), (ScreenPoint{-5, 2000}));
}

// Text travels as UTF-16 in one down/up pair; no text, no keys.
TEST_F(InputServiceTest, TextReachesTheInjectorAsUtf16) {
  runAwaitable(service_.typeText(""));
  runAwaitable(service_.typeText("a\xC3\xA9\xF0\x9F\x98\x80"));  // a, é, 😀
  const std::u16string text = u"a\u00E9\U0001F600";
  EXPECT_EQ(injector_->keys,
            (std::vector<FakeInputInjector::KeyEvent>{{0, true, text}, {0, false, text}}));
}

TEST(Utf16FromUtf8Test, MalformedBytesBecomeReplacementCharacters) {
  EXPECT_EQ(utf16FromUtf8("\xFFx"), u"\uFFFDx");
  EXPECT_EQ(utf16FromUtf8("ab\xE2\x82"), u"ab\uFFFD");  // truncated sequence at the end
  // An encoded surrogate must never reach the injector as a lone surrogate unit.
  const std::u16string surrogate = utf16FromUtf8("\xED\xA0\x80");
  ASSERT_FALSE(surrogate.empty());
  for (char16_t unit : surrogate) EXPECT_EQ(unit, u'\uFFFD');
}

}  // namespace
}  // namespace lumora::services::input
