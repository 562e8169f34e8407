#pragma once

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "protocol/media_frame.h"
#include "sdk/sdk_error.h"
#include "sdk/stream.h"

namespace lumora::sdk {

// Receives the agent's screen stream on its media port, or through the relay service. The caller
// first obtains a one-time ticket on the control channel (AgentControlClient::requestMediaTicket),
// then connects here and reads media frames from the returned stream, typically into a
// VideoDecoder.
//
// The stream ends when the agent closes the connection (a refused ticket ends it without any
// frame), on a read error, when the agent sends bytes that are not media frames, or on
// disconnect(). Destroying the stream before its end closes the connection. Frames the reader
// has not taken yet are kept up to kMaxBufferedBytes; past that, new frames are dropped and
// counted in Stream::droppedCount().
//
// One media connection at a time: a new connect() ends the previous one. Any thread may call
// any member; the connection runs on the client's own thread.
class MediaClient {
 public:
  static constexpr std::size_t kMaxBufferedBytes = 64u << 20;

  explicit MediaClient(std::chrono::duration<double> connectTimeout = std::chrono::seconds(10));
  ~MediaClient();
  MediaClient(const MediaClient&) = delete;
  MediaClient& operator=(const MediaClient&) = delete;

  // Connects to host:port, presents `ticket` (its UTF-8 bytes behind a 4-byte big-endian
  // length) and returns the stream of frames. Fails with SDKError::connectionFailed: "invalid
  // port 0"; the system's text when the agent cannot be reached; "media connect timed out
  // after Ns" (N = whole seconds of the time-out); disconnected when disconnect() comes first.
  std::future<Stream<protocol::MediaFrame>> connect(std::string host, std::uint16_t port,
                                                    std::string ticket);

  // Joins the relay service's media room at `url` (ws:// or wss://) with the relay token the
  // account service issued, runs the relay handshake keyed by `pairingCode`, and returns the
  // stream of frames the agent publishes there, one sealed frame per WebSocket message; the
  // first is a key frame. No ticket is needed: the agent sends frames only to a viewer that has
  // proven the pairing secret. Fails with SDKError::connectionFailed when the relay cannot be
  // reached or refuses the token, when the other end cannot prove the secret, and for an
  // invalid pairing code; a frame that does not open ends the stream.
  std::future<Stream<protocol::MediaFrame>> connectViaRelay(std::string url,
                                                            std::optional<std::string> token,
                                                            std::string pairingCode);

  // Ends the current connection and its stream, if any. Idempotent.
  void disconnect();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace lumora::sdk
