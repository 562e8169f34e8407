#pragma once

#include "core/agent_log.h"
#include "core/agent_service.h"
#include "core/peer_id.h"
#include "platform/input_injector.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/strand.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace lumora::services::input {

using platform::MouseButtonNumber;
using platform::ScreenPoint;

// Turns remote-control requests into synthetic pointer and keyboard events. Its one piece of
// state is the button being held, so that plain moves become drags while a button is down.
//
// Every operation runs on the service's own strand (one at a time) and may be awaited from any
// executor; none of them fails. The injector is only touched from that strand.
class InputService : public core::AgentService {
 public:
  InputService(boost::asio::any_io_executor executor,
               std::shared_ptr<platform::InputInjector> injector);

  std::string name() const override { return "input-service"; }
  boost::asio::awaitable<void> start() override;
  boost::asio::awaitable<void> stop() override;

  // A move, or a drag of the held button; the point is used as given.
  boost::asio::awaitable<void> moveMouse(ScreenPoint to);
  // Relative to the current pointer, kept inside the main display.
  boost::asio::awaitable<void> moveMouseBy(double dx, double dy);
  // Press or release at the current pointer; a press makes `button` the held one, held by
  // `peer`, a release clears it only when it is the held one (whoever pressed it).
  boost::asio::awaitable<void> setButton(MouseButtonNumber button, bool down,
                                         core::PeerID peer = 0);
  // Lets go of the held button where the pointer is, when `peer` pressed it: a peer that drops
  // mid-drag must not leave a button down, and one that merely connects and goes (a ping) must
  // not end another peer's drag.
  boost::asio::awaitable<void> releaseHeldButton(core::PeerID peer);
  boost::asio::awaitable<void> click(ScreenPoint at, MouseButtonNumber button);
  boost::asio::awaitable<void> clickAtCursor(MouseButtonNumber button);
  boost::asio::awaitable<void> leftClick(ScreenPoint at);
  boost::asio::awaitable<void> key(std::uint16_t keyCode, bool down);
  boost::asio::awaitable<void> pressKey(std::uint16_t keyCode);
  // The whole text in one key-down/key-up pair; invalid UTF-8 becomes U+FFFD.
  boost::asio::awaitable<void> typeText(std::string text);
  boost::asio::awaitable<void> scroll(std::int32_t deltaX, std::int32_t deltaY);
  boost::asio::awaitable<void> drag(ScreenPoint from, ScreenPoint to, MouseButtonNumber button);
  // Why input cannot reach this desktop at all (the injector's words), or nothing.
  boost::asio::awaitable<std::optional<std::string>> whyNoRemoteInput();

  // The point kept inside `mainBounds` (its last pixel is width − 1, height − 1 from the
  // origin); unchanged when the bounds are unknown or empty.
  static ScreenPoint clampToMainDisplay(ScreenPoint point,
                                        std::optional<platform::DisplayRect> mainBounds);

  // For tests and diagnostics; call from the strand's side of an await only.
  std::optional<MouseButtonNumber> heldButton() const { return heldButton_; }

 private:
  void moveTo(ScreenPoint to);
  void clickAt(ScreenPoint at, MouseButtonNumber button);

  boost::asio::strand<boost::asio::any_io_executor> strand_;
  std::shared_ptr<platform::InputInjector> injector_;
  core::AgentLog log_{"input"};
  std::optional<MouseButtonNumber> heldButton_;
  core::PeerID heldBy_ = 0;
};

// The UTF-16 code units of UTF-8 text; malformed sequences become U+FFFD.
std::u16string utf16FromUtf8(std::string_view text);

}  // namespace lumora::services::input
