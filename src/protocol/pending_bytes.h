#pragma once

#include <cstddef>

#include "protocol/bytes.h"

namespace lumora::protocol {

// The not-yet-consumed tail of a byte stream that arrives in pieces, as the stream decoders
// keep it. feed() hands the pending bytes followed by the new chunk to a parser, which returns
// how many bytes it consumed from the front; the rest stays pending. When nothing is pending
// the parser reads the chunk in place and only its unconsumed tail is copied.
class PendingBytes {
 public:
  template <class Parse>
  void feed(ByteView chunk, Parse&& parse) {
    if (bytes_.empty()) {
      std::size_t consumed = parse(chunk);
      bytes_.assign(chunk.begin() + static_cast<std::ptrdiff_t>(consumed), chunk.end());
    } else {
      bytes_.insert(bytes_.end(), chunk.begin(), chunk.end());
      std::size_t consumed = parse(ByteView(bytes_));
      bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(consumed));
    }
  }

  // Drops everything and gives the memory back.
  void discard() { Bytes().swap(bytes_); }

  std::size_t size() const { return bytes_.size(); }

 private:
  Bytes bytes_;
};

}  // namespace lumora::protocol
