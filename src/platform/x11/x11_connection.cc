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

}  // namespace lumora::platform::x11
