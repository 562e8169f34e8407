#include "platform/x11/selection_owner_x11.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/x11/x11_error.h"

namespace lumora::platform::x11 {

using protocol::Bytes;

namespace {

// Chunks of an INCR transfer; well below any server's request limit.
constexpr std::size_t kIncrChunk = 64 * 1024;
// A requestor that stops taking chunks is dropped after this, so its data is not kept forever.
constexpr auto kTransferIdleLimit = std::chrono::seconds(10);

}  // namespace

SelectionOwnerX11::SelectionOwnerX11(const std::string& displayName) : connection_(displayName) {
  window_ = connection_.createPropertyWindow();
  clipboard_ = connection_.atom("CLIPBOARD");
  targets_ = connection_.atom("TARGETS");
  incr_ = connection_.atom("INCR");
  text_ = connection_.atom("TEXT");
  utf8_ = connection_.atom("UTF8_STRING");
  multiple_ = connection_.atom("MULTIPLE");
  timestamp_ = connection_.atom("TIMESTAMP");
  // The core limit, not BIG-REQUESTS: requestors may not read more than this in one go.
  incrThreshold_ =
      static_cast<std::size_t>(xcb_get_setup(connection_.get())->maximum_request_length) * 4 - 64;
  if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) throw X11Error("cannot create a pipe");
  xcb_flush(connection_.get());
  thread_ = std::thread([this] { serve(); });
}

SelectionOwnerX11::~SelectionOwnerX11() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake();
  thread_.join();
  ::close(wakePipe_[0]);
  ::close(wakePipe_[1]);
}

bool SelectionOwnerX11::own(Offer offer) { return submit({std::move(offer)}); }

void SelectionOwnerX11::disown() { submit({std::nullopt}); }

bool SelectionOwnerX11::submit(Command command) {
  std::unique_lock lock(mutex_);
  commands_.push_back(std::move(command));
  const std::uint64_t ticket = ++submitted_;
  lock.unlock();
  wake();
  lock.lock();
  // The serving thread answers within one round trip; the bound covers a dead server.
  const bool done = done_.wait_for(lock, std::chrono::seconds(5),
                                   [&] { return completed_ >= ticket || stopping_; });
  return done && completed_ >= ticket && lastResult_;
}

void SelectionOwnerX11::wake() {
  const char byte = 1;
  [[maybe_unused]] auto ignored = ::write(wakePipe_[1], &byte, 1);
}

void SelectionOwnerX11::serve() {
  xcb_connection_t* c = connection_.get();
  while (true) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
      switch (event->response_type & 0x7f) {
        case XCB_SELECTION_REQUEST:
          answer(*reinterpret_cast<xcb_selection_request_event_t*>(event));
          break;
        case XCB_SELECTION_CLEAR:
          // Another application took the clipboard: what we offered is no longer asked for.
          served_.clear();
          break;
        case XCB_PROPERTY_NOTIFY:
          continueTransfer(*reinterpret_cast<xcb_property_notify_event_t*>(event));
          break;
        default:
          break;
      }
      std::free(event);
    }
    xcb_flush(c);

    std::vector<Command> commands;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
      commands.swap(commands_);
    }
    if (!commands.empty()) {
      for (auto& command : commands) runCommand(std::move(command));
      continue;  // the round trips may have queued events
    }
    if (!connection_.healthy()) {
      // Keep answering own() with a refusal rather than leaving callers waiting.
      std::lock_guard lock(mutex_);
      completed_ = submitted_;
      lastResult_ = false;
      done_.notify_all();
    }

    const auto now = std::chrono::steady_clock::now();
    std::erase_if(transfers_,
                  [&](const Transfer& t) { return now - t.lastActivity > kTransferIdleLimit; });

    pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    ::poll(fds, connection_.healthy() ? 2 : 1, 1000);
    if (!connection_.healthy()) fds[0].revents = 0;
    char drain[64];
    while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
    }
  }
  if (connection_.healthy() && !served_.empty()) {
    xcb_set_selection_owner(c, XCB_WINDOW_NONE, clipboard_, XCB_CURRENT_TIME);
    xcb_flush(c);
  }
}

