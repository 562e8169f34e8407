#include "sdk/agent_control_client.h"

#include <stdexcept>

#include "protocol/auth_crypto.h"
#include "protocol/pairing_secret.h"
#include "sdk/internal/control_core.h"
#include "sdk/internal/reply.h"
#include "sdk/internal/terminal_requests.h"
#include "sdk/relay/relay_message_channel.h"
#include "sdk/tcp_message_channel.h"

namespace lumora::sdk {

using internal::expectReply;
using internal::failedFuture;
using internal::SharedPromise;
using protocol::Bytes;
using protocol::MessageType;
using protocol::Payload;

AgentControlClient::AgentControlClient() : core_(std::make_shared<internal::ControlCore>()) {}
AgentControlClient::~AgentControlClient() = default;
AgentControlClient::AgentControlClient(const AgentControlClient&) = default;
AgentControlClient& AgentControlClient::operator=(const AgentControlClient&) = default;

std::future<void> AgentControlClient::connect(std::string host, std::uint16_t port) {
  return connect(std::make_shared<TCPMessageChannel>(std::move(host), port, kConnectTimeout));
}

std::future<void> AgentControlClient::connect(std::shared_ptr<MessageChannel> channel) {
  SharedPromise<void> promise;
  auto future = promise.future();
  core_->adopt(std::move(channel), [promise](std::exception_ptr error) {
    if (error) return promise.fail(error);
    promise.succeed();
  });
  return future;
}

std::future<void> AgentControlClient::connectViaRelay(std::string url,
                                                      std::optional<std::string> token,
                                                      std::string pairingCode) {
  auto secret = protocol::PairingSecret::fromCode(pairingCode);
  if (!secret) return failedFuture<void>(SDKError::connectionFailed("invalid pairing code"));
  return connect(
      std::make_shared<RelayMessageChannel>(std::move(url), std::move(token), std::move(*secret),
                                            protocol::RelayChannel::control, kConnectTimeout));
}

void AgentControlClient::disconnect() { core_->disconnect(); }

void AgentControlClient::setOnDisconnect(std::function<void()> onDisconnect) {
  core_->setOnDisconnect(std::move(onDisconnect));
}

std::future<void> AgentControlClient::authenticate(std::string pairingCode, std::string deviceID) {
  auto secret = protocol::PairingSecret::fromCode(pairingCode);
  if (!secret) return failedFuture<void>(SDKError::connectionFailed("invalid pairing code"));
  SharedPromise<void> promise;
  auto future = promise.future();
  expectReply<MessageType::authChallenge>(
      *core_, protocol::AuthBegin{std::move(deviceID)},
      [core = core_, secret = std::move(*secret), promise](protocol::AuthChallenge challenge) {
        Bytes mac = protocol::AuthCrypto::mac(secret.data, challenge.nonce);
        expectReply<MessageType::ack>(
            *core, protocol::AuthComplete{std::move(mac)},
            [promise](protocol::Ack) { promise.succeed(); }, promise.failer());
      },
      promise.failer());
  return future;
}

namespace {

std::future<void> expectAck(internal::ControlCore& core, Payload payload) {
  SharedPromise<void> promise;
  auto future = promise.future();
  expectReply<MessageType::ack>(
      core, std::move(payload), [promise](protocol::Ack) { promise.succeed(); }, promise.failer());
  return future;
}

// A request whose reply record (or one value taken from it) is the result.
template <MessageType R, class Result, class Extract>
std::future<Result> ask(internal::ControlCore& core, Payload payload, Extract extract) {
  SharedPromise<Result> promise;
  auto future = promise.future();
  expectReply<R>(
      core, std::move(payload),
      [promise, extract](protocol::PayloadRecord<R> record) {
        promise.succeed(extract(std::move(record)));
      },
      promise.failer());
  return future;
}

template <MessageType R>
std::future<protocol::PayloadRecord<R>> ask(internal::ControlCore& core, Payload payload) {
  return ask<R, protocol::PayloadRecord<R>>(
      core, std::move(payload), [](protocol::PayloadRecord<R> record) { return record; });
}

}  // namespace

std::future<void> AgentControlClient::ping() { return expectAck(*core_, protocol::PingRequest{}); }

std::future<protocol::FileListResult> AgentControlClient::listFiles(std::string path) {
  return ask<MessageType::fileListResult>(*core_, protocol::FileListRequest{std::move(path)});
}

std::future<void> AgentControlClient::moveFile(std::string from, std::string to) {
  return expectAck(*core_, protocol::FileMoveRequest{std::move(from), std::move(to)});
}

std::future<void> AgentControlClient::removeFile(std::string path) {
  return expectAck(*core_, protocol::FileRemoveRequest{std::move(path)});
}

std::future<protocol::FileDownloadResult> AgentControlClient::downloadChunk(
    std::string path, std::int64_t offset, std::optional<std::int64_t> length) {
  return ask<MessageType::fileDownloadResult>(
      *core_, protocol::FileDownloadRequest{std::move(path), offset, length});
}

std::future<void> AgentControlClient::uploadChunk(std::string path, Bytes data, std::int64_t offset,
                                                  bool isFinal) {
  return expectAck(*core_,
                   protocol::FileUploadRequest{std::move(path), std::move(data), offset, isFinal});
}

std::future<protocol::TerminalRunResult> AgentControlClient::runCommand(
    std::string command, std::optional<std::string> shell) {
  return ask<MessageType::terminalRunResult>(
      *core_, protocol::TerminalRunRequest{std::move(command), std::move(shell)});
}

std::future<TerminalSession> AgentControlClient::openTerminal(std::optional<std::string> shell,
                                                              std::uint16_t cols,
                                                              std::uint16_t rows) {
  SharedPromise<TerminalSession> promise;
  auto future = promise.future();
  // The output stream is registered here, on the connection's thread, before the next message
  // is read, so no output that follows the agent's answer can be missed.
  expectReply<MessageType::terminalOpened>(
      *core_, protocol::TerminalOpenRequest{std::move(shell), cols, rows},
      [core = core_, promise](protocol::TerminalOpened opened) {
        auto output = core->openTerminalOutput(opened.sessionId);
        promise.succeed(
            TerminalSession(core, std::move(opened.sessionId), Stream<Bytes>(std::move(output))));
      },
      promise.failer());
  return future;
}

std::future<void> AgentControlClient::closeTerminal(std::string sessionId) {
  return internal::closeTerminal(core_, std::move(sessionId));
}

std::future<void> AgentControlClient::moveMouse(double x, double y) {
  return expectAck(*core_, protocol::MouseMoveCommand{{x, y}});
}

std::future<void> AgentControlClient::moveMouseBy(double deltaX, double deltaY) {
  return expectAck(*core_, protocol::MouseMoveByCommand{deltaX, deltaY});
}

std::future<void> AgentControlClient::sendMoveMouseBy(double deltaX, double deltaY) {
  return internal::sendOneWay(*core_, protocol::MouseMoveByCommand{deltaX, deltaY});
}

std::future<void> AgentControlClient::click(double x, double y, protocol::MouseButton button) {
  return expectAck(*core_, protocol::MouseClickCommand{protocol::Point{x, y}, button});
}

std::future<void> AgentControlClient::clickAtCursor(protocol::MouseButton button) {
  return expectAck(*core_, protocol::MouseClickCommand{std::nullopt, button});
}

std::future<void> AgentControlClient::setMouseButton(bool down, protocol::MouseButton button) {
  return expectAck(*core_, protocol::MouseButtonCommand{std::nullopt, button, down});
}

std::future<void> AgentControlClient::pressKey(std::uint16_t keyCode, protocol::KeyAction action) {
  return expectAck(*core_, protocol::KeyCommand{keyCode, action});
}

std::future<void> AgentControlClient::typeText(std::string text) {
  return expectAck(*core_, protocol::TypeTextCommand{std::move(text)});
}

std::future<void> AgentControlClient::scroll(double deltaX, double deltaY) {
  return expectAck(*core_, protocol::ScrollCommand{deltaX, deltaY});
}

std::future<void> AgentControlClient::sendScroll(double deltaX, double deltaY) {
  return internal::sendOneWay(*core_, protocol::ScrollCommand{deltaX, deltaY});
}

std::future<void> AgentControlClient::drag(double fromX, double fromY, double toX, double toY,
                                           protocol::MouseButton button) {
  return expectAck(*core_, protocol::DragCommand{{fromX, fromY}, {toX, toY}, button});
}

std::future<std::vector<protocol::DisplayInfo>> AgentControlClient::listDisplays() {
  return ask<MessageType::screenDisplayList, std::vector<protocol::DisplayInfo>>(
      *core_, protocol::ScreenListDisplaysRequest{},
      [](protocol::DisplayListResult result) { return std::move(result.displays); });
}

std::future<void> AgentControlClient::startStream(std::optional<std::int64_t> maxWidth,
                                                  std::optional<std::int64_t> maxHeight,
                                                  std::optional<protocol::VideoCodec> codec,
                                                  std::optional<std::uint32_t> displayID) {
  return expectAck(*core_, protocol::CaptureFrameRequest{protocol::CaptureMode::startStream,
                                                         maxWidth, maxHeight, codec, displayID});
}

std::future<void> AgentControlClient::stopStream() {
  return expectAck(*core_,
                   protocol::CaptureFrameRequest{protocol::CaptureMode::stopStream, std::nullopt,
                                                 std::nullopt, std::nullopt, std::nullopt});
}

std::future<protocol::ClipboardContent> AgentControlClient::getClipboard() {
  return ask<MessageType::clipboardContent>(*core_, protocol::ClipboardGetRequest{});
}

std::future<void> AgentControlClient::setClipboardText(std::string text) {
  return expectAck(*core_,
                   Payload::clipboardSet(protocol::ClipboardContent::makeText(std::move(text))));
}

std::future<void> AgentControlClient::setClipboardImage(Bytes image) {
  return expectAck(*core_,
                   Payload::clipboardSet(protocol::ClipboardContent::makeImage(std::move(image))));
}

std::future<void> AgentControlClient::setClipboardFile(std::string name, Bytes data) {
  return expectAck(*core_, Payload::clipboardSet(protocol::ClipboardContent::makeFile(
                               std::move(name), std::move(data))));
}

std::future<std::string> AgentControlClient::requestMediaTicket() {
  return ask<MessageType::mediaTicketResult, std::string>(
      *core_, protocol::MediaTicketRequest{},
      [](protocol::MediaTicketResult result) { return std::move(result.token); });
}

}  // namespace lumora::sdk
