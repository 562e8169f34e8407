#include <malloc.h>

#include <csignal>
#include <string>
#include <vector>

#include "cli.h"

int main(int argc, char** argv) {
  // A closed output pipe (lumora ... | head) shows up as a failed write, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  // File transfers pass megabyte-sized messages through several buffers on two threads. With
  // glibc's defaults each such buffer is mapped fresh or handed back to the system when freed
  // (the connection thread's arena trims eagerly), so every chunk paid for page faults again:
  // downloads ran at less than half their speed. Keep freed memory for reuse instead; a
  // transfer holds at most its window of chunks, a few tens of megabytes.
  ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
  return lumora::cli::runCli(std::vector<std::string>(argv + 1, argv + argc));
}
