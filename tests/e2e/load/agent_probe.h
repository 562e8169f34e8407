#pragma once

// What the kernel reports about a running agent: its resident memory and open descriptors,
// read from /proc, and whether the process is still alive (a dead child lingers as a zombie).

#include <sys/types.h>

#include <cstddef>

namespace lumora::load {

// VmRSS in bytes; 0 when the process is gone.
std::size_t residentBytes(pid_t pid);

// Entries of /proc/<pid>/fd; 0 when the process is gone.
std::size_t openDescriptors(pid_t pid);

// True while the process exists and has not exited (a zombie counts as exited).
bool isRunning(pid_t pid);

}  // namespace lumora::load
