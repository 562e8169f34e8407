#include "platform/x11/x11_connection.h"

#include "platform/x11/x11_error.h"

namespace lumora::platform::x11 {

X11Connection::X11Connection(const std::string& displayName) {
  int screenNumber = 0;
  connection_ = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
  if (xcb_connection_has_error(connection_) != 0) {
    xcb_disconnect(connection_);
    throw X11Error("cannot connect to X display '" + displayName + "'");
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection_));
  for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
  if (it.rem == 0) {
    xcb_disconnect(connection_);
    throw X11Error("X display has no screen");
  }
  screen_ = it.data;
}

X11Connection::~X11Connection() { xcb_disconnect(connection_); }

void X11Connection::requireExtension(xcb_extension_t* extension, const char* name) const {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection_, extension);
  if (data == nullptr || data->present == 0) {
    throw X11Error(std::string("X server lacks the ") + name + " extension");
  }
}

std::uint8_t X11Connection::firstEvent(xcb_extension_t* extension) const {
  return xcb_get_extension_data(connection_, extension)->first_event;
}

xcb_atom_t X11Connection::atom(const std::string& name) {
  {
    std::lock_guard guard(atomsLock_);
    if (auto it = atoms_.find(name); it != atoms_.end()) return it->second;
  }
  Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      connection_,
      xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.data()),
      nullptr));
  const xcb_atom_t value = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  if (value != XCB_ATOM_NONE) {
    std::lock_guard guard(atomsLock_);
    atoms_.emplace(name, value);
  }
  return value;
}

std::string X11Connection::atomName(xcb_atom_t value) const {
  Reply<xcb_get_atom_name_reply_t> reply(
      xcb_get_atom_name_reply(connection_, xcb_get_atom_name(connection_, value), nullptr));
  if (!reply) return {};
  return std::string(xcb_get_atom_name_name(reply.get()),
                     static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
}

xcb_window_t X11Connection::createPropertyWindow() const {
  const xcb_window_t window = xcb_generate_id(connection_);
  const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, root(), 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  return window;
}

}  // namespace lumora::platform::x11
