#pragma once

// Runs programs to their end in a test's own home, as a user would from a shell: what the CLI's
// end-to-end suites share. LUMORA_CLI_BINARY names the lumora program under test.

#include <gtest/gtest.h>

#include <algorithm>
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

// Runs `argv` to the end with HOME = `home`, PATH = `path` and the extra environment entries.
inline Outcome run(const testing_support::TempDir& home, const std::vector<std::string>& argv,
                   std::vector<std::string> env = {}, const std::string& path = "/usr/bin:/bin") {
  env.insert(env.end(), {"HOME=" + home.path().string(), "PATH=" + path});
  const std::string out = home / "run.out", err = home / "run.err";
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  const int status = testing_support::waitForExit(
      testing_support::spawnProcess(argv, {.environment = env, .output = out, .error = err}));
  return {status, testing_support::contentOf(out), testing_support::contentOf(err)};
}

inline Outcome runLumora(const testing_support::TempDir& home, std::vector<std::string> args,
                         std::vector<std::string> env = {},
                         const std::string& path = "/usr/bin:/bin") {
  args.insert(args.begin(), LUMORA_CLI_BINARY);
  return run(home, args, std::move(env), path);
}

// A failure is one line of standard error, with this status, naming `named`.
inline void expectOneLine(const Outcome& outcome, int status, const std::string& named) {
  EXPECT_EQ(outcome.status, status) << outcome.err;
  EXPECT_NE(outcome.err.find(named), std::string::npos) << outcome.err;
  EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
}

}  // namespace lumora::cli
