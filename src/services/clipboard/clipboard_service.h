#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/strand.hpp>

#include <filesystem>
#include <memory>
#include <string>

#include "core/agent_log.h"
#include "core/agent_service.h"
#include "platform/pasteboard_access.h"
#include "services/clipboard/clipboard_snapshot.h"
#include "services/clipboard/clipboard_staging.h"

namespace lumora::services {

// The desktop clipboard for the peer: reads it as one snapshot and replaces it with a text, an
// image or a file. Operations run one at a time on the service's strand over the worker pool
// (the pasteboard may block while another application answers); callers may await them from
// any executor. Writes do not fail: one that cannot be carried out leaves the clipboard as it
// was. A read fails (std::runtime_error) only when what it found is too large for one reply:
// a file or an image over protocol::kMaxBinaryContentBytes, a text over
// protocol::kMaxEncodedContentLength once escaped.
class ClipboardService : public core::AgentService {
 public:
  ClipboardService(boost::asio::any_io_executor workExecutor,
                   std::shared_ptr<platform::PasteboardAccess> pasteboard,
                   std::filesystem::path stagingDirectory = clipboard_staging::defaultDirectory());

  std::string name() const override { return "clipboard-service"; }
  boost::asio::awaitable<void> start() override;
  boost::asio::awaitable<void> stop() override;

  boost::asio::awaitable<ClipboardSnapshot> read();
  boost::asio::awaitable<void> writeText(std::string text);
  boost::asio::awaitable<void> writeImage(protocol::Bytes data);
  // Stages the bytes as a file in the staging directory and puts that file on the clipboard.
  boost::asio::awaitable<void> writeFile(std::string name, protocol::Bytes data);

 private:
  boost::asio::strand<boost::asio::any_io_executor> strand_;
  std::shared_ptr<platform::PasteboardAccess> pasteboard_;
  std::filesystem::path stagingDirectory_;
  core::AgentLog log_;
};

}  // namespace lumora::services
