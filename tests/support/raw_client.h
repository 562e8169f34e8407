#pragma once

// A peer written against the wire format alone, on a plain loopback socket: control frames
// and envelopes, the media channel's ticket and frames, and the terminal events of a control
// connection. It plays the phone against the agent and the agent against the client library.
// Anything a well-behaved peer would not send is thrown, which fails the test that met it;
// blocking reads give up after a time-out, so a silent peer fails the test instead of hanging
// it.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/unique_fd.h"
#include "protocol/envelope.h"
#include "protocol/media_frame.h"
#include "protocol/pairing_secret.h"

namespace lumora::testing_support {

// A reply in a few words for a failure message: "code: message" for an error, else its type.
std::string describe(const protocol::Envelope& reply);

class RawClient {
 public:
  // Connects to 127.0.0.1:port; throws std::system_error when it cannot. A receive buffer
  // above 0 is set before connecting, so the window the peer sees is small from the start (a
  // peer that reads slowly); `from` picks the local address, e.g. "127.0.0.2" to play a peer
  // on another machine.
  explicit RawClient(std::uint16_t port, int receiveBuffer = 0, const char* from = nullptr);
  // Takes over a connected socket (one a listener of the test accepted).
  explicit RawClient(platform::linux_os::UniqueFd socket) : fd_(std::move(socket)) {}

  // How long blocking reads wait before they throw (30 s unless set).
  void setReadLimit(std::chrono::milliseconds limit) { readLimit_ = limit; }

  // Bytes. sendRaw blocks and throws once the peer is gone; trySend never blocks, sends what
  // the socket takes now and is false once the peer is gone.
  void sendRaw(protocol::ByteView bytes);
  bool trySend(protocol::ByteView bytes);
  // Up to `size` bytes: the count read, 0 when nothing came within `limit`, nothing once the
  // peer has closed the connection.
  std::optional<std::size_t> receiveSome(std::uint8_t* data, std::size_t size,
                                         std::chrono::milliseconds limit);
  // Exactly `count` bytes; throws when the peer closes or falls silent first.
  protocol::Bytes readExactly(std::size_t count);
  // True when the peer closes the connection within `limit`; what arrives before is dropped.
  bool closedWithin(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Shuts the connection down in both directions.
  void close();

  // The control channel: length-prefixed frames holding envelopes.
  void send(const protocol::Envelope& envelope);
  protocol::Bytes receiveFrame();
  // The next envelope, or nothing once the peer has closed the connection. Terminal output
  // and exits are recorded on the way (see readUntil).
  std::optional<protocol::Envelope> receive();
  // The same, throwing when the peer has closed the connection.
  protocol::Envelope next();
  // Sends `payload` and returns the reply to it; events that arrive first are recorded.
  protocol::Envelope ask(protocol::Payload payload);
  // The pairing handshake; throws when the agent refuses the proof.
  void authenticate(const protocol::PairingSecret& secret);

  // Interactive terminals on the control channel.
  std::string openTerminal(const std::string& shell = "/bin/sh");
  void type(const std::string& sessionId, const std::string& text);
  // Everything the session printed so far, once that includes `needle`.
  std::string readUntil(const std::string& sessionId, const std::string& needle);
  void waitForExit(const std::string& sessionId);

  // The media channel: the ticket frame, then media frames.
  void sendTicket(const std::string& ticket);
  // The next frame, or nothing when none completes within `limit` or the stream ends.
  std::optional<protocol::MediaFrame> nextFrame(
      std::chrono::milliseconds limit = std::chrono::seconds(10));
  // The headers of the frames that complete within `duration`.
  std::vector<protocol::ScreenFrameMeta> readFramesFor(std::chrono::milliseconds duration);
  // The peer closed the connection, or sent bytes that are not media frames.
  bool mediaBroken() const { return ended_ || media_.failed(); }

 protected:
  // Not connected yet: a subclass adopts a socket later.
  RawClient() = default;

 private:
  // Fills `data`; false when the peer closes the connection first.
  bool readInto(std::uint8_t* data, std::size_t size);

  platform::linux_os::UniqueFd fd_;
  std::chrono::milliseconds readLimit_{30000};
  protocol::MediaFrameDecoder media_;
  std::vector<protocol::MediaFrame> frames_;
  bool ended_ = false;
  std::map<std::string, std::string> output_;
  std::set<std::string> exited_;
};

}  // namespace lumora::testing_support
