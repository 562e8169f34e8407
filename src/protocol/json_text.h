#pragma once

// The JSON text layer shared by envelopes and media frame headers.

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>

#include <string_view>

#include "protocol/bytes.h"
#include "protocol/decode_result.h"

namespace lumora::protocol::json_text {

// Compact JSON text of `value`, with every "/" inside strings written as "\/".
Bytes serialize(const boost::json::value& value);

// Parses untrusted text into a value whose memory comes from `storage`. Nesting depth, UTF-8
// and number syntax are the parser's to check; a failure says what it found.
DecodeResult<boost::json::value> parse(std::string_view text, boost::json::storage_ptr storage);

// Memory for the short-lived values of one encode or decode. It starts in a block that each
// thread keeps for reuse, so that typical messages, file chunks included, cost no fresh
// allocation (large allocations are what make encoding slow: every new page is a fault);
// anything beyond the block comes from the heap and is freed with the arena.
class ScratchArena {
 public:
  ScratchArena();
  ScratchArena(const ScratchArena&) = delete;
  ScratchArena& operator=(const ScratchArena&) = delete;

  boost::json::storage_ptr storage() { return &resource_; }

 private:
  boost::json::monotonic_resource resource_;
};

}  // namespace lumora::protocol::json_text
