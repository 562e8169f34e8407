#pragma once

// The mixed requests a load client sends, and what a correct agent answers to each. The agent's
// answer is derived from the request alone (which file, which range, which words to echo), so
// a reply that reaches the wrong request, or carries the wrong bytes, does not pass.

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "protocol/envelope.h"

namespace lumora::load {

class RequestMix {
 public:
  // Fills `directory` (empty) with the files the downloads and listings read.
  explicit RequestMix(std::filesystem::path directory);

  // A fresh request: mostly pings, listings and downloads of byte ranges, and one-shot
  // commands at roughly one in `commandEvery`, since each of those starts a shell.
  protocol::Envelope next(std::mt19937& random, int commandEvery) const;

  // Empty when `reply` is the right answer to `request`; otherwise what is wrong with it.
  std::string check(const protocol::Envelope& request, const protocol::Envelope& reply) const;

 private:
  std::string checkListing(const protocol::FileListRequest& request,
                           const protocol::Envelope& reply) const;
  std::string checkDownload(const protocol::FileDownloadRequest& request,
                            const protocol::Envelope& reply) const;
  static std::string checkCommand(const protocol::TerminalRunRequest& request,
                                  const protocol::Envelope& reply);

  std::filesystem::path directory_;
  std::map<std::string, protocol::Bytes> files_;  // by full path
  std::vector<protocol::FileEntry> listing_;      // what listing the directory gives
};

}  // namespace lumora::load
