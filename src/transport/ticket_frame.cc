#include "transport/ticket_frame.h"

#include <algorithm>

#include "protocol/utf8.h"

namespace lumora::transport::TicketFrame {

ParseResult parse(protocol::ByteView received) {
  if (received.size() < 4) return NeedMore{};
  const std::uint32_t length = (std::uint32_t{received[0]} << 24) |
                               (std::uint32_t{received[1]} << 16) |
                               (std::uint32_t{received[2]} << 8) | std::uint32_t{received[3]};
  if (length == 0 || length > kMaxTicketLength) return Malformed{};
  if (received.size() < 4 + std::size_t{length}) return NeedMore{};
  std::string ticket(reinterpret_cast<const char*>(received.data() + 4), length);
  if (!protocol::isValidUTF8(ticket)) return Malformed{};
  return ticket;
}

protocol::Bytes encode(const std::string& ticket) {
  const auto length = static_cast<std::uint32_t>(ticket.size());
  protocol::Bytes frame(4 + ticket.size());
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
  std::copy(ticket.begin(), ticket.end(), frame.begin() + 4);
  return frame;
}

}  // namespace lumora::transport::TicketFrame
