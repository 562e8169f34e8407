#include "platform/x11/display_directory_x11.h"

#include "platform/x11/x11_error.h"

#include <xcb/randr.h>

namespace lumora::platform::x11 {

DisplayDirectoryX11::DisplayDirectoryX11(const std::string& displayName)
    : connection_(displayName) {
  const xcb_query_extension_reply_t* randr =
      xcb_get_extension_data(connection_.get(), &xcb_randr_id);
  if (randr != nullptr && randr->present != 0) {
    Reply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
        connection_.get(), xcb_randr_query_version(connection_.get(), 1, 5), nullptr));
    hasRandr15_ = version && (version->major_version > 1 ||
                              (version->major_version == 1 && version->minor_version >= 5));
  }
}

std::vector<DisplayDirectoryX11::Monitor> DisplayDirectoryX11::readMonitors() {
  std::vector<Monitor> result;
  if (hasRandr15_) {
    Reply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(
        connection_.get(), xcb_randr_get_monitors(connection_.get(), connection_.root(), 1),
        nullptr));
    if (reply) {
      bool anyPrimary = false;
      auto it = xcb_randr_get_monitors_monitors_iterator(reply.get());
      for (; it.rem > 0; xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t& info = *it.data;
        Monitor m;
        m.descriptor.id = info.name;
        m.descriptor.name = connection_.atomName(info.name);
        if (m.descriptor.name.empty()) {
          m.descriptor.name = "Display " + std::to_string(result.size() + 1);
        }
        m.descriptor.width = info.width;
        m.descriptor.height = info.height;
        m.descriptor.isMain = info.primary != 0 && !anyPrimary;
        anyPrimary = anyPrimary || info.primary != 0;
        m.bounds = {static_cast<double>(info.x), static_cast<double>(info.y),
                    static_cast<double>(info.width), static_cast<double>(info.height)};
        result.push_back(std::move(m));
      }
      if (!result.empty() && !anyPrimary) result.front().descriptor.isMain = true;
    }
  }
  if (result.empty()) {
    if (!connection_.healthy()) throw X11Error("connection to the X server lost");
    const xcb_screen_t& screen = *connection_.screen();
    Monitor whole;
    whole.descriptor = {0, "Display 1", screen.width_in_pixels, screen.height_in_pixels, true};
    whole.bounds = {0, 0, static_cast<double>(screen.width_in_pixels),
                    static_cast<double>(screen.height_in_pixels)};
    result.push_back(std::move(whole));
  }
  return result;
}

std::vector<DisplayDirectoryX11::Monitor> DisplayDirectoryX11::monitors() {
  std::lock_guard lock(mutex_);
  return readMonitors();
}

std::vector<DisplayDescriptor> DisplayDirectoryX11::displays() {
  std::vector<DisplayDescriptor> result;
  for (auto& m : monitors()) result.push_back(std::move(m.descriptor));
  return result;
}

std::optional<std::uint32_t> DisplayDirectoryX11::mainDisplayID() {
  for (const auto& m : monitors()) {
    if (m.descriptor.isMain) return m.descriptor.id;
  }
  return std::nullopt;
}

std::optional<DisplayRect> DisplayDirectoryX11::bounds(std::uint32_t displayID) {
  for (const auto& m : monitors()) {
    if (m.descriptor.id == displayID) return m.bounds;
  }
  return std::nullopt;
}

}  // namespace lumora::platform::x11
