#include "transport/ticket_frame.h"

#include "core/utf8.h"

namespace lumora::transport::TicketFrame {

ParseResult parse(protocol::ByteView received) {
  if (received.size() < 4) return NeedMore{};
  const std::uint32_t length = (std::uint32_t{received[0]} << 24) |
                               (std::uint32_t{received[1]} << 16) |
                               (std::uint32_t{received[2]} << 8) | std::uint32_t{received[3]};
  if (length == 0 || length > kMaxTicketLength) return Malformed{};
  if (received.size() < 4 + std::size_t{length}) return NeedMore{};
  std::string ticket(reinterpret_cast<const char*>(received.data() + 4), length);
  if (!core::isValidUTF8(ticket)) return Malformed{};
  return ticket;
}

protocol::Bytes encode(const std::string& ticket) {
  const auto length = static_cast<std::uint32_t>(ticket.size());
  protocol::Bytes frame{static_cast<std::uint8_t>(length >> 24),
                        static_cast<std::uint8_t>(length >> 16),
                        static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
  frame.insert(frame.end(), ticket.begin(), ticket.end());
  return frame;
}

}  // namespace lumora::transport::TicketFrame
