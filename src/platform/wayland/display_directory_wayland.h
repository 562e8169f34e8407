#pragma once

#include <chrono>
#include <memory>

#include "platform/display_directory.h"
#include "platform/wayland/portal_session_keeper.h"

namespace lumora::platform::wayland {

// The displays are the screens the user shared through the portal, in the portal's order and
// logical coordinates (the first is the main one); identifiers are their places in that list,
// counted from 1. Before the user has allowed sharing, or after a refusal, every call throws
// with the reason, which the phone sees as the error reply.
class DisplayDirectoryWayland : public DisplayDirectory {
 public:
  explicit DisplayDirectoryWayland(std::shared_ptr<PortalSessionKeeper> sessions)
      : sessions_(std::move(sessions)) {}

  std::vector<DisplayDescriptor> displays() override;
  std::optional<std::uint32_t> mainDisplayID() override;
  std::optional<DisplayRect> bounds(std::uint32_t displayID) override;

  // The stream showing display `displayID`, or the main one when none is asked for; none when
  // there is no such display. Throws as the calls above.
  std::optional<PortalStream> stream(std::optional<std::uint32_t> displayID);
  // The streams, with the session's state checked (throws when not started).
  std::vector<PortalStream> streams();

  // How long a call waits for a portal that has not answered yet (not for the user).
  static constexpr std::chrono::seconds kPortalAnswerWait{5};

 private:
  std::shared_ptr<PortalSessionKeeper> sessions_;
};

// The rectangle a stream covers; its pixel size stands in for a missing logical size.
DisplayRect streamRect(const PortalStream& stream);

}  // namespace lumora::platform::wayland
