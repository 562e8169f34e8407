#include "protocol/json_text.h"

#include <boost/json/parser.hpp>
#include <boost/json/serializer.hpp>

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
  // text touches string contents only. File chunks make this the hot path of a transfer (their
  // Base64 holds a slash every 64 characters), so it is one counting pass and one branch-free
  // copying pass: the backslash is written before every character and kept only before a slash.
  std::size_t slashes = 0;
  for (const char c : text) slashes += c == '/' ? 1 : 0;
  Bytes out(text.size() + slashes);
  std::uint8_t* cursor = out.data();
  for (const char c : text) {
    *cursor = '\\';
    cursor += c == '/' ? 1 : 0;
    *cursor++ = static_cast<std::uint8_t>(c);
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
