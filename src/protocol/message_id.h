#pragma once

#include <ostream>
#include <string>

namespace lumora::protocol {

// Identifies one message; compares, hashes and prints as its text.
struct MessageID {
  std::string rawValue;

  MessageID() = default;
  explicit MessageID(std::string value) : rawValue(std::move(value)) {}

  // A fresh random (version 4) UUID in upper-case canonical form, 36 characters.
  static MessageID generate();

  bool operator==(const MessageID&) const = default;
  auto operator<=>(const MessageID&) const = default;
};

// A random version 4 UUID in upper-case canonical text; also names terminal sessions.
std::string randomUUIDString();

inline std::ostream& operator<<(std::ostream& os, const MessageID& id) { return os << id.rawValue; }

}  // namespace lumora::protocol

template <>
struct std::hash<lumora::protocol::MessageID> {
  std::size_t operator()(const lumora::protocol::MessageID& id) const noexcept {
    return std::hash<std::string>{}(id.rawValue);
  }
};
