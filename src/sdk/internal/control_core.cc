#include "sdk/internal/control_core.h"

#include "protocol/envelope.h"
#include "sdk/sdk_error.h"

namespace lumora::sdk::internal {

using protocol::Bytes;
using protocol::Envelope;
using protocol::MessageType;
using protocol::Payload;

namespace {

std::exception_ptr disconnectedError() { return std::make_exception_ptr(SDKError::disconnected()); }

}  // namespace

ControlCore::~ControlCore() { disconnect(); }

void ControlCore::adopt(std::shared_ptr<MessageChannel> channel, Completion done) {
  channel->connect(
      [weak = weak_from_this(), channel, done = std::move(done)](std::exception_ptr error) {
        if (error) return done(error);
        auto self = weak.lock();
        if (!self) {
          channel->close();
          return done(disconnectedError());
        }
        std::shared_ptr<MessageChannel> previous;
        Taken taken;
        std::uint64_t generation = 0;
        {
          std::lock_guard guard(self->lock_);
          taken = self->takeAllLocked(previous);
          self->channel_ = channel;
          generation = self->generation_;
        }
        if (previous) previous->close();
        failAll(std::move(taken));
        self->receiveNext(channel, generation);
        done(nullptr);
      });
}

void ControlCore::disconnect() {
  std::shared_ptr<MessageChannel> channel;
  Taken taken;
  {
    std::lock_guard guard(lock_);
    taken = takeAllLocked(channel);
  }
  // The channel's receive loop belongs to an older generation now: its end is not reported.
  if (channel) channel->close();
  failAll(std::move(taken));
}

void ControlCore::setOnDisconnect(std::function<void()> onDisconnect) {
  std::lock_guard guard(lock_);
  onDisconnect_ = std::move(onDisconnect);
}

ControlCore::Taken ControlCore::takeAllLocked(std::shared_ptr<MessageChannel>& channel) {
  channel = std::exchange(channel_, nullptr);
  ++generation_;
  Taken taken;
  taken.pending.swap(pending_);
  taken.outputs.swap(terminalOutputs_);
  return taken;
}

void ControlCore::failAll(Taken taken) {
  for (auto& [id, handler] : taken.pending) handler({}, disconnectedError());
  for (auto& [id, output] : taken.outputs) output->finish();
}

void ControlCore::request(Payload payload, ReplyHandler done) {
  Envelope envelope = Envelope::request(std::move(payload));
  Bytes bytes = envelope.encode();
  std::shared_ptr<MessageChannel> channel;
  {
    std::lock_guard guard(lock_);
    channel = channel_;
    if (channel) pending_.emplace(envelope.id.rawValue, std::move(done));
  }
  if (!channel) return done({}, std::make_exception_ptr(SDKError::notConnected()));
  channel->send(std::move(bytes),
                [weak = weak_from_this(), id = envelope.id.rawValue](std::exception_ptr error) {
                  auto self = weak.lock();
                  if (!error || !self) return;
                  ReplyHandler handler;
                  {
                    std::lock_guard guard(self->lock_);
                    auto found = self->pending_.find(id);
                    if (found == self->pending_.end()) return;  // already answered or failed
                    handler = std::move(found->second);
                    self->pending_.erase(found);
                  }
                  handler({}, error);
                });
}

void ControlCore::sendOneWay(Payload payload, Completion done) {
  std::shared_ptr<MessageChannel> channel;
  {
    std::lock_guard guard(lock_);
    channel = channel_;
  }
  if (!channel) return done(std::make_exception_ptr(SDKError::notConnected()));
  channel->send(Envelope::request(std::move(payload)).encode(), std::move(done));
}

std::shared_ptr<ControlCore::OutputState> ControlCore::openTerminalOutput(
    const std::string& sessionId) {
  auto output = std::make_shared<OutputState>(kMaxBufferedTerminalOutput,
                                              [](const Bytes& bytes) { return bytes.size(); });
  std::lock_guard guard(lock_);
  if (channel_) {
    terminalOutputs_[sessionId] = output;
  } else {
    output->finish();  // the connection ended before the session could be registered
  }
  return output;
}

void ControlCore::finishTerminalOutput(const std::string& sessionId,
                                       std::optional<std::int32_t> exitCode) {
  std::shared_ptr<OutputState> output;
  {
    std::lock_guard guard(lock_);
    auto found = terminalOutputs_.find(sessionId);
    if (found == terminalOutputs_.end()) return;
    output = std::move(found->second);
    terminalOutputs_.erase(found);
    // Kept before the stream ends, so a reader that sees the end finds the status.
    if (exitCode) terminalExitCodes_[sessionId] = *exitCode;
  }
  output->finish();
}

std::optional<std::int32_t> ControlCore::terminalExitCode(const std::string& sessionId) {
  std::lock_guard guard(lock_);
  auto found = terminalExitCodes_.find(sessionId);
  if (found == terminalExitCodes_.end()) return std::nullopt;
  return found->second;
}

void ControlCore::forgetTerminal(const std::string& sessionId) {
  std::lock_guard guard(lock_);
  terminalExitCodes_.erase(sessionId);
}

void ControlCore::receiveNext(const std::shared_ptr<MessageChannel>& channel,
                              std::uint64_t generation) {
  std::weak_ptr<MessageChannel> weakChannel = channel;
  channel->receive(
      [weak = weak_from_this(), weakChannel, generation](Bytes message, std::exception_ptr error) {
        auto self = weak.lock();
        if (!self) return;
        if (error) return self->channelEnded(generation);
        self->ingest(message, generation);
        auto current = weakChannel.lock();
        {
          std::lock_guard guard(self->lock_);
          if (self->generation_ != generation || !current) return;
        }
        self->receiveNext(current, generation);
      });
}

void ControlCore::ingest(const Bytes& message, std::uint64_t generation) {
  auto decoded = Envelope::decode(message);
  if (!decoded) return;  // an undecodable message is dropped
  Envelope& envelope = *decoded;

  if (envelope.correlationID) {
    ReplyHandler handler;
    {
      std::lock_guard guard(lock_);
      if (generation_ != generation) return;
      auto found = pending_.find(envelope.correlationID->rawValue);
      if (found == pending_.end()) return;  // a reply nobody waits for
      handler = std::move(found->second);
      pending_.erase(found);
    }
    if (auto* error = envelope.payload.get<MessageType::error>()) {
      return handler({}, std::make_exception_ptr(SDKError::agent(*error)));
    }
    return handler(std::move(envelope.payload), nullptr);
  }

  if (auto* output = envelope.payload.get<MessageType::terminalOutput>()) {
    std::shared_ptr<OutputState> stream;
    {
      std::lock_guard guard(lock_);
      if (generation_ != generation) return;
      auto found = terminalOutputs_.find(output->sessionId);
      if (found == terminalOutputs_.end()) return;  // unknown or not yet registered
      stream = found->second;
    }
    stream->push(std::move(output->data));
  } else if (auto* exit = envelope.payload.get<MessageType::terminalExit>()) {
    {
      std::lock_guard guard(lock_);
      if (generation_ != generation) return;
    }
    finishTerminalOutput(exit->sessionId, exit->exitCode);
  }
  // Every other unsolicited message is ignored.
}

void ControlCore::channelEnded(std::uint64_t generation) {
  std::shared_ptr<MessageChannel> channel;
  Taken taken;
  std::function<void()> onDisconnect;
  {
    std::lock_guard guard(lock_);
    if (generation_ != generation) return;  // disconnect() or a newer channel took over
    taken = takeAllLocked(channel);
    onDisconnect = onDisconnect_;
  }
  if (channel) channel->close();
  failAll(std::move(taken));
  if (onDisconnect) {
    try {
      onDisconnect();
    } catch (...) {
      // The caller's handler failing must not take the connection thread down with it.
    }
  }
}

}  // namespace lumora::sdk::internal
