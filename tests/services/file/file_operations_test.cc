#include "services/file/file_operations.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <system_error>

#include "support/scoped_environment.h"
#include "support/temp_dir.h"
#include "support/thrown.h"

namespace lumora::services {
namespace {

using testing_support::contentOf;
using testing_support::messageThrownBy;
using testing_support::TempDir;

namespace ops = file_operations;
using protocol::Bytes;
using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::HasSubstr;

TEST(FileListTest, DirectoriesFirstThenCodePointOrderAndFailuresSayWhy) {
  TempDir dir;
  std::filesystem::create_directory(dir.path() / "a");
  std::filesystem::create_directory(dir.path() / "A");
  dir.make("b.txt", "12345");
  dir.make(".hidden", "");
  dir.make("\xc3\xa9t\xc3\xa9", "");  // é sorts after every ASCII name
  std::filesystem::create_directory_symlink(dir.path() / "a", dir.path() / "link");

  ops::Listing listing = ops::list(dir.path().string() + "/");
  using Entry = ops::Entry;
  EXPECT_THAT(listing.entries,
              ElementsAre(Field(&Entry::name, "A"), Field(&Entry::name, "a"),
                          Field(&Entry::name, ".hidden"), Field(&Entry::name, "b.txt"),
                          Field(&Entry::name, "link"), Field(&Entry::name, "\xc3\xa9t\xc3\xa9")));
  EXPECT_EQ(listing.nameCount, 6u);
  // The link's own attributes: not a directory.
  EXPECT_FALSE(listing.entries[4].isDirectory);

  // Failures carry the system's message.
  EXPECT_EQ(messageThrownBy([&] { ops::list(dir / "b.txt"); }), "Not a directory");
}

TEST(PathTest, TildeExpandsOnlyAtTheStart) {
  TempDir home;
  const testing_support::ScopedEnvironment homeIsHere("HOME", home.path().string());
  EXPECT_EQ(ops::expandTilde("~"), home.path().string());
  EXPECT_EQ(ops::expandTilde("~/docs/a"), home / "docs/a");
  EXPECT_EQ(ops::expandTilde("a/~/b"), "a/~/b");

  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(ops::resolvePath("rel/x//"), std::string(cwd) + "/rel/x");
}

TEST(ReadChunkTest, OffsetAndLengthEdgesAndTheCap) {
  TempDir dir;
  std::string path = dir.make("f", "0123456789");

  EXPECT_EQ(ops::readChunk(path, 0, std::nullopt),
            (ops::Chunk{protocol::bytesOf("0123456789"), 10, true}));
  EXPECT_EQ(ops::readChunk(path, 4, 3), (ops::Chunk{protocol::bytesOf("456"), 10, false}));
  EXPECT_EQ(ops::readChunk(path, 7, 3), (ops::Chunk{protocol::bytesOf("789"), 10, true}));
  EXPECT_EQ(ops::readChunk(path, 10, 5), (ops::Chunk{{}, 10, true}));
  EXPECT_EQ(ops::readChunk(path, -10, 2), (ops::Chunk{protocol::bytesOf("01"), 10, false}));
  EXPECT_EQ(ops::readChunk(path, 0, -5), (ops::Chunk{{}, 10, false}));
  EXPECT_EQ(messageThrownBy([&] { ops::readChunk(dir / "missing", 0, 1); }),
            "No such file or directory");

  // One chunk is capped; a chunked reader carries on from there.
  const std::string big = dir / "big";
  const std::int64_t size = ops::kMaxChunkLength + 1000;
  { std::ofstream(big) << ""; }
  ASSERT_EQ(::truncate(big.c_str(), size), 0);
  EXPECT_EQ(ops::readChunk(big, 0, std::nullopt).data.size(), std::size_t(ops::kMaxChunkLength));
  EXPECT_FALSE(ops::readChunk(big, 0, std::nullopt).eof);
  EXPECT_EQ(ops::readChunk(big, ops::kMaxChunkLength, size), (ops::Chunk{Bytes(1000), size, true}));
}

TEST(WriteChunkTest, FirstChunkReplacesLaterChunksFillFinalChunkTrims) {
  TempDir dir;
  std::string path = dir.make("f", "an older and much longer content");

  ops::writeChunk(path, protocol::bytesOf("new"), 0, false);
  EXPECT_EQ(contentOf(path), "new");
  ops::writeChunk(path, protocol::bytesOf("er content"), 3, false);
  EXPECT_EQ(contentOf(path), "newer content");
  // The final chunk rewrites the middle and cuts off whatever followed it.
  ops::writeChunk(path, protocol::bytesOf("!"), 5, true);
  EXPECT_EQ(contentOf(path), "newer!");

  EXPECT_EQ(
      messageThrownBy([&] { ops::writeChunk(dir / "missing", protocol::bytesOf("x"), 10, false); }),
      "No such file or directory");
  EXPECT_THAT(messageThrownBy([&] { ops::writeChunk(path, protocol::bytesOf("x"), -1, false); }),
              HasSubstr("invalid offset -1"));
  EXPECT_EQ(contentOf(path), "newer!");
}

TEST(WriteTest, ReplacesWholeKeepsPermissionsLeavesNoTemporaries) {
  TempDir dir;
  std::string path = dir.make("secret", "old");
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ops::write(path, protocol::bytesOf("new content"));
  EXPECT_EQ(contentOf(path), "new content");
  EXPECT_EQ(testing_support::fileMode(path), 0600u);

  ops::write(dir / "fresh", {});
  EXPECT_EQ(contentOf(dir / "fresh"), "");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
  EXPECT_EQ(messageThrownBy([&] { ops::write(dir / "no/such/dir", protocol::bytesOf("x")); }),
            "No such file or directory");
}

TEST(MoveRemoveTest, PathsAreTakenAsGiven) {
  TempDir dir;
  std::string a = dir.make("a", "A");
  std::string b = dir.make("b", "B");
  EXPECT_EQ(messageThrownBy([&] { ops::move(a, b); }), "File exists");
  EXPECT_EQ(contentOf(b), "B");

  std::filesystem::create_directories(dir.path() / "tree/deep/er");
  dir.make("tree/deep/er/leaf", "x");
  ops::remove(dir / "tree");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "tree"));
}

}  // namespace
}  // namespace lumora::services
