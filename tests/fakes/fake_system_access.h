#pragma once

#include "platform/system_access.h"

namespace lumora::fakes {

// Two permissions the test grants by hand; a request grants its permission only when the test
// said the user would allow it.
class FakeSystemAccess : public platform::SystemAccess {
 public:
  bool hasScreenRecording() override { return screenRecording; }
  bool hasAccessibility() override { return accessibility; }
  void openScreenRecordingSettings() override { ++screenRecordingSettingsOpened; }
  void openAccessibilitySettings() override {}
  void requestAccessibility() override {
    ++accessibilityRequests;
    if (allowOnRequest) accessibility = true;
  }
  void requestScreenRecording() override {
    ++screenRecordingRequests;
    if (allowOnRequest) screenRecording = true;
  }

  bool screenRecording = false;
  bool accessibility = false;
  bool allowOnRequest = false;
  int screenRecordingSettingsOpened = 0;
  int accessibilityRequests = 0;
  int screenRecordingRequests = 0;
};

}  // namespace lumora::fakes
