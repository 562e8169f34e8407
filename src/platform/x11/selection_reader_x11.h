#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/x11/x11_connection.h"
#include "protocol/bytes.h"

namespace lumora::platform::x11 {

// Asks the CLIPBOARD selection's owner, whoever it is, for its data in a given target, taking
// large data through INCR. Each wait for the owner is bounded by the step time-out and the
// whole answer by kMaxSelectionBytes, so a frozen or hostile owner can neither hang nor flood
// the agent. Not thread-safe: one caller at a time.
class SelectionReaderX11 {
 public:
  static constexpr std::size_t kMaxSelectionBytes = 64 * 1024 * 1024;

  struct Data {
    std::string type;  // the type the owner answered with
    protocol::Bytes bytes;
  };

  // Throws X11Error when no server answers.
  explicit SelectionReaderX11(const std::string& displayName,
                              std::chrono::milliseconds stepTimeout = std::chrono::seconds(2));

  // The names of the targets the owner offers; empty when there is no owner or no answer.
  std::vector<std::string> targets();
  std::optional<Data> read(const std::string& target);

 private:
  std::optional<Data> convert(xcb_atom_t target);
  // The next event matching `wanted` before the step time-out; others are dropped.
  template <class Wanted>
  xcb_generic_event_t* waitFor(Wanted wanted);
  std::optional<Data> takeProperty();

  X11Connection connection_;
  std::chrono::milliseconds stepTimeout_;
  xcb_window_t window_ = 0;
  xcb_atom_t clipboard_ = 0, property_ = 0, incr_ = 0;
};

}  // namespace lumora::platform::x11
