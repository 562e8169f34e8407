#include "platform/wayland/display_directory_wayland.h"

#include <stdexcept>

namespace lumora::platform::wayland {

DisplayRect streamRect(const PortalStream& stream) {
  return {static_cast<double>(stream.x.value_or(0)), static_cast<double>(stream.y.value_or(0)),
          static_cast<double>(stream.width.value_or(0)),
          static_cast<double>(stream.height.value_or(0))};
}

std::vector<PortalStream> DisplayDirectoryWayland::streams() {
  auto session = sessions_->current();
  const PortalState state = session->waitUntilSettled(kPortalAnswerWait, false);
  if (state != PortalState::started) throw std::runtime_error(session->failure());
  return session->streams();
}

std::vector<DisplayDescriptor> DisplayDirectoryWayland::displays() {
  std::vector<DisplayDescriptor> result;
  const auto list = streams();
  for (std::size_t i = 0; i < list.size(); ++i) {
    const DisplayRect rect = streamRect(list[i]);
    DisplayDescriptor display;
    display.id = static_cast<std::uint32_t>(i + 1);
    display.name = "Screen " + std::to_string(i + 1);
    display.width = static_cast<std::int64_t>(rect.width);
    display.height = static_cast<std::int64_t>(rect.height);
    display.isMain = i == 0;
    result.push_back(std::move(display));
  }
  return result;
}

std::optional<std::uint32_t> DisplayDirectoryWayland::mainDisplayID() {
  if (streams().empty()) return std::nullopt;
  return 1;
}

std::optional<PortalStream> DisplayDirectoryWayland::stream(
    std::optional<std::uint32_t> displayID) {
  const auto list = streams();
  const std::uint32_t id = displayID.value_or(1);
  if (id < 1 || id > list.size()) return std::nullopt;
  return list[id - 1];
}

std::optional<DisplayRect> DisplayDirectoryWayland::bounds(std::uint32_t displayID) {
  auto found = stream(displayID);
  if (!found) return std::nullopt;
  return streamRect(*found);
}

}  // namespace lumora::platform::wayland
