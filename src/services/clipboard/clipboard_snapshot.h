#pragma once

#include <string>
#include <variant>

#include "protocol/bytes.h"

namespace lumora::services {

// What a read of the clipboard found, the most useful kind first: one file, a text, an image
// (always PNG), or nothing usable.
struct ClipboardSnapshot {
  struct Text {
    std::string text;
    bool operator==(const Text&) const = default;
  };
  struct Image {
    protocol::Bytes png;
    bool operator==(const Image&) const = default;
  };
  struct File {
    std::string name;
    protocol::Bytes data;
    bool operator==(const File&) const = default;
  };
  struct Empty {
    bool operator==(const Empty&) const = default;
  };

  std::variant<Empty, Text, Image, File> value;

  bool operator==(const ClipboardSnapshot&) const = default;
};

}  // namespace lumora::services
