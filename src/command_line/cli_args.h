#pragma once

// How lumora, lumora-agent and the benchmarks read their command lines. Boost.Program_options
// splits the words, knows the options and their arity, and lays out their --help lines; what
// is ours is two word rules (below) and the numbers our options take.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lumora::command_line {

// A mistake in how the program was called: printed as one line with a hint to --help, exit
// status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct OptionSpec {
  std::string name;       // without the leading dashes; "help,h" adds the short form -h
  std::string valueName;  // the value's placeholder in --help ("N", "FILE"); empty for a flag
  std::string help;       // what --help says of it
};

// One command line, split into words and --options.
class ParsedArgs {
 public:
  std::vector<std::string> positionals;

  bool has(std::string_view name) const { return options_.contains(name); }
  // A flag's value is empty.
  std::optional<std::string> value(std::string_view name) const;
  void set(std::string name, std::string value) { options_[std::move(name)] = std::move(value); }

  // The option's value as a whole number within [min, max], or as a positive number of
  // seconds; nothing when the option was not given, UsageError naming the option when its
  // value is not such a number.
  std::optional<std::int64_t> integer(std::string_view name, std::int64_t min,
                                      std::int64_t max) const;
  std::optional<double> seconds(std::string_view name) const;

 private:
  std::map<std::string, std::string, std::less<>> options_;
};

// Splits `args` by the `known` options: "--name value" and "--name=value" for options that take
// a value, "--name" for flags; "--" ends the options. A word that starts with a dash and a digit
// or a point ("-3", "-.5") is a word, so negative numbers need no escaping. With
// `stopAtFirstWord`, everything from the first word on is taken as words (a remote command line
// keeps its own options). Throws UsageError for an unknown or repeated option, a missing value,
// or a value given to a flag.
ParsedArgs parseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& known,
                     bool stopAtFirstWord = false);

// The options' --help lines, names and placeholders in one column, what they do in the next.
std::string describeOptions(const std::vector<OptionSpec>& options);

// Whole-string conversions of a word or value; UsageError naming `what` otherwise.
double parseNumber(std::string_view text, std::string_view what);
std::int64_t parseInteger(std::string_view text, std::string_view what, std::int64_t min,
                          std::int64_t max);

}  // namespace lumora::command_line
