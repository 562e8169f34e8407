#pragma once

// Starting the programs a test or a benchmark drives, with posix_spawn (nothing runs between
// fork and exec), and waiting for them.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace lumora::testing_support {

struct SpawnOptions {
  // Replaces the environment when given, with this run's sanitizer settings added, so that an
  // instrumented program reports where the run's settings send reports; otherwise the program
  // inherits this process's environment.
  std::optional<std::vector<std::string>> environment{};
  // Where each standard stream goes: a file opened for it (output is appended to, created
  // 0600), or a descriptor of this process when the descriptor is set.
  std::string input = "/dev/null";
  std::string output = "/dev/null";
  std::string error = "/dev/null";
  int inputFd = -1;
  int outputFd = -1;
  // A descriptor of this process the program gets as its descriptor 3 (Xvfb's -displayfd 3).
  // No other descriptor beyond the three streams is inherited.
  int passFd = -1;
  // A pseudo-terminal's device: the program gets a session of its own with this as its
  // controlling terminal and all three streams (the stream settings above are then ignored).
  std::string terminal{};
};

// Starts `argv` (a bare name is looked up on PATH); throws std::runtime_error when it cannot.
pid_t spawnProcess(const std::vector<std::string>& argv, const SpawnOptions& options = {});

// A program started with one end of a socket pair as its standard input and output, so that
// the test talks to it line by line (and a program that died costs no SIGPIPE).
struct ChannelledProcess {
  pid_t pid = -1;
  int channel = -1;  // this process's end, to close when done
};
// Starts `argv` so; `options` says the rest (its input and output settings are replaced).
// Throws std::runtime_error when it cannot.
ChannelledProcess spawnWithChannel(const std::vector<std::string>& argv, SpawnOptions options);

// Waits for `pid` to end: its exit status, or 128 + the signal that ended it.
int waitForExit(pid_t pid);

struct ProgramRun {
  int exitCode = -1;
  std::string output;  // what it wrote to its standard output
};

// Runs `argv` to its end and collects its standard output (`options` says the rest; its output
// settings are replaced). Throws std::runtime_error when it cannot be started.
ProgramRun runProgram(const std::vector<std::string>& argv, SpawnOptions options = {});

// Whether `pid` has ended, reaping it if so (then `pid` becomes -1); a pid of -1 has ended.
bool reapIfEnded(pid_t& pid);
// SIGTERM, then SIGKILL when it has not ended within `grace`; waits for it either way and sets
// `pid` to -1. Nothing for a pid of -1.
void endProcess(pid_t& pid, std::chrono::milliseconds grace = std::chrono::seconds(3));
// One line a child writes to `fd`, without its newline, within `limit`; none when the time
// passed or the child closed its end first.
std::optional<std::string> readLine(int fd, std::chrono::milliseconds limit);
// The last part of a program's log, for an error message.
std::string logTail(const std::string& path);

// This process's sanitizer settings, as environment entries.
std::vector<std::string> sanitizerEnvironment();

}  // namespace lumora::testing_support
