#pragma once

#include "platform/system_access.h"

namespace lumora::fakes {

// Two permissions the test grants by hand; a request grants its permission only when the test
// said the user would allow it.
class FakeSystemAccess : public platform::SystemAccess {
 public:
  bool hasScreenRecording() override { return screenRecording; }
  bool hasAccessibility() override { return accessibility; }
  void openScreenRecordingSettings() override {}
  void openAccessibilitySettings() override {}
  void requestAccessibility() override {
    ++accessibilityRequests;
    if (allowOnRequest) accessibility = true;
  }
  void requestScreenRecording() override {
    if (allowOnRequest) screenRecording = true;
  }

  bool screenRecording = false;
  bool accessibility = false;
  bool allowOnRequest = false;
  int accessibilityRequests = 0;
};

}  // namespace lumora::fakes
