#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "protocol/bytes.h"

namespace lumora::transport {

// The only bytes a client sends on the media port: a 4-byte big-endian length (1 to 1024) and
// that many bytes of UTF-8 ticket.
namespace TicketFrame {

constexpr std::uint32_t kMaxTicketLength = 1024;

struct NeedMore {};
struct Malformed {};
using ParseResult = std::variant<NeedMore, Malformed, std::string>;

// Looks at everything received so far (nothing is consumed); bytes after the frame are ignored.
// A bad length is malformed as soon as its four bytes are in, without waiting for the rest.
ParseResult parse(protocol::ByteView received);

protocol::Bytes encode(const std::string& ticket);

}  // namespace TicketFrame

}  // namespace lumora::transport
