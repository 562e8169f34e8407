#include "platform/wayland/pipewire_format.h"

#include "platform/pixel_buffer.h"

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/raw.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace lumora::platform::wayland {
namespace {

struct FormatPair {
  std::uint32_t spa;
  AVPixelFormat av;
};

// Names follow the byte order in memory on both sides (SPA's BGRx is FFmpeg's BGR0).
constexpr std::array<FormatPair, 8> kFormats{{
    {SPA_VIDEO_FORMAT_BGRx, AV_PIX_FMT_BGR0},
    {SPA_VIDEO_FORMAT_BGRA, AV_PIX_FMT_BGRA},
    {SPA_VIDEO_FORMAT_RGBx, AV_PIX_FMT_RGB0},
    {SPA_VIDEO_FORMAT_RGBA, AV_PIX_FMT_RGBA},
    {SPA_VIDEO_FORMAT_xRGB, AV_PIX_FMT_0RGB},
    {SPA_VIDEO_FORMAT_xBGR, AV_PIX_FMT_0BGR},
    {SPA_VIDEO_FORMAT_ARGB, AV_PIX_FMT_ARGB},
    {SPA_VIDEO_FORMAT_ABGR, AV_PIX_FMT_ABGR},
}};

constexpr std::array<std::uint32_t, kFormats.size()> kOffered = [] {
  std::array<std::uint32_t, kFormats.size()> ids{};
  for (std::size_t i = 0; i < kFormats.size(); ++i) ids[i] = kFormats[i].spa;
  return ids;
}();

// Cursor metadata with a side × side bitmap behind its headers.
constexpr int cursorMetaSize(int side) {
  return static_cast<int>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) +
                          static_cast<std::size_t>(side) * static_cast<std::size_t>(side) * 4);
}

// Byte positions of red, green, blue and alpha (-1: padding, opaque) in a 32-bit cursor pixel.
struct ChannelOrder {
  int r, g, b, a;
};

std::optional<ChannelOrder> cursorChannels(std::uint32_t format) {
  switch (format) {
    case SPA_VIDEO_FORMAT_RGBA:
      return ChannelOrder{0, 1, 2, 3};
    case SPA_VIDEO_FORMAT_BGRA:
      return ChannelOrder{2, 1, 0, 3};
    case SPA_VIDEO_FORMAT_ARGB:
      return ChannelOrder{1, 2, 3, 0};
    case SPA_VIDEO_FORMAT_ABGR:
      return ChannelOrder{3, 2, 1, 0};
    case SPA_VIDEO_FORMAT_RGBx:
      return ChannelOrder{0, 1, 2, -1};
    case SPA_VIDEO_FORMAT_BGRx:
      return ChannelOrder{2, 1, 0, -1};
    default:
      return std::nullopt;
  }
}

// The bitmap's pixels premultiplied, or none when it does not fit inside the metadata.
std::optional<std::vector<std::uint32_t>> readBitmap(const std::uint8_t* start,
                                                     std::size_t available,
                                                     const spa_meta_bitmap& bitmap,
                                                     const ChannelOrder& order) {
  const auto width = static_cast<std::size_t>(bitmap.size.width);
  const auto height = static_cast<std::size_t>(bitmap.size.height);
  if (bitmap.stride <= 0 || static_cast<std::size_t>(bitmap.stride) < width * 4) {
    return std::nullopt;
  }
  const auto stride = static_cast<std::size_t>(bitmap.stride);
  if (bitmap.offset > available || (available - bitmap.offset) / stride < height - 1 ||
      available - bitmap.offset - (height - 1) * stride < width * 4) {
    return std::nullopt;
  }
  std::vector<std::uint32_t> pixels(width * height);
  for (std::size_t y = 0; y < height; ++y) {
    const std::uint8_t* row = start + bitmap.offset + y * stride;
    for (std::size_t x = 0; x < width; ++x) {
      const std::uint8_t* p = row + x * 4;
      const std::uint32_t alpha = order.a < 0 ? 255 : p[order.a];
      auto premultiplied = [&](int channel) { return (p[channel] * alpha + 127) / 255; };
      pixels[y * width + x] = (alpha << 24) | (premultiplied(order.r) << 16) |
                              (premultiplied(order.g) << 8) | premultiplied(order.b);
    }
  }
  return pixels;
}

}  // namespace

std::span<const std::uint32_t> offeredVideoFormats() { return kOffered; }

std::optional<AVPixelFormat> ffmpegPixelFormat(std::uint32_t spaVideoFormat) {
  for (const FormatPair& pair : kFormats) {
    if (pair.spa == spaVideoFormat) return pair.av;
  }
  return std::nullopt;
}

const spa_pod* offeredFormat(spa_pod_builder& builder, int fps) {
  spa_pod_frame object;
  spa_pod_frame choice;
  spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_add(&builder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), 0);
  spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
  spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Enum, 0);
  spa_pod_builder_id(&builder, kOffered.front());  // the default
  for (std::uint32_t format : kOffered) spa_pod_builder_id(&builder, format);
  spa_pod_builder_pop(&builder, &choice);
  spa_rectangle defaultSize{1920, 1080};
  spa_rectangle smallest{1, 1};
  spa_rectangle largest{PixelBuffer::kMaxSide, PixelBuffer::kMaxSide};
  spa_fraction defaultRate{static_cast<std::uint32_t>(fps), 1};
  spa_fraction slowest{0, 1};
  spa_fraction fastest{1000, 1};
  spa_pod_builder_add(&builder, SPA_FORMAT_VIDEO_size,
                      SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &smallest, &largest),
                      SPA_FORMAT_VIDEO_framerate,
                      SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &slowest, &fastest), 0);
  return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

