#include "sdk/internal/terminal_requests.h"

#include "sdk/internal/reply.h"
#include "sdk/sdk_error.h"

namespace lumora::sdk::internal {

using protocol::MessageType;
using protocol::Payload;

std::future<void> sendOneWay(ControlCore& core, Payload payload) {
  SharedPromise<void> promise;
  auto future = promise.future();
  core.sendOneWay(std::move(payload), [promise](std::exception_ptr error) {
    if (error) return promise.fail(error);
    promise.succeed();
  });
  return future;
}

std::future<void> closeTerminal(const std::shared_ptr<ControlCore>& core, std::string sessionId) {
  SharedPromise<void> promise;
  auto future = promise.future();
  std::weak_ptr<ControlCore> weak = core;
  core->request(protocol::TerminalCloseRequest{sessionId},
                [weak, sessionId, promise](Payload reply, std::exception_ptr error) {
                  auto sdkError = sdkErrorOf(error);
                  bool answered = !error || (sdkError && sdkError->kind() == SDKError::Kind::agent);
                  if (auto self = weak.lock(); self && answered) {
                    self->finishTerminalOutput(sessionId);
                  }
                  if (error) return promise.fail(error);
                  if (reply.messageType() != MessageType::ack) {
                    return promise.fail(
                        std::make_exception_ptr(SDKError::unexpectedResponse(reply.messageType())));
                  }
                  promise.succeed();
                });
  return future;
}

}  // namespace lumora::sdk::internal
