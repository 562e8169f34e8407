// A screen-cast producer's numbers for one buffer: the chunk that says where the pixels lie
// (the first 24 bytes: mapping size, offset, size, stride, flags, picture width and height,
// small sides) and the cursor metadata after it. An accepted plane lies wholly inside the chunk
// and the mapping; a cursor that is shown has exactly its side squared pixels, within bounds.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "platform/wayland/pipewire_format.h"

namespace {

template <class T>
T take(const std::uint8_t*& data, std::size_t& size) {
  T value{};
  const std::size_t n = size < sizeof(T) ? size : sizeof(T);
  std::memcpy(&value, data, n);
  data += n;
  size -= n;
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumora::platform::wayland;
  const std::size_t mapped = take<std::uint32_t>(data, size);
  const std::uint32_t offset = take<std::uint32_t>(data, size);
  const std::uint32_t chunkSize = take<std::uint32_t>(data, size);
  const std::int32_t stride = take<std::int32_t>(data, size);
  const std::int32_t flags = take<std::int32_t>(data, size);
  const int width = take<std::uint16_t>(data, size) % 4097;
  const int height = take<std::uint16_t>(data, size) % 4097;
  if (auto plane = readablePlane(mapped, offset, chunkSize, stride, flags, width, height)) {
    FUZZ_CHECK(width > 0 && height > 0);
    const std::size_t row = static_cast<std::size_t>(width) * 4;
    FUZZ_CHECK(plane->stride >= 0 && static_cast<std::size_t>(plane->stride) >= row);
    const std::size_t end =
        plane->offset + static_cast<std::size_t>(plane->stride) * (height - 1) + row;
    FUZZ_CHECK(end <= mapped);
    FUZZ_CHECK(plane->offset >= offset && end <= static_cast<std::size_t>(offset) + chunkSize);
  }

  StreamCursor cursor;
  applyCursorMeta(data, size, cursor);
  if (cursor.visible) {
    FUZZ_CHECK(cursor.width > 0 && cursor.width <= kMaxCursorSide);
    FUZZ_CHECK(cursor.height > 0 && cursor.height <= kMaxCursorSide);
    FUZZ_CHECK(cursor.pixels.size() == static_cast<std::size_t>(cursor.width) * cursor.height);
  }
  return 0;
}
