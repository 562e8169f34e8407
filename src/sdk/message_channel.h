#pragma once

#include <exception>
#include <functional>

#include "protocol/bytes.h"

namespace lumora::sdk {

// A bidirectional carrier of whole messages (the bytes of one encoded envelope each) between
// the client and an agent. AgentControlClient works only through this interface, so a channel
// over another transport plugs in beside TCPMessageChannel.
//
// The operations complete through callbacks. Rules every implementation keeps, and callers
// may rely on:
// - each completion is called exactly once, with a null error on success or an SDKError;
// - a completion is never called from inside the operation that was handed it (it is
//   delivered later, typically on the channel's own thread), so a caller may start the next
//   operation from a completion without growing the stack;
// - completions of one channel are called one at a time, never concurrently;
// - the operations themselves may be called from any thread.
class MessageChannel {
 public:
  using Completion = std::function<void(std::exception_ptr error)>;
  using ReceiveCompletion = std::function<void(protocol::Bytes message, std::exception_ptr error)>;

  virtual ~MessageChannel() = default;

  // Sets the channel up; completes when it is usable.
  virtual void connect(Completion done) = 0;
  // Sends one message; completes when the transport has taken it. Fails with notConnected
  // when the channel is not (or no longer) connected.
  virtual void send(protocol::Bytes message, Completion done) = 0;
  // Completes with the next whole received message. At most one receive may be outstanding.
  // Fails with disconnected once the channel has closed.
  virtual void receive(ReceiveCompletion done) = 0;
  // Ends the channel; an outstanding receive fails with disconnected. Idempotent.
  virtual void close() = 0;
};

}  // namespace lumora::sdk
