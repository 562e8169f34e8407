#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/clipboard_payloads.h"
#include "protocol/file_payloads.h"
#include "protocol/input_screen_payloads.h"
#include "protocol/terminal_payloads.h"
#include "sdk/message_channel.h"
#include "sdk/sdk_error.h"
#include "sdk/terminal_session.h"

namespace lumora::sdk {

namespace internal {
class ControlCore;
}

// The client side of an agent's control channel: pairs with the agent and calls its
// operations. Each operation sends one request and returns a future for its outcome; many
// requests may be in flight at once, and replies are matched to them by identifier, in
// whatever order the agent answers. There is no time-out on a request: it ends with its
// reply, a failed send, or the end of the connection.
//
// A synchronous program simply waits on the futures:
//
//   AgentControlClient client;
//   client.connect("100.64.0.7", 47800).get();
//   client.authenticate(pairingCode, "my-laptop").get();
//   TerminalRunResult result = client.runCommand("uname -a").get();
//
// Futures fail with SDKError: notConnected without a connection; agent when the agent answers
// with an error; unexpectedResponse when it answers with another type; disconnected when the
// connection ends while waiting; connectionFailed when the request cannot be sent.
//
// Threads: every member may be called from any thread. The library completes futures and
// calls the callbacks (onDisconnect, terminal output) on the connection's own thread; a
// callback must not wait on a future of the same client, since that future could only be
// completed by the thread the callback is blocking.
//
// The client is a handle: copies share one connection, and the connection closes when the
// last copy and the last TerminalSession opened through it are gone.
class AgentControlClient {
 public:
  // The connect time-out of connect(host, port).
  static constexpr std::chrono::seconds kConnectTimeout{10};

  AgentControlClient();
  ~AgentControlClient();
  AgentControlClient(const AgentControlClient&);
  AgentControlClient& operator=(const AgentControlClient&);

  // --- Connection ---

  // Connects to an agent's control port over TCP (TCPMessageChannel, 10-second time-out).
  std::future<void> connect(std::string host, std::uint16_t port);
  // Connects `channel` and uses it. Its connect error is passed on unchanged.
  std::future<void> connect(std::shared_ptr<MessageChannel> channel);
  // Connects through the relay service's control room at `url` (ws:// or wss://) with the relay
  // token the account service issued, and runs the relay handshake keyed by `pairingCode`
  // (RelayMessageChannel): the future is ready once the agent has proven that it knows the
  // pairing secret, and fails with connectionFailed when the other end cannot prove it (or the
  // code is not a pairing code: "invalid pairing code"). The agent is then paired with
  // authenticate() and called as over a direct connection, every message sealed end to end.
  std::future<void> connectViaRelay(std::string url, std::optional<std::string> token,
                                    std::string pairingCode);
  // Closes the connection deliberately: requests still waiting fail with disconnected, open
  // terminal streams end, and onDisconnect is not called.
  void disconnect();
  // Called once each time the connection ends without disconnect() (the agent went away, the
  // network failed). Runs on the connection's thread.
  void setOnDisconnect(std::function<void()> onDisconnect);

  // Proves knowledge of the pairing secret; until then the agent refuses everything else.
  // Fails with connectionFailed "invalid pairing code" when the code is not 32 hexadecimal
  // digits (spaces and hyphens ignored), without sending anything.
  std::future<void> authenticate(std::string pairingCode, std::string deviceID);

  // --- Operations ---

  std::future<void> ping();

  std::future<protocol::FileListResult> listFiles(std::string path);
  std::future<void> moveFile(std::string from, std::string to);
  std::future<void> removeFile(std::string path);
  // One piece of a file; without a length, everything from the offset to the end. Whole files
  // go pipelined through sdk::downloadFile and sdk::uploadFile (file_transfer.h).
  std::future<protocol::FileDownloadResult> downloadChunk(std::string path, std::int64_t offset,
                                                          std::optional<std::int64_t> length);
  std::future<void> uploadChunk(std::string path, protocol::Bytes data, std::int64_t offset,
                                bool isFinal);

  // Runs a command once under a shell (the agent's default when none is given).
  std::future<protocol::TerminalRunResult> runCommand(
      std::string command, std::optional<std::string> shell = std::nullopt);
  // Starts an interactive shell of cols × rows character cells.
  std::future<TerminalSession> openTerminal(std::optional<std::string> shell, std::uint16_t cols,
                                            std::uint16_t rows);
  std::future<void> closeTerminal(std::string sessionId);

  // Positions are fractions of the agent's active display: (0, 0) top left, (1, 1) bottom
  // right. Deltas are passed on as given. Key codes are macOS virtual key codes.
  std::future<void> moveMouse(double x, double y);
  std::future<void> moveMouseBy(double deltaX, double deltaY);
  // One-way: ready once sent; the agent's answer is not awaited.
  std::future<void> sendMoveMouseBy(double deltaX, double deltaY);
  std::future<void> click(double x, double y, protocol::MouseButton button);
  std::future<void> clickAtCursor(protocol::MouseButton button);
  std::future<void> setMouseButton(bool down, protocol::MouseButton button);
  std::future<void> pressKey(std::uint16_t keyCode, protocol::KeyAction action);
  std::future<void> typeText(std::string text);
  std::future<void> scroll(double deltaX, double deltaY);
  // One-way: ready once sent; the agent's answer is not awaited.
  std::future<void> sendScroll(double deltaX, double deltaY);
  std::future<void> drag(double fromX, double fromY, double toX, double toY,
                         protocol::MouseButton button);

  std::future<std::vector<protocol::DisplayInfo>> listDisplays();
  // Starts the screen stream; frames arrive on the media channel (see MediaClient).
  std::future<void> startStream(std::optional<std::int64_t> maxWidth = std::nullopt,
                                std::optional<std::int64_t> maxHeight = std::nullopt,
                                std::optional<protocol::VideoCodec> codec = std::nullopt,
                                std::optional<std::uint32_t> displayID = std::nullopt);
  std::future<void> stopStream();

  std::future<protocol::ClipboardContent> getClipboard();
  std::future<void> setClipboardText(std::string text);
  std::future<void> setClipboardImage(protocol::Bytes image);
  std::future<void> setClipboardFile(std::string name, protocol::Bytes data);

  // A one-time ticket for MediaClient::connect.
  std::future<std::string> requestMediaTicket();

 private:
  std::shared_ptr<internal::ControlCore> core_;
};

}  // namespace lumora::sdk