void SelectionOwnerX11::runCommand(Command command) {
  xcb_connection_t* c = connection_.get();
  bool result = false;
  if (command.offer) {
    served_.clear();
    for (auto& [name, data] : *command.offer) {
      const xcb_atom_t target = connection_.atom(name);
      served_[target] = {target == text_ ? utf8_ : target, std::move(data)};
    }
    xcb_set_selection_owner(c, window_, clipboard_, XCB_CURRENT_TIME);
    Reply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, clipboard_), nullptr));
    result = owner && owner->owner == window_;
    if (!result) served_.clear();
  } else {
    Reply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, clipboard_), nullptr));
    if (owner && owner->owner == window_) {
      xcb_set_selection_owner(c, XCB_WINDOW_NONE, clipboard_, XCB_CURRENT_TIME);
    }
    served_.clear();
    result = true;
  }
  std::lock_guard lock(mutex_);
  ++completed_;
  lastResult_ = result;
  done_.notify_all();
}

void SelectionOwnerX11::answer(const xcb_selection_request_event_t& request) {
  xcb_connection_t* c = connection_.get();
  // Requestors predating ICCCM 2 leave the property empty and mean the target.
  const xcb_atom_t property =
      request.property == xcb_atom_t{XCB_ATOM_NONE} ? request.target : request.property;
  bool delivered = false;
  if (request.selection == clipboard_ && !served_.empty() && request.target != multiple_) {
    if (request.target == targets_) {
      std::vector<xcb_atom_t> list{targets_, timestamp_};
      for (const auto& entry : served_) list.push_back(entry.first);
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_ATOM, 32,
                          static_cast<std::uint32_t>(list.size()), list.data());
      delivered = true;
    } else if (request.target == timestamp_) {
      const std::uint32_t time = XCB_CURRENT_TIME;
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_INTEGER,
                          32, 1, &time);
      delivered = true;
    } else if (auto it = served_.find(request.target); it != served_.end()) {
      const auto& [type, data] = it->second;
      if (data.size() <= incrThreshold_) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, type, 8,
                            static_cast<std::uint32_t>(data.size()), data.data());
      } else {
        // Announce the size, then hand out chunks each time the requestor deletes the last.
        const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(c, request.requestor, XCB_CW_EVENT_MASK, &events);
        const auto size =
            static_cast<std::uint32_t>(std::min<std::size_t>(data.size(), UINT32_MAX));
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, incr_, 32, 1,
                            &size);
        std::erase_if(transfers_, [&](const Transfer& t) {
          return t.requestor == request.requestor && t.property == property;
        });
        transfers_.push_back(
            {request.requestor, property, type, data, 0, std::chrono::steady_clock::now()});
      }
      delivered = true;
    }
  }
  xcb_selection_notify_event_t notify{};
  notify.response_type = XCB_SELECTION_NOTIFY;
  notify.time = request.time;
  notify.requestor = request.requestor;
  notify.selection = request.selection;
  notify.target = request.target;
  notify.property = delivered ? property : xcb_atom_t{XCB_ATOM_NONE};
  xcb_send_event(c, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                 reinterpret_cast<const char*>(&notify));
  xcb_flush(c);
}

void SelectionOwnerX11::continueTransfer(const xcb_property_notify_event_t& notify) {
  if (notify.state != XCB_PROPERTY_DELETE) return;
  auto it = std::find_if(transfers_.begin(), transfers_.end(), [&](const Transfer& t) {
    return t.requestor == notify.window && t.property == notify.atom;
  });
  if (it == transfers_.end()) return;
  xcb_connection_t* c = connection_.get();
  const std::size_t n = std::min(kIncrChunk, it->data.size() - it->offset);
  // The last chunk is empty and tells the requestor the transfer is complete.
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, it->requestor, it->property, it->type, 8,
                      static_cast<std::uint32_t>(n), it->data.data() + it->offset);
  if (n == 0) {
    const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
    xcb_change_window_attributes(c, it->requestor, XCB_CW_EVENT_MASK, &none);
    transfers_.erase(it);
  } else {
    it->offset += n;
    it->lastActivity = std::chrono::steady_clock::now();
  }
  xcb_flush(c);
}

}  // namespace lumora::platform::x11
