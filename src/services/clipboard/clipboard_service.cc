#include "services/clipboard/clipboard_service.h"

#include <stdexcept>
#include <string>

#include "core/run_on.h"
#include "protocol/json_writer.h"
#include "protocol/limits.h"
#include "services/clipboard/clipboard_staging.h"

namespace lumora::services {

using protocol::Bytes;

ClipboardService::ClipboardService(boost::asio::any_io_executor workExecutor,
                                   std::shared_ptr<platform::PasteboardAccess> pasteboard,
                                   std::filesystem::path stagingDirectory)
    : strand_(boost::asio::make_strand(std::move(workExecutor))),
      pasteboard_(std::move(pasteboard)),
      stagingDirectory_(std::move(stagingDirectory)),
      log_("clipboard") {}

boost::asio::awaitable<void> ClipboardService::start() {
  log_.info("clipboard-service started");
  co_return;
}

boost::asio::awaitable<void> ClipboardService::stop() {
  log_.info("clipboard-service stopped");
  co_return;
}

namespace {

// A reply carries only so much; what does not fit is refused in words rather than sent as a
// message the peer would have to drop.
[[noreturn]] void refuseAsTooLarge(const char* kind, std::uint64_t size, std::uint64_t limit) {
  throw std::runtime_error(std::string("clipboard ") + kind + " too large to send: " +
                           std::to_string(size) + " bytes (at most " + std::to_string(limit) +
                           ")");
}

}  // namespace

boost::asio::awaitable<ClipboardSnapshot> ClipboardService::read() {
  // A copied file wins over its name as text, and a caption over the picture it came with.
  auto work = [this]() -> ClipboardSnapshot {
    if (auto file = pasteboard_->readFile(); file && file->tooLargeSize > 0) {
      refuseAsTooLarge("file", file->tooLargeSize, protocol::kMaxBinaryContentBytes);
    } else if (file && !file->data.empty()) {
      return {ClipboardSnapshot::File{std::move(file->name), std::move(file->data)}};
    }
    if (auto text = pasteboard_->readText(); text && !text->empty()) {
      const std::size_t limit = protocol::kMaxEncodedContentLength;
      if (protocol::fittingPrefixLength(*text, limit) < text->size()) {
        refuseAsTooLarge("text", text->size(), limit);
      }
      return {ClipboardSnapshot::Text{std::move(*text)}};
    }
    if (auto png = pasteboard_->readImagePNG(); png && !png->empty()) {
      if (png->size() > protocol::kMaxBinaryContentBytes) {
        refuseAsTooLarge("image", png->size(), protocol::kMaxBinaryContentBytes);
      }
      return {ClipboardSnapshot::Image{std::move(*png)}};
    }
    return {};
  };
  co_return co_await core::runOn(strand_, std::move(work));
}

boost::asio::awaitable<void> ClipboardService::writeText(std::string text) {
  auto work = [this, text = std::move(text)] { pasteboard_->writeText(text); };
  co_await core::runOn(strand_, std::move(work));
}

boost::asio::awaitable<void> ClipboardService::writeImage(Bytes data) {
  auto work = [this, data = std::move(data)] { pasteboard_->writeImagePNG(data); };
  co_await core::runOn(strand_, std::move(work));
}

boost::asio::awaitable<void> ClipboardService::writeFile(std::string name, Bytes data) {
  auto work = [this, name = std::move(name), data = std::move(data)] {
    const auto staged = clipboard_staging::stageFile(stagingDirectory_, name, data);
    if (!staged) {
      log_.error("clipboard file not staged: " + clipboard_staging::stagedFileName(name));
      return;
    }
    pasteboard_->writeFile(*staged);
  };
  co_await core::runOn(strand_, std::move(work));
}

}  // namespace lumora::services
