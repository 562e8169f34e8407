#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "platform/login_item.h"

namespace lumora::fakes {

// A login item the test sets up: `failure` makes enable and disable throw it.
class FakeLoginItem : public platform::LoginItem {
 public:
  bool isEnabled() const override { return enabled; }
  void enable() override {
    ++enableCalls;
    if (failure) throw std::runtime_error(*failure);
    enabled = true;
  }
  void disable() override {
    if (failure) throw std::runtime_error(*failure);
    enabled = false;
  }

  bool enabled = false;
  std::optional<std::string> failure;
  int enableCalls = 0;
};

}  // namespace lumora::fakes
