#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

namespace lumora::platform {

// One frame of 32-bit BGRA pixels (blue first in memory), rows `stride` bytes apart. Copies share
// the same bytes, so a frame crosses threads without a copy; whoever produced the frame knows
// it is free again once it holds the last reference. Frames are opaque: on capture paths that
// hand out the server's image untouched the fourth byte may be padding rather than 255.
//
// A PixelBuffer is a value: each copy may be used from its own thread; writing through
// mutableData() is for the producer before it hands the frame on.
class PixelBuffer {
 public:
  // Refuses sizes no display has, so a hostile size never turns into a huge allocation.
  static constexpr int kMaxSide = 16384;

  // An empty 0 × 0 frame without bytes (awaitable results must be default-constructible).
  PixelBuffer() = default;
  PixelBuffer(int width, int height, std::size_t stride, std::shared_ptr<std::uint8_t> bytes)
      : width_(width), height_(height), stride_(stride), bytes_(std::move(bytes)) {}

  // A zeroed frame with tightly packed rows; none for empty or oversized dimensions.
  static std::optional<PixelBuffer> allocate(int width, int height) {
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) return std::nullopt;
    const std::size_t stride = static_cast<std::size_t>(width) * 4;
    std::shared_ptr<std::uint8_t[]> storage(new std::uint8_t[stride * height]());
    std::shared_ptr<std::uint8_t> bytes(storage, storage.get());
    return PixelBuffer(width, height, stride, std::move(bytes));
  }

  int width() const { return width_; }
  int height() const { return height_; }
  std::size_t stride() const { return stride_; }
  std::size_t byteCount() const { return stride_ * static_cast<std::size_t>(height_); }

  const std::uint8_t* data() const { return bytes_.get(); }
  std::uint8_t* mutableData() const { return bytes_.get(); }
  const std::uint8_t* row(int y) const {
    return bytes_.get() + stride_ * static_cast<std::size_t>(y);
  }

  // How many frames share these bytes (the producer's pool reuses storage at 1).
  long shareCount() const { return bytes_.use_count(); }

 private:
  int width_ = 0;
  int height_ = 0;
  std::size_t stride_ = 0;
  std::shared_ptr<std::uint8_t> bytes_;
};

}  // namespace lumora::platform
