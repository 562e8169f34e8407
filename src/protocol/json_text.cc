#include "protocol/json_text.h"

#include <boost/json/parser.hpp>
#include <boost/json/serializer.hpp>

#include <cstring>

namespace lumora::protocol::json_text {
namespace {

// Appends `text` to `out`, turning each "/" into "\/". JSON's structure never contains a
// slash outside a string, so this touches string contents only.
void appendEscapingSlashes(std::string_view text, Bytes& out) {
  const char* cursor = text.data();
  const char* end = cursor + text.size();
  while (cursor < end) {
    const void* slash = std::memchr(cursor, '/', static_cast<std::size_t>(end - cursor));
    const char* stop = slash ? static_cast<const char*>(slash) : end;
    out.insert(out.end(), cursor, stop);
    if (!slash) break;
    out.push_back('\\');
    out.push_back('/');
    cursor = stop + 1;
  }
}

}  // namespace

Bytes serialize(const boost::json::value& value) {
  boost::json::serializer serializer;
  serializer.reset(&value);
  Bytes out;
  char buffer[16384];
  while (!serializer.done()) {
    appendEscapingSlashes(serializer.read(buffer, sizeof buffer), out);
  }
  return out;
}

DecodeResult<boost::json::value> parse(std::string_view text, boost::json::storage_ptr storage) {
  boost::json::parse_options options;
  options.max_depth = 32;  // nothing we accept nests deeper than four levels
  unsigned char scratch[4096];
  boost::json::parser parser(boost::json::storage_ptr(), options, scratch, sizeof scratch);
  parser.reset(std::move(storage));
  boost::system::error_code ec;
  parser.write(text.data(), text.size(), ec);
  if (ec) return DecodeError{"invalid JSON: " + ec.message()};
  return parser.release();
}

}  // namespace lumora::protocol::json_text
