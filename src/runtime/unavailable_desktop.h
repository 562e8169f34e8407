#pragma once

// Stand-ins for the desktop seams when no display server can be reached (a headless machine,
// an agent started outside the graphical session): every call fails with the reason, which the
// dispatcher turns into an error reply, while files and terminals keep working.

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/capture_error.h"
#include "platform/desktop.h"

namespace lumora::runtime {

class UnavailableDesktop : public platform::DisplayDirectory,
                           public platform::InputInjector,
                           public platform::PasteboardAccess {
 public:
  explicit UnavailableDesktop(std::string reason) : reason_(std::move(reason)) {}

  // The parts of a desktop whose every call fails with `reason`.
  static std::unique_ptr<platform::Desktop> make(std::string reason);

  std::vector<platform::DisplayDescriptor> displays() override { fail(); }
  std::optional<std::uint32_t> mainDisplayID() override { fail(); }
  std::optional<platform::DisplayRect> bounds(std::uint32_t) override { fail(); }

  void postMouseEvent(platform::MouseEventType, platform::ScreenPoint,
                      platform::MouseButtonNumber) override {
    fail();
  }
  void postKeyEvent(std::uint16_t, bool, std::u16string_view) override { fail(); }
  void postScrollEvent(std::int32_t, std::int32_t) override { fail(); }
  platform::ScreenPoint cursorLocation() override { fail(); }
  std::optional<platform::DisplayRect> mainDisplayBounds() override { fail(); }

  std::optional<std::string> readText() override { fail(); }
  void writeText(const std::string&) override { fail(); }
  std::optional<protocol::Bytes> readImagePNG() override { fail(); }
  void writeImagePNG(const protocol::Bytes&) override { fail(); }
  std::optional<platform::PasteboardFile> readFile() override { fail(); }
  void writeFile(const std::filesystem::path&) override { fail(); }
  void clear() override { fail(); }

  const std::string& reason() const { return reason_; }

 private:
  [[noreturn]] void fail() const { throw std::runtime_error(reason_); }
  std::string reason_;
};

namespace unavailable_detail {

class NoFrames : public platform::FrameSource {
 public:
  void start(platform::FrameHandler) override {
    throw platform::CaptureError::noDisplayAvailable();
  }
  void stop() override {}
};

class Parts : public platform::Desktop {
 public:
  explicit Parts(std::shared_ptr<UnavailableDesktop> parts) : parts_(std::move(parts)) {}
  std::shared_ptr<platform::DisplayDirectory> displays() override { return parts_; }
  std::shared_ptr<platform::InputInjector> injector() override { return parts_; }
  std::shared_ptr<platform::PasteboardAccess> pasteboard() override { return parts_; }
  std::unique_ptr<platform::FrameSource> makeFrameSource(
      const platform::FrameSourceRequest&) override {
    return std::make_unique<NoFrames>();
  }

 private:
  std::shared_ptr<UnavailableDesktop> parts_;
};

}  // namespace unavailable_detail

inline std::unique_ptr<platform::Desktop> UnavailableDesktop::make(std::string reason) {
  return std::make_unique<unavailable_detail::Parts>(
      std::make_shared<UnavailableDesktop>(std::move(reason)));
}

}  // namespace lumora::runtime
