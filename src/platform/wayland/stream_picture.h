#pragma once

// Used by the PipeWire frame source only; not part of this folder's interface.

#include "media/ffmpeg_handles.h"
#include "platform/fitted_size.h"
#include "platform/pixel_buffer.h"
#include "platform/wayland/pipewire_format.h"

#include <optional>

struct pw_buffer;

namespace lumora::platform::wayland {

// The latest picture of a screen-cast stream at frame size, read out of the stream's buffers:
// shared memory (MemFd, MemPtr) and mappable DMA-BUFs at their chunk's offset and stride, the
// pointer from the cursor metadata beside them. libswscale converts and scales; blue-first
// pixels at their own size are only copied, from the first row that changed.
class StreamPicture {
 public:
  explicit StreamPicture(bool cursorMetadata) : cursorMetadata_(cursorMetadata) {}

  // Reads pictures of `format` into frames of `size` from now on; false (and nothing changed)
  // when the scaler or the picture cannot be had. The picture is empty until the next read().
  bool configure(const StreamFormat& format, FrameSize size);
  bool configured() const { return streamWidth_ > 0; }

  // Whether the buffer's pixels can be read safely (corrupted or empty chunks, unknown memory
  // and rows reaching past the mapping cannot).
  bool readable(const pw_buffer& buffer) const;
  // Brings the buffer's picture in; false when it is unreadable or what it was.
  bool read(const pw_buffer& buffer);
  // Takes the buffer's cursor metadata (with cursor metadata asked for); true when the pointer's
  // picture changed.
  bool readCursor(const pw_buffer& buffer);

  // Whether a picture was read since the last configure().
  bool valid() const { return valid_; }
  // `frame` (of the configured size) becomes the picture with the pointer drawn in.
  void drawInto(PixelBuffer& frame) const;

 private:
  std::optional<PlaneLayout> plane(const pw_buffer& buffer) const;
  bool copyIfChanged(const std::uint8_t* pixels, std::size_t stride);

  const bool cursorMetadata_;
  int streamWidth_ = 0;
  int streamHeight_ = 0;
  FrameSize size_{0, 0};
  media::ScalePtr scaler_;
  bool directCopy_ = false;
  PixelBuffer picture_;  // without the pointer
  bool valid_ = false;
  StreamCursor cursor_;
};

}  // namespace lumora::platform::wayland
