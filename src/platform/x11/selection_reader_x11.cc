#include "platform/x11/selection_reader_x11.h"

#include <poll.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace lumora::platform::x11 {

using protocol::Bytes;

namespace {
struct EventFree {
  void operator()(xcb_generic_event_t* e) const { std::free(e); }
};
using Event = std::unique_ptr<xcb_generic_event_t, EventFree>;
}  // namespace

SelectionReaderX11::SelectionReaderX11(const std::string& displayName,
                                       std::chrono::milliseconds stepTimeout)
    : connection_(displayName), stepTimeout_(stepTimeout) {
  window_ = connection_.createPropertyWindow();
  clipboard_ = connection_.atom("CLIPBOARD");
  property_ = connection_.atom("LUMORA_SELECTION");
  incr_ = connection_.atom("INCR");
  xcb_flush(connection_.get());
}

template <class Wanted>
xcb_generic_event_t* SelectionReaderX11::waitFor(Wanted wanted) {
  xcb_connection_t* c = connection_.get();
  const auto deadline = std::chrono::steady_clock::now() + stepTimeout_;
  while (connection_.healthy()) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
      if (wanted(event)) return event;
      std::free(event);
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return nullptr;
    pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
    ::poll(&fd, 1, static_cast<int>(left.count()));
  }
  return nullptr;
}

std::optional<SelectionReaderX11::Data> SelectionReaderX11::takeProperty() {
  xcb_connection_t* c = connection_.get();
  Data data;
  xcb_atom_t type = XCB_ATOM_NONE;
  std::uint32_t offset = 0;  // in 32-bit units, as the protocol counts
  while (true) {
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, window_, property_, XCB_GET_PROPERTY_TYPE_ANY, offset, 65536),
        nullptr));
    if (!reply) return std::nullopt;
    type = reply->type;
    const int length = xcb_get_property_value_length(reply.get());
    if (data.bytes.size() + static_cast<std::size_t>(length) + reply->bytes_after >
        kMaxSelectionBytes) {
      xcb_delete_property(c, window_, property_);
      return std::nullopt;
    }
    const auto* value = static_cast<const std::uint8_t*>(xcb_get_property_value(reply.get()));
    data.bytes.insert(data.bytes.end(), value, value + length);
    if (reply->bytes_after == 0 || length == 0) break;
    offset += static_cast<std::uint32_t>(length) / 4;
  }
  xcb_delete_property(c, window_, property_);
  xcb_flush(c);
  data.type = type == incr_ ? "INCR" : (type == XCB_ATOM_NONE ? "" : connection_.atomName(type));
  return data;
}

std::optional<SelectionReaderX11::Data> SelectionReaderX11::convert(xcb_atom_t target) {
  xcb_connection_t* c = connection_.get();
  Reply<xcb_get_selection_owner_reply_t> owner(
      xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, clipboard_), nullptr));
  if (!owner || owner->owner == XCB_WINDOW_NONE) return std::nullopt;
  xcb_delete_property(c, window_, property_);
  xcb_convert_selection(c, window_, clipboard_, target, property_, XCB_CURRENT_TIME);
  xcb_flush(c);
  Event notified(waitFor([&](xcb_generic_event_t* e) {
    if ((e->response_type & 0x7f) != XCB_SELECTION_NOTIFY) return false;
    const auto* n = reinterpret_cast<xcb_selection_notify_event_t*>(e);
    return n->requestor == window_ && n->selection == clipboard_ && n->target == target;
  }));
  if (!notified) return std::nullopt;
  if (reinterpret_cast<xcb_selection_notify_event_t*>(notified.get())->property == XCB_ATOM_NONE) {
    return std::nullopt;
  }
  auto first = takeProperty();
  if (!first || first->type != "INCR") return first;

  // Deleting the INCR announcement (takeProperty did) asks for the first chunk; an empty chunk
  // ends the transfer.
  Data whole;
  while (true) {
    Event chunkReady(waitFor([&](xcb_generic_event_t* e) {
      if ((e->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
      const auto* n = reinterpret_cast<xcb_property_notify_event_t*>(e);
      return n->window == window_ && n->atom == property_ && n->state == XCB_PROPERTY_NEW_VALUE;
    }));
    if (!chunkReady) return std::nullopt;
    auto chunk = takeProperty();
    if (!chunk) return std::nullopt;
    if (chunk->bytes.empty()) return whole;
    if (whole.bytes.size() + chunk->bytes.size() > kMaxSelectionBytes) return std::nullopt;
    whole.type = chunk->type;
    whole.bytes.insert(whole.bytes.end(), chunk->bytes.begin(), chunk->bytes.end());
  }
}

std::vector<std::string> SelectionReaderX11::targets() {
  std::vector<std::string> names;
  auto data = convert(connection_.atom("TARGETS"));
  if (!data || data->type != "ATOM") return names;
  const std::size_t count = data->bytes.size() / 4;
  for (std::size_t i = 0; i < count && i < 1024; ++i) {
    xcb_atom_t value = 0;
    std::memcpy(&value, data->bytes.data() + i * 4, 4);
    names.push_back(connection_.atomName(value));
  }
  return names;
}

std::optional<SelectionReaderX11::Data> SelectionReaderX11::read(const std::string& target) {
  const xcb_atom_t value = connection_.atom(target);
  if (value == XCB_ATOM_NONE) return std::nullopt;
  return convert(value);
}

}  // namespace lumora::platform::x11
