#pragma once

// Runs the lumora program for the command-line tests, with a home of the test's.

#include <filesystem>
#include <string>
#include <vector>

#include "support/spawn.h"
#include "support/temp_dir.h"

namespace lumora::cli {

struct Outcome {
  int status = -1;  // the exit status (128 + signal when a signal ended it)
  std::string out;
  std::string err;
};

// Runs lumora to the end with HOME = `home` and the extra environment entries.
inline Outcome runLumora(const testing_support::TempDir& home, std::vector<std::string> args,
                         std::vector<std::string> env = {}) {
  args.insert(args.begin(), LUMORA_CLI_BINARY);
  env.push_back("HOME=" + home.path().string());
  env.push_back("PATH=/usr/bin:/bin");
  const std::string out = home / "lumora.out", err = home / "lumora.err";
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  const int status = testing_support::waitForExit(
      testing_support::spawnProcess(args, {.environment = env, .output = out, .error = err}));
  return {status, testing_support::contentOf(out), testing_support::contentOf(err)};
}

}  // namespace lumora::cli