std::optional<StreamFormat> agreedFormat(const spa_pod* format) {
  if (format == nullptr) return std::nullopt;
  std::uint32_t mediaType = 0;
  std::uint32_t mediaSubtype = 0;
  spa_video_info_raw info{};
  if (spa_format_parse(format, &mediaType, &mediaSubtype) < 0 ||
      mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
      spa_format_video_raw_parse(format, &info) < 0) {
    return std::nullopt;
  }
  const auto pixelFormat = ffmpegPixelFormat(info.format);
  if (!pixelFormat || info.size.width < 1 || info.size.height < 1 ||
      info.size.width > PixelBuffer::kMaxSide || info.size.height > PixelBuffer::kMaxSide) {
    return std::nullopt;
  }
  return StreamFormat{static_cast<int>(info.size.width), static_cast<int>(info.size.height),
                      *pixelFormat};
}

// SPA's object builder is a GNU statement expression, which clang's -Wpedantic counts against the
// file that expands it.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wgnu-statement-expression"
#endif
std::vector<const spa_pod*> bufferParams(spa_pod_builder& builder, bool cursorMetadata) {
  std::vector<const spa_pod*> params;
  const int dataTypes = (1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_DmaBuf);
  params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(8, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
      SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(dataTypes))));
  params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
      SPA_POD_Int(static_cast<int>(sizeof(spa_meta_header))))));
  // Damaged regions are asked for because some producers send them only when asked; frames are
  // still compared whole, as producers disagree on what an empty list means.
  params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(static_cast<int>(sizeof(spa_meta_region) * 16),
                               static_cast<int>(sizeof(spa_meta_region)),
                               static_cast<int>(sizeof(spa_meta_region) * 16)))));
  if (cursorMetadata) {
    params.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64), cursorMetaSize(1),
                                 cursorMetaSize(kMaxCursorSide)))));
  }
  return params;
}
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

std::optional<PlaneLayout> readablePlane(std::size_t mappedSize, std::uint32_t chunkOffset,
                                         std::uint32_t chunkSize, std::int32_t chunkStride,
                                         std::int32_t chunkFlags, int width, int height) {
  if ((chunkFlags & SPA_CHUNK_FLAG_CORRUPTED) != 0 || chunkSize == 0) return std::nullopt;
  if (width < 1 || height < 1 || chunkStride < 0) return std::nullopt;
  const std::size_t row = static_cast<std::size_t>(width) * 4;
  // Some producers (GStreamer's pipewiresink among them) leave the stride at 0 for rows packed
  // without padding.
  if (chunkStride == 0 && row <= static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    chunkStride = static_cast<std::int32_t>(row);
  }
  const auto stride = static_cast<std::size_t>(chunkStride);
  if (stride < row) return std::nullopt;
  // The last row needs only its pixels, not the padding after them. Both factors are below
  // 2^31, so the sum cannot wrap in 64 bits.
  const std::size_t needed = stride * static_cast<std::size_t>(height - 1) + row;
  if (needed > chunkSize) return std::nullopt;
  if (chunkOffset > mappedSize || mappedSize - chunkOffset < needed) return std::nullopt;
  return PlaneLayout{chunkOffset, chunkStride};
}

bool applyCursorMeta(const void* meta, std::size_t size, StreamCursor& cursor) {
  if (meta == nullptr || size < sizeof(spa_meta_cursor)) return false;
  spa_meta_cursor header;
  std::memcpy(&header, meta, sizeof header);
  if (header.id == 0) return false;

  bool changed = false;
  if (header.bitmap_offset != 0) {
    const auto* start = static_cast<const std::uint8_t*>(meta);
    if (header.bitmap_offset >= sizeof(spa_meta_cursor) && header.bitmap_offset <= size &&
        size - header.bitmap_offset >= sizeof(spa_meta_bitmap)) {
      spa_meta_bitmap bitmap;
      std::memcpy(&bitmap, start + header.bitmap_offset, sizeof bitmap);
      const std::size_t available = size - header.bitmap_offset;
      if (bitmap.offset == 0 || bitmap.size.width == 0 || bitmap.size.height == 0) {
        changed = cursor.visible;
        cursor.visible = false;
        cursor.pixels.clear();
        cursor.width = cursor.height = 0;
      } else if (auto order = cursorChannels(bitmap.format);
                 order && bitmap.offset >= sizeof(spa_meta_bitmap) &&
                 bitmap.size.width <= kMaxCursorSide && bitmap.size.height <= kMaxCursorSide) {
        if (auto pixels = readBitmap(start + header.bitmap_offset, available, bitmap, *order)) {
          cursor.pixels = std::move(*pixels);
          cursor.width = static_cast<int>(bitmap.size.width);
          cursor.height = static_cast<int>(bitmap.size.height);
          cursor.hotX = header.hotspot.x;
          cursor.hotY = header.hotspot.y;
          cursor.visible = true;
          changed = true;
        }
      }
    }
  }
  if (header.position.x != cursor.x || header.position.y != cursor.y) {
    cursor.x = header.position.x;
    cursor.y = header.position.y;
    changed = changed || cursor.visible;
  }
  return changed;
}

}  // namespace lumora::platform::wayland
