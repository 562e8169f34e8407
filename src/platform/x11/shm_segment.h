#pragma once

#include "platform/x11/x11_connection.h"

#include <xcb/shm.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace lumora::platform::x11 {

// A System V shared memory segment (owner-only, 0600) attached to the X server, so GetImage
// writes pixels straight into our memory. The segment is marked for removal as soon as both
// sides are attached, so a crash never leaks it.
class ShmSegment {
 public:
  // Throws X11Error when the segment cannot be made or the server cannot attach it.
  ShmSegment(std::shared_ptr<X11Connection> connection, std::size_t size);
  ~ShmSegment();
  ShmSegment(const ShmSegment&) = delete;
  ShmSegment& operator=(const ShmSegment&) = delete;

  xcb_shm_seg_t id() const { return segment_; }
  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  std::shared_ptr<X11Connection> connection_;  // outlives the segment, also in a late frame
  std::size_t size_;
  std::uint8_t* data_ = nullptr;
  xcb_shm_seg_t segment_ = 0;
};

}  // namespace lumora::platform::x11
