#include "services/clipboard/clipboard_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>

#include "fakes/fake_pasteboard_access.h"
#include "protocol/limits.h"
#include "support/run_awaitable.h"
#include "support/temp_dir.h"
#include "support/thrown.h"

namespace lumora::services {
namespace {

using protocol::Bytes;
using protocol::bytesOf;
using testing_support::contentOf;
using testing_support::runAwaitable;
using testing_support::TempDir;

const Bytes kPng{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 1, 2, 3};

class ClipboardServiceTest : public ::testing::Test {
 protected:
  ClipboardSnapshot read() { return runAwaitable(io_, service_.read()); }

  boost::asio::io_context io_;
  boost::asio::thread_pool pool_{2};
  TempDir dir_;
  std::filesystem::path staging_ = dir_.path() / "lumora-clipboard";
  std::shared_ptr<fakes::FakePasteboardAccess> pasteboard_ =
      std::make_shared<fakes::FakePasteboardAccess>();
  ClipboardService service_{pool_.get_executor(), pasteboard_, staging_};
};

TEST_F(ClipboardServiceTest, ReadPrefersFileThenTextThenImage) {
  EXPECT_EQ(read(), ClipboardSnapshot{});

  pasteboard_->image = kPng;
  EXPECT_EQ(read(), (ClipboardSnapshot{ClipboardSnapshot::Image{kPng}}));
  // An empty text does not hide the image; a caption does.
  pasteboard_->text = "";
  EXPECT_EQ(read(), (ClipboardSnapshot{ClipboardSnapshot::Image{kPng}}));
  pasteboard_->text = "caption";
  EXPECT_EQ(read(), (ClipboardSnapshot{ClipboardSnapshot::Text{"caption"}}));
  // A file with no content is no file; one with content wins, even without a name.
  pasteboard_->file = platform::PasteboardFile{"empty.txt", {}};
  EXPECT_EQ(read(), (ClipboardSnapshot{ClipboardSnapshot::Text{"caption"}}));
  pasteboard_->file = platform::PasteboardFile{"", {'x'}};
  EXPECT_EQ(read(), (ClipboardSnapshot{ClipboardSnapshot::File{"", {'x'}}}));
}

TEST_F(ClipboardServiceTest, ContentTooLargeForOneReplyIsRefusedInWords) {
  auto refusal = [&] { return testing_support::messageThrownBy([&] { read(); }); };
  pasteboard_->image = Bytes(protocol::kMaxBinaryContentBytes + 1, 'i');
  EXPECT_EQ(refusal(), "clipboard image too large to send: 37748737 bytes (at most 37748736)");
  // Control characters take six bytes each once escaped.
  pasteboard_->text = std::string(protocol::kMaxEncodedContentLength / 6 + 1, '\x01');
  EXPECT_EQ(refusal(), "clipboard text too large to send: 8388609 bytes (at most 50331648)");
  pasteboard_->file = platform::PasteboardFile{"big.iso", {}, 1ull << 32};
  EXPECT_EQ(refusal(), "clipboard file too large to send: 4294967296 bytes (at most 37748736)");
}

TEST_F(ClipboardServiceTest, FilesAreStagedUnderTheirLastPathComponentOnly) {
  runAwaitable(io_, service_.writeFile("../../docs/report.pdf", bytesOf("v1")));
  ASSERT_EQ(pasteboard_->stagedPaths.size(), 1u);
  EXPECT_EQ(pasteboard_->stagedPaths[0], staging_ / "report.pdf");
  EXPECT_EQ(contentOf((staging_ / "report.pdf").string()), "v1");
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "docs"));
  EXPECT_EQ(read(), (ClipboardSnapshot{ClipboardSnapshot::File{"report.pdf", bytesOf("v1")}}));

  EXPECT_EQ(testing_support::fileMode(staging_), 0700u);

  runAwaitable(io_, service_.writeFile("folder/", bytesOf("d")));
  EXPECT_EQ(pasteboard_->stagedPaths.back(), staging_ / "folder") << "trailing slashes are no name";
  for (const char* nameless : {"", "..", "/"}) {
    runAwaitable(io_, service_.writeFile(nameless, bytesOf("n")));
    EXPECT_EQ(pasteboard_->stagedPaths.back(), staging_ / "pasted-file") << nameless;
  }
}

}  // namespace
}  // namespace lumora::services
