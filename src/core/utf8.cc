#include "core/utf8.h"

#include <boost/locale/utf.hpp>

namespace lumora::core {

bool isValidUTF8(std::string_view bytes) {
  using Traits = boost::locale::utf::utf_traits<char>;
  const char* cursor = bytes.data();
  const char* end = cursor + bytes.size();
  while (cursor != end) {
    boost::locale::utf::code_point c = Traits::decode(cursor, end);
    if (c == boost::locale::utf::illegal || c == boost::locale::utf::incomplete) return false;
  }
  return true;
}

}  // namespace lumora::core
