#include "platform/x11/desktop_x11.h"

#include "platform/x11/display_directory_x11.h"
#include "platform/x11/frame_source_x11.h"
#include "platform/x11/input_injector_x11.h"
#include "platform/x11/pasteboard_x11.h"

namespace lumora::platform::x11 {

DesktopX11::DesktopX11(std::string displayName, CommandKey commandKey)
    : displayName_(std::move(displayName)) {
  auto directory = std::make_shared<DisplayDirectoryX11>(displayName_);
  injector_ = std::make_shared<InputInjectorX11>(displayName_, directory, commandKey);
  pasteboard_ = std::make_shared<PasteboardX11>(displayName_);
  displays_ = std::move(directory);
}

std::unique_ptr<FrameSource> DesktopX11::makeFrameSource(const FrameSourceRequest& request) {
  return std::make_unique<FrameSourceX11>(displayName_, request.maxWidth, request.maxHeight,
                                          request.displayID, request.fps);
}

}  // namespace lumora::platform::x11
