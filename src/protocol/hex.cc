#include "protocol/hex.h"

#include <boost/algorithm/hex.hpp>

#include <iterator>

namespace lumora::protocol {

std::string hexString(ByteView data) {
  std::string out;
  out.reserve(data.size() * 2);
  boost::algorithm::hex_lower(data.begin(), data.end(), std::back_inserter(out));
  return out;
}

std::optional<Bytes> bytesFromHex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 2);
  try {
    boost::algorithm::unhex(text.begin(), text.end(), std::back_inserter(out));
  } catch (const boost::algorithm::hex_decode_error&) {
    return std::nullopt;
  }
  return out;
}

}  // namespace lumora::protocol
