#include "platform/x11/shm_segment.h"

#include "platform/x11/x11_error.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdlib>
#include <utility>

namespace lumora::platform::x11 {

ShmSegment::ShmSegment(std::shared_ptr<X11Connection> connection, std::size_t size)
    : connection_(std::move(connection)), size_(size) {
  const int shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (shmid < 0) throw X11Error("cannot create a shared memory segment");
  void* address = shmat(shmid, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    shmctl(shmid, IPC_RMID, nullptr);
    throw X11Error("cannot map the shared memory segment");
  }
  data_ = static_cast<std::uint8_t*>(address);
  segment_ = xcb_generate_id(connection_->get());
  xcb_generic_error_t* error = xcb_request_check(
      connection_->get(),
      xcb_shm_attach_checked(connection_->get(), segment_, static_cast<std::uint32_t>(shmid), 0));
  shmctl(shmid, IPC_RMID, nullptr);
  if (error != nullptr) {
    std::free(error);
    shmdt(data_);
    throw X11Error("the X server cannot attach shared memory");
  }
}

ShmSegment::~ShmSegment() {
  xcb_shm_detach(connection_->get(), segment_);
  xcb_flush(connection_->get());
  shmdt(data_);
}

}  // namespace lumora::platform::x11
