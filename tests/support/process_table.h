#pragma once

// What the kernel says about processes, read from /proc with read(2): a process may end
// between opening one of its files and reading it (the read then fails with ESRCH), which
// streams would report by throwing. Every reader here gives an empty or zero answer instead.

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace lumora::testing_support {

// The whole of one /proc file, or nothing if the process is gone.
std::string readProcFile(const std::string& path);

// Whether `pid` has ended; a zombie nobody reaps counts as ended.
bool processEnded(pid_t pid);

// The live processes for which `matches(pid)` holds.
std::vector<pid_t> processesWhere(const std::function<bool(pid_t)>& matches);
// The live processes whose argument vector is exactly `argv`.
std::vector<pid_t> processesRunning(const std::vector<std::string>& argv);
// The live processes whose environment holds `entry` ("NAME=value").
std::vector<pid_t> processesCarrying(const std::string& entry);

// Resident memory in bytes (VmRSS); 0 once the process is gone.
std::size_t residentBytes(pid_t pid);
// Open descriptors; 0 once the process is gone.
std::size_t openDescriptors(pid_t pid);
// Bytes written so far (its write(2) total); -1 once the process is gone.
long long bytesWritten(pid_t pid);

}  // namespace lumora::testing_support
