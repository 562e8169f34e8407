#pragma once

#include <boost/describe/class.hpp>
#include <boost/describe/enum.hpp>

#include <optional>
#include <string>

#include "protocol/bytes.h"

namespace lumora::protocol {

struct ClipboardGetRequest {
  bool operator==(const ClipboardGetRequest&) const = default;
};
BOOST_DESCRIBE_STRUCT(ClipboardGetRequest, (), ())

// What the clipboard holds. Build it with the factories, which set exactly the fields of the
// kind; decoding reads every optional field present, whatever the kind.
struct ClipboardContent {
  enum class Kind { text, image, file, empty };
  BOOST_DESCRIBE_NESTED_ENUM(Kind, text, image, file, empty)

  Kind kind = Kind::empty;
  std::optional<std::string> text;
  std::optional<Bytes> imageData;
  std::optional<std::string> fileName;
  std::optional<Bytes> fileData;

  static ClipboardContent makeEmpty() { return {}; }
  static ClipboardContent makeText(std::string value) {
    ClipboardContent content;
    content.kind = Kind::text;
    content.text = std::move(value);
    return content;
  }
  static ClipboardContent makeImage(Bytes data) {
    ClipboardContent content;
    content.kind = Kind::image;
    content.imageData = std::move(data);
    return content;
  }
  static ClipboardContent makeFile(std::string name, Bytes data) {
    ClipboardContent content;
    content.kind = Kind::file;
    content.fileName = std::move(name);
    content.fileData = std::move(data);
    return content;
  }

  bool operator==(const ClipboardContent&) const = default;
};
BOOST_DESCRIBE_STRUCT(ClipboardContent, (), (kind, text, imageData, fileName, fileData))

}  // namespace lumora::protocol
