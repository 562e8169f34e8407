#include "support/raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "protocol/auth_crypto.h"
#include "protocol/frame_codec.h"

namespace lumora::testing_support {

using Clock = std::chrono::steady_clock;
using protocol::Envelope;
using protocol::MessageType;

namespace {

sockaddr_in loopback(std::uint16_t port, const char* address = "127.0.0.1") {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(port);
  ::inet_pton(AF_INET, address, &result.sin_addr);
  return result;
}

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::chrono::milliseconds left(Clock::time_point deadline) {
  return std::max(std::chrono::milliseconds(0),
                  std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
}

}  // namespace

RawClient::RawClient(std::uint16_t port, int receiveBuffer, const char* from)
    : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  if (fd_ < 0) fail("socket");
  if (receiveBuffer > 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  if (from != nullptr) {
    const sockaddr_in local = loopback(0, from);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      const int error = errno;
      ::close(fd_);
      throw std::system_error(error, std::generic_category(), "bind");
    }
  }
  const sockaddr_in remote = loopback(port);
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
    const int error = errno;
    ::close(fd_);
    throw std::system_error(error, std::generic_category(), "connect");
  }
}

RawClient RawClient::adopt(int fd) {
  RawClient client;
  client.fd_ = fd;
  return client;
}

RawClient::~RawClient() {
  if (fd_ >= 0) ::close(fd_);
}

RawClient::RawClient(RawClient&& other) noexcept { *this = std::move(other); }

RawClient& RawClient::operator=(RawClient&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    readLimit_ = other.readLimit_;
    media_ = std::move(other.media_);
    frames_ = std::move(other.frames_);
    ended_ = other.ended_;
    output_ = std::move(other.output_);
    exited_ = std::move(other.exited_);
  }
  return *this;
}

void RawClient::sendRaw(protocol::ByteView bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) fail("send");
    bytes = bytes.subspan(static_cast<std::size_t>(sent));
  }
}

bool RawClient::trySend(protocol::ByteView bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    bytes = bytes.subspan(static_cast<std::size_t>(sent));
  }
  return true;
}

std::optional<std::size_t> RawClient::receiveSome(std::uint8_t* data, std::size_t size,
                                                  std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    pollfd ready{fd_, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(left(deadline).count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return 0;
    const ssize_t got = ::recv(fd_, data, size, MSG_DONTWAIT);
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

void RawClient::close() { ::shutdown(fd_, SHUT_RDWR); }

void RawClient::send(const Envelope& envelope) {
  sendRaw(protocol::FrameCodec::encode(envelope.encode()));
}

protocol::Bytes RawClient::receiveFrame() {
  const protocol::Bytes prefix = readExactly(4);
  return readExactly(protocol::FrameCodec::readLength(prefix.data()));
}

std::optional<Envelope> RawClient::receive() {
  std::uint8_t prefix[4];
  if (!readInto(prefix, sizeof prefix)) return std::nullopt;
  protocol::Bytes body(protocol::FrameCodec::readLength(prefix));
  if (!readInto(body.data(), body.size())) return std::nullopt;
  auto decoded = Envelope::decode(body);
  if (!decoded) throw std::runtime_error("undecodable envelope: " + decoded.error().description);
  record(*decoded);
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

void RawClient::record(const Envelope& envelope) {
  if (const auto* piece = envelope.payload.get<MessageType::terminalOutput>()) {
    output_[piece->sessionId].append(piece->data.begin(), piece->data.end());
  } else if (const auto* exit = envelope.payload.get<MessageType::terminalExit>()) {
    exited_.insert(exit->sessionId);
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
    if (!got) {
      ended_ = true;
      break;
    }
    for (auto& frame : media_.push(protocol::ByteView(chunk.data(), *got))) {
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
  while (Clock::now() < deadline) {
    if (auto frame = nextFrame(left(deadline))) metas.push_back(frame->meta);
    if (mediaBroken()) break;
  }
  return metas;
}

}  // namespace lumora::testing_support
