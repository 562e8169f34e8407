// The web client's files panel against the real agent: what the phone shows and does is checked
// where it lands, in the agent's home on disk.
//
// The panel's hooks these cases use:
//   #files-path                    the folder shown, as the agent names it
//   #files-crumbs .crumb[data-path] the way back up, one button a folder
//   ul#file-list > li.file-entry[data-name][data-kind="dir|file"]
//       .file-open (tap: enter a folder / a file's actions), .file-size, .file-date
//   #file-actions with #file-download, #file-rename (#file-rename-name, #file-rename-ok),
//       #file-move (#file-move-browse), #file-delete
//   #files-move-bar with #files-move-here
//   #files-upload                  the <input type=file multiple>
//   #files-transfers > li.file-progress[data-kind][data-name][data-state][data-bytes]
//       progress, .file-cancel
//   #files-error                   a failure in words
//   window.lumora.transfers        every transfer: kind, name, bytes, total, state, via,
//                                  startedAt, endedAt

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <random>

#include "support/temp_dir.h"
#include "web/web_fixture.h"

namespace lumora {
namespace {

using namespace std::chrono_literals;
using namespace web_testing;
using testing_support::contentOf;
using testing_support::eventually;
using testing_support::TempDir;

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

std::string entry(const std::string& name) { return "li.file-entry[data-name=\"" + name + "\"]"; }

// Names in `folder` that an upload under way would use.
std::vector<std::string> uploadLeftovers(const std::filesystem::path& folder) {
  std::vector<std::string> found;
  for (const auto& item : std::filesystem::directory_iterator(folder)) {
    const std::string name = item.path().filename().string();
    if (name.find(".lumora-upload-") != std::string::npos) found.push_back(name);
  }
  return found;
}

class WebFilesTest : public WebEndToEndTest {
 protected:
  std::string home() const { return agent_->home().path().string(); }

  // The files panel open on the agent's home, showing `first`.
  void openFiles(const std::string& first) {
    ASSERT_NO_FATAL_FAILURE(openPanel("files"));
    ASSERT_TRUE(becomes("#files-path", "textContent", home())) << phone_->lastWaitError();
    phone_->require(entry(first));
  }

  // Taps the file's row, which shows its actions.
  void choose(const std::string& name) {
    phone_->tap(entry(name) + " .file-open");
    phone_->require("#file-actions");
  }
  void renameChosen(const std::string& name) {
    phone_->tap("#file-rename");
    phone_->fill("#file-rename-name", name);
    phone_->tap("#file-rename-ok");
  }

  // The page's record of its latest transfer of `name`, once it is in `state`.
  boost::json::value transferEnds(const std::string& name, const std::string& state) {
    const std::string latest =
        "window.lumora.transfers?.filter((t) => t.name === " + jsString(name) + ").at(-1)";
    phone_->requireTrue(latest + "?.state === " + jsString(state), 60s);
    return phone_->eval(latest);
  }

