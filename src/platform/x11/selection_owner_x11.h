#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/x11/x11_connection.h"
#include "protocol/bytes.h"

namespace lumora::platform::x11 {

// Owns the CLIPBOARD selection for the agent and answers other applications' requests for it:
// TARGETS, each offered target, and INCR for data larger than one X request. Serving happens
// on a thread of its own with its own connection and window, so a paste elsewhere never waits
// for the agent's strands; it goes on until another application takes the selection or the
// object is destroyed. own() and disown() may be called from any thread.
class SelectionOwnerX11 {
 public:
  // Target name → bytes served for it (type UTF8_STRING for "TEXT", the target itself else).
  using Offer = std::vector<std::pair<std::string, protocol::Bytes>>;

  // Throws X11Error when no server answers.
  explicit SelectionOwnerX11(const std::string& displayName);
  ~SelectionOwnerX11();
  SelectionOwnerX11(const SelectionOwnerX11&) = delete;
  SelectionOwnerX11& operator=(const SelectionOwnerX11&) = delete;

  // Takes the selection and serves `offer`; false when the server did not make us the owner.
  bool own(Offer offer);
  // Gives the selection up if we hold it.
  void disown();

 private:
  struct Command {
    std::optional<Offer> offer;  // nothing: disown
  };
  struct Transfer {  // one INCR transfer in progress
    xcb_window_t requestor;
    xcb_atom_t property;
    xcb_atom_t type;
    protocol::Bytes data;
    std::size_t offset = 0;
    std::chrono::steady_clock::time_point lastActivity;
  };

  bool submit(Command command);
  void serve();
  void wake();
  void runCommand(Command command);
  void answer(const xcb_selection_request_event_t& request);
  void continueTransfer(const xcb_property_notify_event_t& notify);

  X11Connection connection_;
  xcb_window_t window_ = 0;
  xcb_atom_t clipboard_ = 0, targets_ = 0, incr_ = 0, text_ = 0, utf8_ = 0, multiple_ = 0,
             timestamp_ = 0;
  std::size_t incrThreshold_ = 0;
  int wakePipe_[2] = {-1, -1};

  std::mutex mutex_;  // guards the fields below it
  std::condition_variable done_;
  std::vector<Command> commands_;
  std::uint64_t submitted_ = 0;
  std::uint64_t completed_ = 0;
  bool lastResult_ = false;
  bool stopping_ = false;

  // Serving thread only.
  std::map<xcb_atom_t, std::pair<xcb_atom_t, protocol::Bytes>> served_;
  std::vector<Transfer> transfers_;

  std::thread thread_;
};

}  // namespace lumora::platform::x11
