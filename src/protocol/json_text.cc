#include "protocol/json_text.h"

#include <boost/json/parser.hpp>
#include <boost/json/serializer.hpp>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace lumora::protocol::json_text {
namespace {

// Per-thread scratch kept between calls; sized for a 256 KiB file chunk with room to spare,
// and never grown, so an occasional huge message does not pin its memory to a thread.
constexpr std::size_t kScratchBytes = 1 << 20;

unsigned char* arenaBlock() {
  thread_local std::unique_ptr<unsigned char[]> block(new unsigned char[kScratchBytes]);
  return block.get();
}

std::string& textScratch() {
  thread_local std::string text;
  return text;
}

}  // namespace

ScratchArena::ScratchArena() : resource_(arenaBlock(), kScratchBytes) {}

Bytes serialize(const boost::json::value& value) {
  boost::json::serializer serializer;
  serializer.reset(&value);
  std::string& text = textScratch();
  text.clear();
  if (text.capacity() > kScratchBytes) text.shrink_to_fit();
  char buffer[16384];
  while (!serializer.done()) text.append(serializer.read(buffer, sizeof buffer));

  // JSON's structure never holds a slash outside a string, so escaping every slash in the
  // text touches string contents only.
  const std::size_t slashes = static_cast<std::size_t>(std::count(text.begin(), text.end(), '/'));
  Bytes out;
  out.reserve(text.size() + slashes);
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
