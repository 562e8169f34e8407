#include "protocol/json_text.h"

#include <boost/json/parser.hpp>

#include <memory>
#include <string>

#include "protocol/json_writer.h"
#include "protocol/slash_escaping.h"

namespace lumora::protocol::json_text {
namespace {

// Per-thread scratch kept between calls; sized for the largest file chunk a peer sends by
// default (1 MiB, which Base64 makes 1.4 MB of text), so that reading one allocates nothing,
// and never grown further, so an occasional huge message does not pin its memory to a thread.
constexpr std::size_t kScratchBytes = 2 << 20;

unsigned char* arenaBlock() {
  thread_local std::unique_ptr<unsigned char[]> block(new unsigned char[kScratchBytes]);
  return block.get();
}

// A per-thread string for intermediate text, overwritten by each use; like the arena block,
// it does not keep more than kScratchBytes between calls.
std::string& textScratch() {
  thread_local std::string text;
  if (text.size() > kScratchBytes) {
    text.clear();
    text.shrink_to_fit();
  }
  return text;
}

}  // namespace

ScratchArena::ScratchArena() : resource_(arenaBlock(), kScratchBytes) {}

Bytes serialize(const boost::json::value& value) { return writeCompactJson(value); }

DecodeResult<boost::json::value> parse(std::string_view text, boost::json::storage_ptr storage) {
  boost::json::parse_options options;
  options.max_depth = 32;  // nothing we accept nests deeper than four levels
  unsigned char scratch[4096];
  boost::json::parser parser(boost::json::storage_ptr(), options, scratch, sizeof scratch);
  parser.reset(std::move(storage));
  boost::system::error_code ec;
  const std::string_view unescaped = unescapeSlashes(text, textScratch());
  parser.write(unescaped.data(), unescaped.size(), ec);
  if (ec) return DecodeError{"invalid JSON: " + ec.message()};
  return parser.release();
}

}  // namespace lumora::protocol::json_text
