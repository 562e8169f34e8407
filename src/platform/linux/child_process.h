#pragma once

// Starting and ending child processes: posix_spawn with a clean signal state and no inherited
// descriptors beyond the three standard ones, a pidfd to wait on, and session-wide signalling
// for interactive shells whose jobs live in process groups, or sessions, of their own.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/unique_fd.h"

namespace lumora::platform::linux_os {

struct SpawnRequest {
  std::string program;
  std::vector<std::string> arguments;  // argv[1...]; argv[0] is the program
  // Descriptors that become the child's 0, 1 and 2.
  int standardInput = -1;
  int standardOutput = -1;
  int standardError = -1;
  // Make the child the leader of a new session; with `controllingTerminal` it then opens that
  // terminal as its standard streams, which makes it the session's controlling terminal.
  bool newSession = false;
  std::optional<std::string> controllingTerminal;
  // "NAME=value" entries added to the agent's own environment (replacing a variable of the
  // same name).
  std::vector<std::string> environment;
};

struct ChildProcess {
  pid_t pid = -1;
  UniqueFd pidfd;  // readable once the child has exited
};

// Throws std::system_error with the system's message (e.g. "No such file or directory" for a
// missing program) when the child cannot be started.
ChildProcess spawnChild(const SpawnRequest& request);

// The exit code of a wait status: the code it exited with, or 128 + the signal that ended it.
int exitCodeFromWaitStatus(int status);

// Reaps `child` (which must have exited or be about to) and returns its exit code.
int reapChild(ChildProcess& child);

// Sends `signal` to every process whose session is `sessionId` and, when `mark` ("NAME=value")
// is given, to every process whose environment holds it: a job that left the session (setsid,
// a daemon's double fork) still carries the environment its shell gave it. Returns how many
// processes it signalled (zombies are left alone).
int signalSession(pid_t sessionId, int signal, std::string_view mark = {});

// Kills every process of the session and every one carrying `mark`, sweeping again a moment
// later until a sweep finds nothing. One sweep can miss a process forked behind it, or one in
// the middle of exec, whose environment cannot be read for that instant. Blocks while it
// sweeps (20 ms between sweeps, at most about a second).
void killSessionRemains(pid_t sessionId, std::string_view mark = {});

// For a child whose owner is gone: hang up its session (and what carries `mark`), kill what
// remains after `grace`, and reap the child, on a thread of its own, so no zombie stays behind.
void endSessionInBackground(ChildProcess child, std::chrono::milliseconds grace,
                            std::string mark = {});

}  // namespace lumora::platform::linux_os
