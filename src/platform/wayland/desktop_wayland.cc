#include "platform/wayland/desktop_wayland.h"

#include <cstdlib>
#include <stdexcept>

#include "core/agent_log.h"
#include "platform/capture_error.h"
#include "platform/wayland/display_directory_wayland.h"
#include "platform/wayland/frame_source_pipewire.h"
#include "platform/wayland/input_injector_wayland.h"
#include "platform/wayland/portal_session_keeper.h"
#include "platform/x11/pasteboard_x11.h"

namespace lumora::platform::wayland {
namespace {

// Where no X display answers there is no clipboard this agent can reach: Wayland gives the
// clipboard only to the focused window.
class ClipboardWithoutXwayland : public PasteboardAccess {
 public:
  std::optional<std::string> readText() override { fail(); }
  void writeText(const std::string&) override { fail(); }
  std::optional<protocol::Bytes> readImagePNG() override { fail(); }
  void writeImagePNG(const protocol::Bytes&) override { fail(); }
  std::optional<PasteboardFile> readFile() override { fail(); }
  void writeFile(const std::filesystem::path&) override { fail(); }
  void clear() override { fail(); }

  static constexpr const char* kReason =
      "the clipboard needs Xwayland on this desktop, and no X display answers";

 private:
  [[noreturn]] static void fail() { throw std::runtime_error(kReason); }
};

std::shared_ptr<PasteboardAccess> openClipboard(const std::string& displayName) {
  const char* display = std::getenv("DISPLAY");
  if (displayName.empty() && (display == nullptr || *display == '\0')) {
    core::AgentLog("clipboard").info(ClipboardWithoutXwayland::kReason);
    return std::make_shared<ClipboardWithoutXwayland>();
  }
  try {
    return std::make_shared<x11::PasteboardX11>(displayName);
  } catch (const std::exception& e) {
    core::AgentLog("clipboard")
        .info(std::string(ClipboardWithoutXwayland::kReason) + " (" + e.what() + ")");
    return std::make_shared<ClipboardWithoutXwayland>();
  }
}

// Waits for the user's consent, then captures the stream of the requested display.
class PortalFrameSource : public FrameSource {
 public:
  PortalFrameSource(std::shared_ptr<PortalSessionKeeper> sessions, FrameSourceRequest request)
      : sessions_(std::move(sessions)), request_(request) {}

  void start(FrameHandler handler) override {
    // A phone asking for the screen after a refusal asks the desktop again.
    auto session = sessions_->renewed();
    const PortalState state = session->waitUntilSettled(DesktopWayland::kConsentWait, true);
    if (state != PortalState::started) {
      throw CaptureError(CaptureError::platformFailure, session->failure());
    }
    auto streams = session->streams();
    if (streams.empty()) throw CaptureError(CaptureError::platformFailure, session->failure());
    const std::uint32_t id = request_.displayID.value_or(1);
    // Like X11, a display that is not (or no longer) shared falls back to the first.
    const PortalStream& stream = id >= 1 && id <= streams.size() ? streams[id - 1] : streams[0];
    std::weak_ptr<PortalSession> weak = session;
    source_ = std::make_unique<FrameSourcePipeWire>(
        [weak]() -> linux_os::UniqueFd {
          auto owner = weak.lock();
          if (!owner) throw CaptureError(CaptureError::platformFailure, "screen sharing ended");
          return owner->openPipeWireRemote();
        },
        stream, session->cursorDelivery(), request_.maxWidth, request_.maxHeight, request_.fps);
    source_->start(std::move(handler));
    session_ = std::move(session);
  }

  void stop() override {
    if (source_) source_->stop();
  }

 private:
  std::shared_ptr<PortalSessionKeeper> sessions_;
  FrameSourceRequest request_;
  std::shared_ptr<PortalSession> session_;
  std::unique_ptr<FrameSourcePipeWire> source_;
};

}  // namespace

DesktopWayland::DesktopWayland(Options options)
    : sessions_(
          std::make_shared<PortalSessionKeeper>(RestoreTokenFile(options.restoreTokenFile), true)),
      displays_(std::make_shared<DisplayDirectoryWayland>(sessions_)),
      injector_(std::make_shared<InputInjectorWayland>(sessions_, displays_, options.commandKey)),
      pasteboard_(openClipboard(options.x11DisplayName)) {}

DesktopWayland::~DesktopWayland() = default;

std::shared_ptr<DisplayDirectory> DesktopWayland::displays() { return displays_; }

std::unique_ptr<FrameSource> DesktopWayland::makeFrameSource(const FrameSourceRequest& request) {
  return std::make_unique<PortalFrameSource>(sessions_, request);
}

}  // namespace lumora::platform::wayland
