#pragma once

#include <string>
#include <utility>
#include <variant>

namespace lumora::protocol {

// Why bytes from a peer could not be decoded, in words fit to send back to it.
struct DecodeError {
  std::string description;
  bool operator==(const DecodeError&) const = default;
};

// The outcome of decoding untrusted bytes: a value or a DecodeError, never an exception.
template <class T>
class DecodeResult {
 public:
  DecodeResult(T value) : state_(std::move(value)) {}            // NOLINT: implicit
  DecodeResult(DecodeError error) : state_(std::move(error)) {}  // NOLINT: implicit

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const DecodeError& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, DecodeError> state_;
};

}  // namespace lumora::protocol
