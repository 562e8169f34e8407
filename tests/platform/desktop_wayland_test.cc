// The Wayland desktop against the real portal frontend on a headless compositor, with the test
// backend answering for the desktop: the session it sets up, the input calls it makes, a
// refusal, and the permission kept for the next start.

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <boost/json.hpp>

#include <memory>
#include <optional>
#include <tuple>

#include "platform/capture_error.h"
#include "platform/wayland/desktop_wayland.h"
#include "platform/wayland/system_access_wayland.h"
#include "support/eventually.h"
#include "support/recorder.h"
#include "support/temp_dir.h"
#include "support/wayland_desktop.h"

namespace lumora::platform::wayland {
namespace {

using testing_support::eventually;
using testing_support::WaylandDesktop;
using testing_support::WaylandDesktopOptions;
namespace json = boost::json;

// The desktop for one test, or the reason it cannot run here.
std::unique_ptr<WaylandDesktop> startDesktop(WaylandDesktopOptions options, std::string& why) {
  try {
    auto desktop = std::make_unique<WaylandDesktop>(options);
    desktop->applyToThisProcess();
    return desktop;
  } catch (const std::exception& e) {
    why = e.what();
    return nullptr;
  }
}

#define START_DESKTOP(name, options)      \
  std::string why;                        \
  auto name = startDesktop(options, why); \
  if (!name) GTEST_SKIP() << "no Wayland desktop here: " << why

// The displays once the portal has answered; none if it never does.
std::optional<std::vector<DisplayDescriptor>> sharedDisplays(Desktop& desktop) {
  std::optional<std::vector<DisplayDescriptor>> found;
  eventually([&] {
    try {
      found = desktop.displays()->displays();
      return true;
    } catch (const std::exception&) {
      return false;
    }
  });
  return found;
}

// Whether asking for the displays comes to fail with a reason containing `phrase`.
::testing::AssertionResult displaysFailWith(Desktop& desktop, const std::string& phrase) {
  std::string reason;
  if (eventually([&] {
        try {
          desktop.displays()->displays();
        } catch (const std::exception& e) {
          reason = e.what();
        }
        return reason.find(phrase) != std::string::npos;
      })) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "the last reason: " << reason;
}

// The Notify* calls the backend received, as (method, the arguments after session and options).
std::vector<std::pair<std::string, json::array>> inputCalls(const WaylandDesktop& desk) {
  std::vector<std::pair<std::string, json::array>> calls;
  for (const auto& call : desk.backendCalls()) {
    const std::string method(call.at("method").as_string());
    if (method.find(".Notify") == std::string::npos) continue;
    const auto& args = call.at("args").as_array();
    calls.emplace_back(method.substr(method.find('.') + 1),
                       json::array(args.begin() + 2, args.end()));
  }
  return calls;
}

json::object optionsOf(const json::object& call, std::size_t index) {
  return call.at("args").as_array().at(index).as_object();
}

DesktopWayland::Options optionsIn(const testing_support::TempDir& home) {
  return {home.path() / ".lumora" / "portal-restore-token", "", CommandKey::control};
}

TEST(DesktopWaylandTest, OneCombinedSessionSharesTheScreenAndCarriesPointerScrollAndKeys) {
  START_DESKTOP(desk, {});
  testing_support::TempDir home;
  DesktopWayland desktop(optionsIn(home));

  const auto displays = sharedDisplays(desktop);
  ASSERT_TRUE(displays);
  ASSERT_EQ(displays->size(), 1u);
  EXPECT_EQ(std::tie(displays->front().width, displays->front().height, displays->front().isMain),
            std::make_tuple(WaylandDesktop::kWidth, WaylandDesktop::kHeight, true));
  EXPECT_TRUE(SystemAccessWayland(home / "unused").hasAccessibility());

  // One remote-desktop session with its screen cast: both devices, whole screens, the cursor
  // drawn in by the compositor.
  const auto devices = desk->backendCalls("RemoteDesktop.SelectDevices");
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(optionsOf(devices[0], 3).at("types"), 3);
  const auto sources = desk->backendCalls("ScreenCast.SelectSources");
  ASSERT_EQ(sources.size(), 1u);
  EXPECT_EQ(optionsOf(sources[0], 3).at("types"), 1);
  EXPECT_EQ(optionsOf(sources[0], 3).at("cursor_mode"), 2);
  EXPECT_EQ(desk->backendCalls("RemoteDesktop.Start").size(), 1u);
  EXPECT_TRUE(desk->backendCalls("ScreenCast.Start").empty());

  auto input = desktop.injector();
  EXPECT_EQ(input->whyNoRemoteInput(), std::nullopt);
  input->postMouseEvent(MouseEventType::leftMouseDown, {100, 200}, 0);
  input->postMouseEvent(MouseEventType::leftMouseUp, {100.5, 200}, 0);
  input->postMouseEvent(MouseEventType::otherMouseDown, {5000, -3}, 3);  // off screen: clamped
  input->postScrollEvent(64, -32);
  input->postKeyEvent(0x37, true, u"");  // Command presses Control
  input->postKeyEvent(0x00, true, u"");  // the A key
  input->postKeyEvent(0x00, false, u"");
  input->postKeyEvent(0x00, true, u"한");
  input->postKeyEvent(0x00, false, u"한");  // text is typed once, on the way down
  EXPECT_EQ(input->cursorLocation(), (ScreenPoint{WaylandDesktop::kWidth - 1, 0}));

  using Call = std::pair<std::string, json::array>;
  const double right = WaylandDesktop::kWidth - 1;
  const std::vector<std::pair<std::string, json::array>> expected = {
      {"NotifyPointerMotionAbsolute", {nullptr, 100.0, 200.0}},
      {"NotifyPointerButton", {0x110, 1}},
      {"NotifyPointerMotionAbsolute", {nullptr, 100.5, 200.0}},
      {"NotifyPointerButton", {0x110, 0}},
      {"NotifyPointerMotionAbsolute", {nullptr, right, 0.0}},
      {"NotifyPointerButton", {0x113, 1}},
      {"NotifyPointerAxisDiscrete", {0, -2}},
      {"NotifyPointerAxisDiscrete", {1, 1}},
      {"NotifyKeyboardKeysym", {XKB_KEY_Control_L, 1}},
      {"NotifyKeyboardKeysym", {XKB_KEY_a, 1}},
      {"NotifyKeyboardKeysym", {XKB_KEY_a, 0}},
      {"NotifyKeyboardKeysym", {0x100D55C, 1}},
      {"NotifyKeyboardKeysym", {0x100D55C, 0}},
  };
  std::vector<Call> calls;
  eventually([&] { return (calls = inputCalls(*desk)).size() >= expected.size(); });
  ASSERT_EQ(calls.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    json::array want = expected[i].second;
    // Motions name the shared stream's PipeWire node, whatever number it got.
    if (expected[i].first == "NotifyPointerMotionAbsolute") want[0] = calls[i].second[0];
    EXPECT_EQ(calls[i].first, expected[i].first) << i;
    EXPECT_EQ(calls[i].second, want) << i << ": " << json::serialize(calls[i].second);
  }

  // The desktop ending the sharing ends it here too; the next request for the screen asks the
  // desktop again and streams.
  EXPECT_EQ(desk->closeSessions(), 1);
  ASSERT_TRUE(displaysFailWith(desktop, "ended on the desktop"));
  auto source = desktop.makeFrameSource({640, std::nullopt, std::nullopt, 30});
  testing_support::Recorder<std::pair<int, int>> sizes;
  source->start([&](const PixelBuffer& frame, std::uint64_t) {
    sizes.add({frame.width(), frame.height()});
  });
  EXPECT_TRUE(sizes.waitUntil([](const auto& seen) { return !seen.empty(); }));
  source->stop();
  ASSERT_FALSE(sizes.items().empty());
  EXPECT_EQ(sizes.items().front(), std::make_pair(640, 400));
  EXPECT_EQ(desk->backendCalls("RemoteDesktop.Start").size(), 2u);
}

TEST(DesktopWaylandTest, ARefusalIsReportedAndThePhoneAskingForTheScreenAsksAgain) {
  START_DESKTOP(desk, {.consent = WaylandDesktopOptions::Consent::refuse});
  testing_support::TempDir home;
  DesktopWayland desktop(optionsIn(home));

  ASSERT_TRUE(displaysFailWith(desktop, "did not allow"));
  // Input goes nowhere, without failing.
  desktop.injector()->postMouseEvent(MouseEventType::mouseMoved, {10, 10}, 0);
  desktop.injector()->postKeyEvent(0x00, true, u"");

  EXPECT_THROW(desktop.makeFrameSource({})->start([](const PixelBuffer&, std::uint64_t) {}),
               CaptureError);
  EXPECT_EQ(desk->backendCalls("RemoteDesktop.Start").size(), 2u) << "asked again";
  EXPECT_TRUE(inputCalls(*desk).empty());
}

TEST(DesktopWaylandTest, WithoutRemoteInputTheScreenSharesAndThePermissionIsKeptForTheNextStart) {
  START_DESKTOP(desk, {.remoteDesktop = false});
  testing_support::TempDir home;
  const auto tokenFile = optionsIn(home).restoreTokenFile;
  SystemAccessWayland access(tokenFile);
  EXPECT_FALSE(access.hasScreenRecording());
  EXPECT_FALSE(access.hasAccessibility());

  {
    DesktopWayland desktop(optionsIn(home));
    ASSERT_TRUE(sharedDisplays(desktop));
    // The phone is told why nothing moves.
    EXPECT_EQ(desktop.injector()->whyNoRemoteInput(),
              "this computer does not accept remote input: its desktop offers no remote control");
    desktop.injector()->postMouseEvent(MouseEventType::leftMouseDown, {10, 10}, 0);
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(tokenFile); }));
    EXPECT_EQ(testing_support::fileMode(tokenFile), 0600u);
    EXPECT_TRUE(access.hasScreenRecording());
  }
  const auto first = desk->backendCalls("ScreenCast.SelectSources");
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(optionsOf(first[0], 3).at("persist_mode"), 2);
  EXPECT_FALSE(optionsOf(first[0], 3).contains("restore_data"));

  // The next start offers what the desktop remembered, and keeps what it hands out next.
  DesktopWayland again(optionsIn(home));
  ASSERT_TRUE(sharedDisplays(again));
  const auto second = desk->backendCalls("ScreenCast.SelectSources");
  ASSERT_EQ(second.size(), 2u);
  EXPECT_TRUE(optionsOf(second[1], 3).contains("restore_data")) << json::serialize(second[1]);
  EXPECT_FALSE(testing_support::contentOf(tokenFile).empty());
  EXPECT_TRUE(inputCalls(*desk).empty());
  EXPECT_TRUE(desk->backendCalls("RemoteDesktop.CreateSession").empty());
}

}  // namespace
}  // namespace lumora::platform::wayland
