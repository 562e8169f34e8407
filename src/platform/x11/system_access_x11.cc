#include "platform/x11/system_access_x11.h"

#include <xcb/xtest.h>

#include <optional>

#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_error.h"

namespace lumora::platform::x11 {
namespace {

std::optional<X11Connection> connectTo(const std::string& displayName) {
  try {
    return std::optional<X11Connection>(std::in_place, displayName);
  } catch (const X11Error&) {
    return std::nullopt;
  }
}

}  // namespace

SystemAccessX11::SystemAccessX11(std::string displayName) : displayName_(std::move(displayName)) {}

bool SystemAccessX11::hasScreenRecording() {
  auto connection = connectTo(displayName_);
  if (!connection) return false;
  xcb_connection_t* c = connection->get();
  Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(
      c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, connection->root(), 0, 0, 1, 1, ~0u),
      nullptr));
  return image != nullptr;
}

bool SystemAccessX11::hasAccessibility() {
  auto connection = connectTo(displayName_);
  if (!connection) return false;
  const xcb_query_extension_reply_t* xtest =
      xcb_get_extension_data(connection->get(), &xcb_test_id);
  return xtest != nullptr && xtest->present != 0;
}

}  // namespace lumora::platform::x11
