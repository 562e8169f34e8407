#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lumora::cli {

// A mistake in how the program was called; main prints it with a hint to --help.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct OptionSpec {
  std::string name;  // without the leading dashes
  bool takesValue = false;
};

// One command's arguments, split into words and --options.
class ParsedArgs {
 public:
  std::vector<std::string> positionals;

  bool has(std::string_view name) const { return options_.count(std::string(name)) > 0; }
  std::optional<std::string> value(std::string_view name) const;
  void set(std::string name, std::string value) { options_[std::move(name)] = std::move(value); }

 private:
  std::map<std::string, std::string> options_;
};

// Splits `args`: "--name value", "--name=value" and flags as `specs` declare them; "--" ends
// the options; a word starting with a dash and a digit ("-3", "-0.5") is a word, so negative
// numbers need no escaping. With `stopAtFirstWord`, everything from the first word on is
// taken as words (a remote command line keeps its own options). Throws UsageError for an
// unknown option, a missing value, or a value given to a flag.
ParsedArgs parseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs,
                     bool stopAtFirstWord = false);

// Whole-string conversions; UsageError naming `what` otherwise.
double parseNumber(std::string_view text, std::string_view what);
std::int64_t parseInteger(std::string_view text, std::string_view what, std::int64_t min,
                          std::int64_t max);

}  // namespace lumora::cli
