#pragma once

#include "platform/input_injector.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumora::fakes {

// Records every posted event in order; the cursor and the main display are whatever the test
// sets. Single-threaded like the seam.
class FakeInputInjector : public platform::InputInjector {
 public:
  struct MouseEvent {
    platform::MouseEventType type;
    platform::ScreenPoint at;
    platform::MouseButtonNumber button;
    bool operator==(const MouseEvent&) const = default;
  };
  struct KeyEvent {
    std::uint16_t keyCode;
    bool down;
    std::u16string text;
    bool operator==(const KeyEvent&) const = default;
  };
  struct ScrollEvent {
    std::int32_t wheel1;
    std::int32_t wheel2;
    bool operator==(const ScrollEvent&) const = default;
  };

  void postMouseEvent(platform::MouseEventType type, platform::ScreenPoint at,
                      platform::MouseButtonNumber button) override {
    mouse.push_back({type, at, button});
    if (movesCursor) cursor = at;
  }
  void postKeyEvent(std::uint16_t keyCode, bool down, std::u16string_view text) override {
    keys.push_back({keyCode, down, std::u16string(text)});
  }
  void postScrollEvent(std::int32_t wheel1, std::int32_t wheel2) override {
    scrolls.push_back({wheel1, wheel2});
  }
  platform::ScreenPoint cursorLocation() override { return cursor; }
  std::optional<platform::DisplayRect> mainDisplayBounds() override { return mainBounds; }
  std::optional<std::string> whyNoRemoteInput() override { return noRemoteInput; }

  std::vector<MouseEvent> mouse;
  std::vector<KeyEvent> keys;
  std::vector<ScrollEvent> scrolls;
  platform::ScreenPoint cursor;
  bool movesCursor = false;
  std::optional<platform::DisplayRect> mainBounds;
  std::optional<std::string> noRemoteInput;
};

}  // namespace lumora::fakes
