#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "protocol/bytes.h"

namespace lumora::platform {

// One file taken from the clipboard: its last path component and its whole content. A file
// larger than a reply can carry (protocol::kMaxBinaryContentBytes) is not read: its data stays
// empty and `tooLargeSize` says how large it is.
struct PasteboardFile {
  std::string name;
  protocol::Bytes data;
  std::uint64_t tooLargeSize = 0;
  bool operator==(const PasteboardFile&) const = default;
};

// The desktop's clipboard. Reads answer nothing when the clipboard holds nothing of the kind
// (or its owner does not answer in time); writes that cannot be carried out leave the clipboard
// as it was. Nothing throws. Not thread-safe: one caller at a time (ClipboardService calls it
// from its strand only); calls may block for a bounded time while another application answers.
class PasteboardAccess {
 public:
  virtual ~PasteboardAccess() = default;

  virtual std::optional<std::string> readText() = 0;
  // Replaces the clipboard with one text.
  virtual void writeText(const std::string& text) = 0;
  // The clipboard's image, PNG-encoded whatever format its owner offered.
  virtual std::optional<protocol::Bytes> readImagePNG() = 0;
  // Replaces the clipboard with the image the bytes decode to (any decodable format); bytes
  // that are no image change nothing.
  virtual void writeImagePNG(const protocol::Bytes& encoded) = 0;
  // The first local file on the clipboard, read whole.
  virtual std::optional<PasteboardFile> readFile() = 0;
  // Replaces the clipboard with one file that already exists on disk (staged by the caller), so
  // other applications paste it by reference.
  virtual void writeFile(const std::filesystem::path& stagedFile) = 0;
  virtual void clear() = 0;
};

}  // namespace lumora::platform
