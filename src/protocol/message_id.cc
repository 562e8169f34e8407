#include "protocol/message_id.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <cctype>

namespace lumora::protocol {

std::string randomUUIDString() {
  // random_generator draws from the operating system's entropy source; one per thread avoids
  // both locking and reopening it for every id.
  thread_local boost::uuids::random_generator generator;
  std::string text = boost::uuids::to_string(generator());
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

MessageID MessageID::generate() { return MessageID(randomUUIDString()); }

}  // namespace lumora::protocol
