#pragma once

#include <string>
#include <vector>

namespace lumora::cli {

// The whole program: picks the command named by args[0], runs it and returns the exit status.
// Errors are printed as one line on standard error: "lumora: <what failed>: <why>".
int runCli(const std::vector<std::string>& args);

// The command list that `lumora --help` prints.
std::string overviewHelp();

}  // namespace lumora::cli