  TempDir phoneFiles_;  // what the phone's file chooser offers
};

TEST_F(WebFilesTest, BrowsesRenamesMovesAndDeletesWhatIsOnDisk) {
  const auto& disk = agent_->home();
  disk.make("b.txt", "12345");
  disk.make("old-name.txt", "rename me");
  disk.make("chosen.txt", "move me by browsing");
  disk.make("doomed.txt", "delete me");
  std::filesystem::create_directory(disk.path() / "docs");
  disk.make("docs/inner.txt", std::string(2500, 'x'));
  // 2021-03-04 05:06:07 UTC.
  const timespec stamp[2] = {{1614834367, 0}, {1614834367, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (disk / "b.txt").c_str(), stamp, 0), 0);

  ASSERT_NO_FATAL_FAILURE(openFiles("b.txt"));
  // Folders first, each entry with its size in units a person reads and its date.
  EXPECT_EQ(phone_->eval("[...document.querySelectorAll('#file-list li.file-entry')]"
                         ".map((e) => e.dataset.name).filter((n) => !n.startsWith('.')).join(' ')"),
            "docs agent.log b.txt chosen.txt doomed.txt old-name.txt");
  EXPECT_EQ(phone_->text(entry("b.txt") + " .file-size"), "5 B");
  EXPECT_NE(phone_->text(entry("b.txt") + " .file-date").find("2021"), std::string::npos)
      << phone_->text(entry("b.txt") + " .file-date");

  // Rename.
  ASSERT_NO_FATAL_FAILURE(choose("old-name.txt"));
  renameChosen("new name.txt");
  phone_->require(entry("new name.txt"));
  EXPECT_EQ(contentOf(disk / "new name.txt"), "rename me");

  // Move to a folder chosen by browsing: into a folder, and back by the breadcrumb.
  ASSERT_NO_FATAL_FAILURE(choose("chosen.txt"));
  phone_->tap("#file-move");
  phone_->tap("#file-move-browse");
  phone_->require("#files-move-bar");
  phone_->tap(entry("docs") + " .file-open");
  phone_->require(entry("inner.txt"));
  EXPECT_EQ(phone_->text(entry("inner.txt") + " .file-size"), "2.5 kB");
  phone_->tap("#files-move-here");
  phone_->require(entry("chosen.txt"));
  EXPECT_EQ(contentOf(disk / "docs/chosen.txt"), "move me by browsing");
  phone_->tap("#files-crumbs .crumb[data-path=\"" + home() + "\"]");
  phone_->require(entry("doomed.txt"));

  // Delete asks first: declined, nothing goes; confirmed, the file goes.
  ASSERT_NO_FATAL_FAILURE(choose("doomed.txt"));
  phone_->tap("#file-delete");
  answerConfirmation(false);
  EXPECT_TRUE(std::filesystem::exists(disk / "doomed.txt"));
  phone_->tap("#file-delete");
  answerConfirmation(true);
  phone_->require(entry("doomed.txt"), "detached");
  EXPECT_FALSE(std::filesystem::exists(disk / "doomed.txt"));

  // A file gone behind the page's back: the failure says so in words, naming it.
  ASSERT_NO_FATAL_FAILURE(choose("b.txt"));
  std::filesystem::remove(disk / "b.txt");
  renameChosen("c.txt");
  phone_->require("#files-error");
  EXPECT_EQ(phone_->text("#files-error"),
            "Could not rename \xe2\x80\x9c"
            "b.txt\xe2\x80\x9d: it does not exist (any more).");
}

TEST_F(WebFilesTest, DownloadsAndUploadsArriveByteForByte) {
  const auto& disk = agent_->home();
  const std::string big = randomBytes(3 * 1024 * 1024 + 12345, 1);
  disk.make("big.bin", big);
  disk.make("note.txt", "the computer's note");

  ASSERT_NO_FATAL_FAILURE(openFiles("big.bin"));

  // A download the browser saves: every byte of the file on disk, under its name.
  ASSERT_NO_FATAL_FAILURE(choose("big.bin"));
  const std::string saved = phoneFiles_ / "saved.bin";
  EXPECT_EQ(phone_->download("#file-download", saved), "big.bin");
  EXPECT_TRUE(contentOf(saved) == big) << "saved " << contentOf(saved).size() << " bytes";
  // The page is served from 127.0.0.1, a secure context: its service worker streams the file.
  EXPECT_EQ(transferEnds("big.bin", "done").at("via").as_string(), "worker");

  // Several files at once, one over a MiB and one empty, arrive whole and under their names.
  const std::string photo = randomBytes(1536 * 1024 + 7, 2);
  phone_->setFiles("#files-upload",
                   {phoneFiles_.make("photo.jpg", photo), phoneFiles_.make("empty.txt", ""),
                    phoneFiles_.make("list é.txt", "milk\neggs\n")});
  phone_->require(".file-progress[data-kind=\"upload\"]");
  transferEnds("list é.txt", "done");
  EXPECT_TRUE(contentOf(disk / "photo.jpg") == photo);
  EXPECT_EQ(std::filesystem::file_size(disk / "empty.txt"), 0u);
  EXPECT_EQ(contentOf(disk / "list é.txt"), "milk\neggs\n");
  EXPECT_TRUE(uploadLeftovers(disk.path()).empty());

  // A name already there is replaced once the person agrees (a "no" does nothing, as the
  // delete above shows for the same confirmation).
  phone_->setFiles("#files-upload", {phoneFiles_.make("note.txt", "the phone's note")});
  answerConfirmation(true);
  transferEnds("note.txt", "done");
  EXPECT_EQ(contentOf(disk / "note.txt"), "the phone's note");
}

TEST_F(WebFilesTest, ACancelledUploadLeavesNothingAndHarmsNothing) {
  const auto& disk = agent_->home();
  disk.make("keep.bin", "the original");
  // Large enough that the cancel lands well before the end.
  const std::string huge = randomBytes(64 * 1024 * 1024, 3);
  const std::string chosen = phoneFiles_.make("keep.bin", huge);

  ASSERT_NO_FATAL_FAILURE(openFiles("keep.bin"));
  phone_->setFiles("#files-upload", {chosen});
  answerConfirmation(true);
  const std::string row = ".file-progress[data-name=\"keep.bin\"]";
  phone_->requireTrue("Number(" + element(row) + "?.dataset.bytes) >= 1048576");
  // The temporary file is there while the upload runs, hidden beside its final name.
  EXPECT_EQ(uploadLeftovers(disk.path()).size(), 1u);
  phone_->tap(row + " .file-cancel");
  const auto record = transferEnds("keep.bin", "cancelled");
  EXPECT_LT(record.at("bytes").to_number<double>(), static_cast<double>(huge.size()));
  EXPECT_TRUE(eventually([&] { return uploadLeftovers(disk.path()).empty(); }))
      << uploadLeftovers(disk.path()).front();
  EXPECT_EQ(contentOf(disk / "keep.bin"), "the original");
}

}  // namespace
}  // namespace lumora
