#include "platform/wayland/stream_picture.h"

#include "platform/linux/cursor_overlay.h"

#include <linux/dma-buf.h>
#include <pipewire/stream.h>
#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace lumora::platform::wayland {
namespace {

// Brackets CPU reads of a DMA-BUF, so that caches agree with what the GPU wrote.
class DmaBufRead {
 public:
  explicit DmaBufRead(int fd) : fd_(fd) { sync(DMA_BUF_SYNC_START); }
  ~DmaBufRead() { sync(DMA_BUF_SYNC_END); }
  DmaBufRead(const DmaBufRead&) = delete;
  DmaBufRead& operator=(const DmaBufRead&) = delete;

 private:
  void sync(std::uint64_t phase) {
    if (fd_ < 0) return;
    dma_buf_sync request{phase | DMA_BUF_SYNC_READ};
    while (ioctl(fd_, DMA_BUF_IOCTL_SYNC, &request) == -1 && errno == EINTR) {
    }
  }
  int fd_;
};

}  // namespace

// A later format replaces scaler and picture; frames the consumer holds keep their bytes.
bool StreamPicture::configure(const StreamFormat& format, FrameSize size) {
  media::ScalePtr scaler(sws_getContext(format.width, format.height, format.pixelFormat, size.width,
                                        size.height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr,
                                        nullptr, nullptr));
  if (scaler == nullptr) return false;
  auto picture = PixelBuffer::allocate(size.width, size.height);
  if (!picture) return false;
  scaler_ = std::move(scaler);
  // Blue-first pixels at the frame's own size need no conversion, only a copy: the fourth byte
  // may stay padding.
  directCopy_ = (format.pixelFormat == AV_PIX_FMT_BGR0 || format.pixelFormat == AV_PIX_FMT_BGRA) &&
                size.width == format.width && size.height == format.height;
  picture_ = std::move(*picture);
  valid_ = false;
  streamWidth_ = format.width;
  streamHeight_ = format.height;
  size_ = size;
  return true;
}

std::optional<PlaneLayout> StreamPicture::plane(const pw_buffer& buffer) const {
  const spa_buffer* spa = buffer.buffer;
  if (spa == nullptr || spa->n_datas < 1) return std::nullopt;
  const auto* header = static_cast<const spa_meta_header*>(
      spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)));
  if (header != nullptr && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0) {
    return std::nullopt;
  }
  const spa_data& data = spa->datas[0];
  if (data.data == nullptr || data.chunk == nullptr) return std::nullopt;
  if (data.type != SPA_DATA_MemFd && data.type != SPA_DATA_MemPtr && data.type != SPA_DATA_DmaBuf) {
    return std::nullopt;
  }
  return readablePlane(data.maxsize, data.chunk->offset, data.chunk->size, data.chunk->stride,
                       data.chunk->flags, streamWidth_, streamHeight_);
}

bool StreamPicture::readable(const pw_buffer& buffer) const { return plane(buffer).has_value(); }

bool StreamPicture::read(const pw_buffer& buffer) {
  const auto layout = plane(buffer);  // the format may have changed since the buffer was kept
  if (!layout) return false;
  const spa_data& data = buffer.buffer->datas[0];
  DmaBufRead fence(data.type == SPA_DATA_DmaBuf ? static_cast<int>(data.fd) : -1);
  const auto* pixels = static_cast<const std::uint8_t*>(data.data) + layout->offset;
  if (directCopy_) return copyIfChanged(pixels, static_cast<std::size_t>(layout->stride));
  const std::uint8_t* source[] = {pixels};
  const int sourceStride[] = {layout->stride};
  std::uint8_t* destination[] = {picture_.mutableData()};
  const int destinationStride[] = {static_cast<int>(picture_.stride())};
  sws_scale(scaler_.get(), source, sourceStride, 0, streamHeight_, destination, destinationStride);
  valid_ = true;
  return true;
}

// Copies the rows from the first one that differs; false when none does.
bool StreamPicture::copyIfChanged(const std::uint8_t* pixels, std::size_t stride) {
  const std::size_t rowBytes = static_cast<std::size_t>(streamWidth_) * 4;
  int row = 0;
  if (valid_) {
    while (row < streamHeight_ &&
           std::memcmp(pixels + stride * row, picture_.row(row), rowBytes) == 0) {
      ++row;
    }
    if (row == streamHeight_) return false;
  }
  for (; row < streamHeight_; ++row) {
    std::memcpy(picture_.mutableData() + picture_.stride() * row, pixels + stride * row, rowBytes);
  }
  valid_ = true;
  return true;
}

bool StreamPicture::readCursor(const pw_buffer& buffer) {
  if (!cursorMetadata_ || buffer.buffer == nullptr) return false;
  const spa_meta* meta = spa_buffer_find_meta(buffer.buffer, SPA_META_Cursor);
  if (meta == nullptr) return false;
  return applyCursorMeta(meta->data, meta->size, cursor_);
}

void StreamPicture::drawInto(PixelBuffer& frame) const {
  std::memcpy(frame.mutableData(), picture_.data(), picture_.byteCount());
  if (!cursorMetadata_ || !cursor_.visible) return;
  // The bitmap is drawn at its own size; only its position follows the scaling.
  const int x =
      static_cast<int>(static_cast<long long>(cursor_.x) * size_.width / std::max(streamWidth_, 1));
  const int y = static_cast<int>(static_cast<long long>(cursor_.y) * size_.height /
                                 std::max(streamHeight_, 1));
  linux_os::drawCursor(frame.mutableData(), frame.stride(), frame.width(), frame.height(),
                       {cursor_.width, cursor_.height, cursor_.hotX, cursor_.hotY, cursor_.pixels},
                       x, y);
}

}  // namespace lumora::platform::wayland
