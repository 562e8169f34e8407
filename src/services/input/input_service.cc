#include "services/input/input_service.h"

#include "core/run_on.h"
#include "services/input/mouse_event_choice.h"

#include <boost/locale/utf.hpp>

#include <algorithm>
#include <utility>

namespace lumora::services::input {

namespace asio = boost::asio;
using platform::MouseEventType;

InputService::InputService(asio::any_io_executor executor,
                           std::shared_ptr<platform::InputInjector> injector)
    : strand_(asio::make_strand(std::move(executor))), injector_(std::move(injector)) {}

asio::awaitable<void> InputService::start() {
  co_await core::runOn(strand_, [this] { log_.info(name() + " started"); });
}

asio::awaitable<void> InputService::stop() {
  co_await core::runOn(strand_, [this] { log_.info(name() + " stopped"); });
}

void InputService::moveTo(ScreenPoint to) {
  if (heldButton_) {
    injector_->postMouseEvent(eventsFor(*heldButton_).drag, to, *heldButton_);
  } else {
    injector_->postMouseEvent(MouseEventType::mouseMoved, to, 0);
  }
}

void InputService::clickAt(ScreenPoint at, MouseButtonNumber button) {
  const ButtonEvents events = eventsFor(button);
  injector_->postMouseEvent(events.press, at, button);
  injector_->postMouseEvent(events.release, at, button);
}

asio::awaitable<void> InputService::moveMouse(ScreenPoint to) {
  co_await core::runOn(strand_, [this, to] { moveTo(to); });
}

asio::awaitable<std::optional<std::string>> InputService::whyNoRemoteInput() {
  co_return co_await core::runOn(strand_, [this] { return injector_->whyNoRemoteInput(); });
}

asio::awaitable<void> InputService::moveMouseBy(double dx, double dy) {
  co_await core::runOn(strand_, [this, dx, dy] {
    const ScreenPoint from = injector_->cursorLocation();
    moveTo(clampToMainDisplay({from.x + dx, from.y + dy}, injector_->mainDisplayBounds()));
  });
}

asio::awaitable<void> InputService::releaseHeldButton(core::PeerID peer) {
  co_await core::runOn(strand_, [this, peer] {
    if (!heldButton_ || heldBy_ != peer) return;
    const MouseButtonNumber button = *heldButton_;
    injector_->postMouseEvent(eventsFor(button).release, injector_->cursorLocation(), button);
    heldButton_.reset();
  });
}

asio::awaitable<void> InputService::setButton(MouseButtonNumber button, bool down,
                                              core::PeerID peer) {
  co_await core::runOn(strand_, [this, button, down, peer] {
    const ScreenPoint at = injector_->cursorLocation();
    const ButtonEvents events = eventsFor(button);
    if (down) {
      injector_->postMouseEvent(events.press, at, button);
      heldButton_ = button;
      heldBy_ = peer;
    } else {
      injector_->postMouseEvent(events.release, at, button);
      if (heldButton_ == button) heldButton_.reset();
    }
  });
}

asio::awaitable<void> InputService::click(ScreenPoint at, MouseButtonNumber button) {
  co_await core::runOn(strand_, [this, at, button] { clickAt(at, button); });
}

asio::awaitable<void> InputService::clickAtCursor(MouseButtonNumber button) {
  co_await core::runOn(strand_, [this, button] { clickAt(injector_->cursorLocation(), button); });
}

asio::awaitable<void> InputService::leftClick(ScreenPoint at) {
  co_await core::runOn(strand_, [this, at] { clickAt(at, 0); });
}

asio::awaitable<void> InputService::key(std::uint16_t keyCode, bool down) {
  co_await core::runOn(strand_,
                       [this, keyCode, down] { injector_->postKeyEvent(keyCode, down, {}); });
}

asio::awaitable<void> InputService::pressKey(std::uint16_t keyCode) {
  co_await core::runOn(strand_, [this, keyCode] {
    injector_->postKeyEvent(keyCode, true, {});
    injector_->postKeyEvent(keyCode, false, {});
  });
}

asio::awaitable<void> InputService::typeText(std::string text) {
  auto work = [this, text = std::move(text)] {
    if (text.empty()) return;
    const std::u16string units = utf16FromUtf8(text);
    injector_->postKeyEvent(0, true, units);
    injector_->postKeyEvent(0, false, units);
  };
  co_await core::runOn(strand_, std::move(work));
}

asio::awaitable<void> InputService::scroll(std::int32_t deltaX, std::int32_t deltaY) {
  co_await core::runOn(strand_,
                       [this, deltaX, deltaY] { injector_->postScrollEvent(deltaY, deltaX); });
}

asio::awaitable<void> InputService::drag(ScreenPoint from, ScreenPoint to,
                                         MouseButtonNumber button) {
  co_await core::runOn(strand_, [this, from, to, button] {
    const ButtonEvents events = eventsFor(button);
    injector_->postMouseEvent(events.press, from, button);
    injector_->postMouseEvent(events.drag, to, button);
    injector_->postMouseEvent(events.release, to, button);
  });
}

ScreenPoint InputService::clampToMainDisplay(ScreenPoint point,
                                             std::optional<platform::DisplayRect> mainBounds) {
  if (!mainBounds || !(mainBounds->width > 0) || !(mainBounds->height > 0)) return point;
  const platform::DisplayRect& b = *mainBounds;
  return {std::min(std::max(b.x, point.x), b.x + b.width - 1),
          std::min(std::max(b.y, point.y), b.y + b.height - 1)};
}

std::u16string utf16FromUtf8(std::string_view text) {
  namespace utf = boost::locale::utf;
  std::u16string units;
  units.reserve(text.size());
  const char* at = text.data();
  const char* const end = at + text.size();
  while (at != end) {
    const char* const before = at;
    utf::code_point cp = utf::utf_traits<char>::decode(at, end);
    if (cp == utf::illegal || cp == utf::incomplete) {
      cp = 0xFFFD;
      if (at == before) ++at;  // always make progress over a bad byte
    }
    utf::utf_traits<char16_t>::encode(cp, std::back_inserter(units));
  }
  return units;
}

}  // namespace lumora::services::input
