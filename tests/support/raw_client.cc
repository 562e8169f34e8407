#include "support/raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "protocol/auth_crypto.h"
#include "protocol/frame_codec.h"

namespace lumora::testing_support {

using Clock = std::chrono::steady_clock;
using protocol::Envelope;
using protocol::MessageType;

namespace {

std::chrono::milliseconds left(Clock::time_point deadline) {
  return std::max(std::chrono::milliseconds(0),
                  std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
}

void connectTo(int fd, std::uint16_t port, const char* from) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  const auto* at = reinterpret_cast<const sockaddr*>(&address);
  if (from != nullptr) {
    ::inet_pton(AF_INET, from, &address.sin_addr);
    if (::bind(fd, at, sizeof address) != 0) {
      throw std::system_error(errno, std::generic_category(), "bind");
    }
  }
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, at, sizeof address) != 0) {
    throw std::system_error(errno, std::generic_category(), "connect");
  }
}

}  // namespace

std::string describe(const Envelope& reply) {
  const auto* error = reply.payload.get<MessageType::error>();
  return error ? error->code + ": " + error->message
               : std::string(protocol::rawValue(reply.payload.messageType()));
}

RawClient::RawClient(std::uint16_t port, int receiveBuffer, const char* from)
    : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  if (receiveBuffer > 0) {
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  connectTo(fd_.get(), port, from);
}

void RawClient::sendRaw(protocol::ByteView bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "send");
    bytes = bytes.subspan(static_cast<std::size_t>(std::max<ssize_t>(sent, 0)));
  }
}

bool RawClient::trySend(protocol::ByteView bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0 && errno != EINTR) return errno == EAGAIN || errno == EWOULDBLOCK;
    bytes = bytes.subspan(static_cast<std::size_t>(std::max<ssize_t>(sent, 0)));
  }
  return true;
}

std::optional<std::size_t> RawClient::receiveSome(std::uint8_t* data, std::size_t size,
                                                  std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    pollfd ready{fd_.get(), POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(left(deadline).count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return 0;
    const ssize_t got = ::recv(fd_.get(), data, size, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return std::nullopt;
    return static_cast<std::size_t>(got);
  }
}

bool RawClient::readInto(std::uint8_t* data, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const auto got = receiveSome(data + done, size - done, readLimit_);
    if (!got) return false;
    if (*got == 0) throw std::runtime_error("nothing from the peer in time");
    done += *got;
  }
  return true;
}

protocol::Bytes RawClient::readExactly(std::size_t count) {
  protocol::Bytes bytes(count);
  if (!readInto(bytes.data(), count)) throw std::runtime_error("the peer closed the connection");
  return bytes;
}

bool RawClient::closedWithin(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::uint8_t discard[4096];
  while (Clock::now() < deadline) {
    if (!receiveSome(discard, sizeof discard, left(deadline))) return true;
  }
  return false;
}

void RawClient::close() { ::shutdown(fd_.get(), SHUT_RDWR); }

void RawClient::send(const Envelope& envelope) {
  sendRaw(protocol::FrameCodec::encode(envelope.encode()));
}

protocol::Bytes RawClient::receiveFrame() {
  return readExactly(protocol::FrameCodec::readLength(readExactly(4).data()));
}

std::optional<Envelope> RawClient::receive() {
  std::uint8_t prefix[4];
  if (!readInto(prefix, sizeof prefix)) return std::nullopt;
  protocol::Bytes body(protocol::FrameCodec::readLength(prefix));
  if (!readInto(body.data(), body.size())) return std::nullopt;
  auto decoded = Envelope::decode(body);
  if (!decoded) throw std::runtime_error("undecodable envelope: " + decoded.error().description);
  if (const auto* piece = decoded->payload.get<MessageType::terminalOutput>()) {
    output_[piece->sessionId].append(piece->data.begin(), piece->data.end());
  } else if (const auto* exit = decoded->payload.get<MessageType::terminalExit>()) {
    exited_.insert(exit->sessionId);
  }
  return *decoded;
}

Envelope RawClient::next() {
  auto envelope = receive();
  if (!envelope) throw std::runtime_error("the peer closed the connection");
  return *envelope;
}

Envelope RawClient::ask(protocol::Payload payload) {
  const Envelope request = Envelope::request(std::move(payload));
  send(request);
  for (;;) {
    Envelope reply = next();
    if (reply.correlationID == request.id) return reply;
    if (reply.correlationID) throw std::runtime_error("a reply to another request");
  }
}

void RawClient::authenticate(const protocol::PairingSecret& secret) {
  const Envelope challenge = ask(protocol::AuthBegin{"raw"});
  const auto* nonce = challenge.payload.get<MessageType::authChallenge>();
  if (!nonce) throw std::runtime_error("no challenge");
  const auto mac = protocol::AuthCrypto::mac(secret.data, nonce->nonce);
  if (ask(protocol::AuthComplete{mac}).payload.messageType() != MessageType::ack) {
    throw std::runtime_error("pairing rejected");
  }
}

std::string RawClient::openTerminal(const std::string& shell) {
  const Envelope reply = ask(protocol::TerminalOpenRequest{shell, 80, 24});
  const auto* opened = reply.payload.get<MessageType::terminalOpened>();
  if (!opened) throw std::runtime_error("terminal.open was refused");
  return opened->sessionId;
}

void RawClient::type(const std::string& sessionId, const std::string& text) {
  send(Envelope::request(protocol::TerminalInput{sessionId, protocol::bytesOf(text)}));
}

std::string RawClient::readUntil(const std::string& sessionId, const std::string& needle) {
  const auto deadline = Clock::now() + readLimit_;
  while (output_[sessionId].find(needle) == std::string::npos) {
    if (Clock::now() > deadline) {
      throw std::runtime_error("no '" + needle + "' in terminal output:\n" + output_[sessionId]);
    }
    next();
  }
  return output_[sessionId];
}

void RawClient::waitForExit(const std::string& sessionId) {
  while (!exited_.contains(sessionId)) next();
}

void RawClient::sendTicket(const std::string& ticket) {
  sendRaw(protocol::FrameCodec::encode(protocol::asBytes(ticket)));
}

std::optional<protocol::MediaFrame> RawClient::nextFrame(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::vector<std::uint8_t> chunk(64 << 10);
  while (frames_.empty() && !mediaBroken() && Clock::now() < deadline) {
    const auto got = receiveSome(chunk.data(), chunk.size(), left(deadline));
    ended_ = !got;
    for (auto& frame : media_.push(protocol::ByteView(chunk.data(), got.value_or(0)))) {
      frames_.push_back(std::move(frame));
    }
  }
  if (frames_.empty()) return std::nullopt;
  protocol::MediaFrame frame = std::move(frames_.front());
  frames_.erase(frames_.begin());
  return frame;
}

std::vector<protocol::ScreenFrameMeta> RawClient::readFramesFor(
    std::chrono::milliseconds duration) {
  std::vector<protocol::ScreenFrameMeta> metas;
  const auto deadline = Clock::now() + duration;
  while (Clock::now() < deadline && !mediaBroken()) {
    if (auto frame = nextFrame(left(deadline))) metas.push_back(frame->meta);
  }
  return metas;
}

}  // namespace lumora::testing_support
