#pragma once

// What the PipeWire frame source negotiates, checks and converts before it trusts a buffer: the
// raw video formats it takes and the format the producer agreed to, the buffers and metadata it
// asks for, where a chunk's pixels lie inside the mapped memory, and the cursor that comes beside
// the pixels. Functions over plain values and SPA objects, so that a producer's hostile numbers
// are tested without a producer.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

struct spa_pod;
struct spa_pod_builder;

namespace lumora::platform::wayland {

// The raw video formats (enum spa_video_format) offered to the producer, preferred first: the
// 32-bit packings libswscale turns into BGRA cheaply.
std::span<const std::uint32_t> offeredVideoFormats();

// FFmpeg's name for one of them; none for anything else.
std::optional<AVPixelFormat> ffmpegPixelFormat(std::uint32_t spaVideoFormat);

// What the stream is connected with (an SPA_PARAM_EnumFormat object, built in `builder`): raw
// video in one of offeredVideoFormats(), any size up to PixelBuffer::kMaxSide, `fps` preferred.
// No modifier is offered: DMA-BUFs then come linear (or as shared memory) and are read through
// their mapping. Tiled or compressed layouts would need a GPU import, which we do not do.
const spa_pod* offeredFormat(spa_pod_builder& builder, int fps);

// The format the producer and we agreed on, as FFmpeg and the frame source need it.
struct StreamFormat {
  int width = 0;
  int height = 0;
  AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
  bool operator==(const StreamFormat&) const = default;
};

// The agreed format an SPA_PARAM_Format object describes, or none when it is not raw video in
// a format we offered, or its sides are 0 or beyond PixelBuffer::kMaxSide.
std::optional<StreamFormat> agreedFormat(const spa_pod* format);

// The buffer and metadata params (built in `builder`) to answer an agreed format with: shared
// memory or DMA-BUF buffers of one block, the header (for its corrupted flag), damaged regions,
// and with `cursorMetadata` the cursor bitmap beside the pixels.
std::vector<const spa_pod*> bufferParams(spa_pod_builder& builder, bool cursorMetadata);

// One plane of width × height 32-bit pixels, found inside a mapping.
struct PlaneLayout {
  std::size_t offset = 0;  // of the first row, from the start of the mapping
  int stride = 0;          // bytes from one row to the next
  bool operator==(const PlaneLayout&) const = default;
};

// Where a chunk's pixels lie in a mapping of `mappedSize` bytes, or none when they cannot be
// read safely: the chunk is flagged corrupted (SPA_CHUNK_FLAG_CORRUPTED) or empty, its stride
// is negative or shorter than a row, or its rows reach past the chunk or the mapping. A stride
// of 0 means rows packed without padding.
// Every sum is checked for overflow, since all four numbers come from the producer.
std::optional<PlaneLayout> readablePlane(std::size_t mappedSize, std::uint32_t chunkOffset,
                                         std::uint32_t chunkSize, std::int32_t chunkStride,
                                         std::int32_t chunkFlags, int width, int height);

// The pointer as the producer last described it, in stream pixels. `pixels` are premultiplied
// 0xAARRGGBB, ready for linux_os::drawCursor.
struct StreamCursor {
  bool visible = false;
  int x = 0;
  int y = 0;
  int hotX = 0;
  int hotY = 0;
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;
};

// Cursor bitmaps larger than this on either side are ignored (the metadata we ask for holds
// 256 × 256 at most).
inline constexpr int kMaxCursorSide = 256;

// Applies one buffer's cursor metadata (a struct spa_meta_cursor of `size` bytes, bitmap
// included) to `cursor`; true when the picture of the pointer changed. A cursor id of 0 brings
// no news; a bitmap at offset 0 hides the pointer; a bitmap whose format is unknown or whose
// pixels would lie outside the metadata keeps the previous one.
bool applyCursorMeta(const void* meta, std::size_t size, StreamCursor& cursor);

}  // namespace lumora::platform::wayland
