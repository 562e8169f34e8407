// Transfers against a file system that says no: one that is full, a read-only directory, and
// a download of something that is not a file (a FIFO nobody writes to). Each
// gets a prompt error reply naming the system's reason, leaves no stray or partial file behind,
// and the connection carries on.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/faults/private_mounts.h"
#include "support/agent_process.h"
#include "support/raw_client.h"

namespace lumora::faults {
namespace {

namespace fs = std::filesystem;
using protocol::Bytes;
using protocol::Envelope;
using protocol::MessageType;
using testing_support::AgentProcess;
using testing_support::contentOf;
using testing_support::describe;
using testing_support::RawClient;
using testing_support::TempDir;

constexpr std::size_t kChunk = protocol::FileTransfer::chunkSize;

std::string upload(RawClient& client, const std::string& path, std::size_t size,
                   std::int64_t offset, bool isFinal) {
  return describe(client.ask(protocol::FileUploadRequest{path, Bytes(size, 'u'), offset, isFinal}));
}

std::vector<std::string> namesIn(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// An agent started after the test's mounts, so it sees them, and a connection to it.
class HostileFileSystemTest : public ::testing::Test {
 protected:
  void startAgent() {
    agent_.emplace(home_, /*resetPairing=*/false);
    ASSERT_TRUE(agent_->serving()) << agent_->log();
    client_.emplace(agent_->controlPort());
    client_->authenticate(agent_->secret());
  }

  void expectConnectionServes() {
    EXPECT_EQ(client_->ask(protocol::PingRequest{}).payload.messageType(), MessageType::ack);
  }

  TempDir home_;
  PrivateMounts mounts_;
  std::optional<AgentProcess> agent_;
  std::optional<RawClient> client_;
};

TEST_F(HostileFileSystemTest, UploadsIntoAFullFileSystemFailWithoutLeavingFilesBehind) {
  const std::string full = home_ / "full";
  fs::create_directory(full);
  if (auto failure = mounts_.mountTmpfs(full, 3 * kChunk / 2); !failure.empty()) {
    GTEST_SKIP() << "no private tmpfs on this machine: " << failure;
  }
  home_.make("full/kept.txt", "old content");
  ASSERT_NO_FATAL_FAILURE(startAgent());
  const std::string enospc = "internal: No space left on device";

  // A first chunk that does not fit: nothing of it stays, under its name or any other.
  EXPECT_EQ(upload(*client_, full + "/big.bin", 2 * kChunk, 0, false), enospc);
  EXPECT_EQ(namesIn(full), std::vector<std::string>{"kept.txt"});
  // Replacing a file with one that does not fit leaves the old one as it was.
  EXPECT_EQ(upload(*client_, full + "/kept.txt", 2 * kChunk, 0, true), enospc);
  EXPECT_EQ(contentOf(full + "/kept.txt"), "old content");
  EXPECT_EQ(namesIn(full), std::vector<std::string>{"kept.txt"});

  // The disk fills up during an upload: the chunk that does not fit is refused.
  EXPECT_EQ(upload(*client_, full + "/growing.bin", kChunk, 0, false), "ack");
  EXPECT_EQ(upload(*client_, full + "/growing.bin", kChunk, kChunk, true), enospc);
  // Once space is freed the same upload goes through.
  EXPECT_EQ(describe(client_->ask(protocol::FileRemoveRequest{full + "/growing.bin"})), "ack");
  EXPECT_EQ(upload(*client_, full + "/growing.bin", kChunk / 2, 0, false), "ack");
  EXPECT_EQ(upload(*client_, full + "/growing.bin", kChunk / 2, kChunk / 2, true), "ack");
  EXPECT_EQ(fs::file_size(full + "/growing.bin"), kChunk);
  expectConnectionServes();
}

TEST_F(HostileFileSystemTest, AReadOnlyDirectoryRefusesEveryChangeAndStillServesReads) {
  const std::string readOnly = home_ / "read-only";
  fs::create_directory(readOnly);
  home_.make("read-only/kept.txt", "keep me");
  if (auto failure = mounts_.bindReadOnly(readOnly); !failure.empty()) {
    GTEST_SKIP() << "no private read-only bind mount on this machine: " << failure;
  }
  ASSERT_NO_FATAL_FAILURE(startAgent());
  const std::string erofs = "internal: Read-only file system";
  const std::string kept = readOnly + "/kept.txt";

  // A whole file (replacing or new, through a temporary beside it) and a chunk written in place.
  EXPECT_EQ(upload(*client_, kept, 100, 0, true), erofs);
  EXPECT_EQ(upload(*client_, kept, 100, 7, true), erofs);
  EXPECT_EQ(describe(client_->ask(protocol::FileRemoveRequest{kept})), erofs);
  EXPECT_EQ(describe(client_->ask(protocol::FileMoveRequest{kept, home_ / "moved.txt"})), erofs);
  EXPECT_EQ(namesIn(readOnly), std::vector<std::string>{"kept.txt"});
  EXPECT_EQ(contentOf(kept), "keep me");

  Envelope read = client_->ask(protocol::FileDownloadRequest{kept, 0, std::nullopt});
  ASSERT_EQ(read.payload.messageType(), MessageType::fileDownloadResult) << describe(read);
  const auto& chunk = *read.payload.get<MessageType::fileDownloadResult>();
  EXPECT_EQ(std::string(chunk.data.begin(), chunk.data.end()), "keep me");
  EXPECT_TRUE(chunk.eof);
  expectConnectionServes();
}

TEST_F(HostileFileSystemTest, WhatIsNotARegularFileIsRefusedAtOnce) {
  const std::string fifo = home_ / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_NO_FATAL_FAILURE(startAgent());

  // Opening a FIFO nobody writes to would wait for a writer forever. (A device or a directory
  // is refused by the same check of the file's type.)
  EXPECT_EQ(describe(client_->ask(protocol::FileDownloadRequest{fifo, 0, kChunk})),
            "internal: not a regular file: " + fifo);
  // Writing into the middle of a FIFO (nobody reads it) is refused the same way.
  EXPECT_EQ(upload(*client_, fifo, 10, 5, true), "internal: not a regular file: " + fifo);
  struct stat info {};
  ASSERT_EQ(::lstat(fifo.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  expectConnectionServes();
}

}  // namespace
}  // namespace lumora::faults
