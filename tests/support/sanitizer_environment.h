#pragma once

// The sanitizer settings of this test process, for the programs a test starts with an
// environment of its own (the agent, the lumora program). In a sanitizer build those programs
// are instrumented too, and their reports must go where the run's settings send them (a report
// folder that scripts/test checks), not vanish with a test's private home.

#include <cstdlib>
#include <string>
#include <vector>

namespace lumora::testing_support {

inline std::vector<std::string> sanitizerEnvironment() {
  std::vector<std::string> entries;
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) entries.push_back(std::string(name) + "=" + value);
  }
  return entries;
}

}  // namespace lumora::testing_support
