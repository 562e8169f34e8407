#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace lumora::platform::x11 {

// Frees an XCB reply (every reply is malloc'ed by libxcb).
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// One connection to an X server and its first screen. XCB connections are thread-safe, but each
// user of this class keeps its own so that a slow capture never queues behind input.
class X11Connection {
 public:
  // `displayName` empty means $DISPLAY. Throws X11Error when no server answers.
  explicit X11Connection(const std::string& displayName);
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  xcb_connection_t* get() const { return connection_; }
  xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_->root; }
  // False once the server went away; every later request fails.
  bool healthy() const { return xcb_connection_has_error(connection_) == 0; }
  // Throws X11Error unless `extension` is present on the server.
  void requireExtension(xcb_extension_t* extension, const char* name) const;
  // The first event number of a present extension.
  std::uint8_t firstEvent(xcb_extension_t* extension) const;

  // The atom for `name` (interned on first use, then remembered); XCB_ATOM_NONE on failure.
  xcb_atom_t atom(const std::string& name);
  // The name of `value`; empty when the server does not know it.
  std::string atomName(xcb_atom_t value) const;
  // An unmapped input-only window that reports property changes: what a client needs to take
  // part in selection transfers.
  xcb_window_t createPropertyWindow() const;

 private:
  xcb_connection_t* connection_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  std::mutex atomsLock_;
  std::map<std::string, xcb_atom_t> atoms_;
};

}  // namespace lumora::platform::x11
