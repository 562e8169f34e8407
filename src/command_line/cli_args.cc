#include "command_line/cli_args.h"

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/parsers.hpp>
#include <boost/program_options/variables_map.hpp>

#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <limits>
#include <sstream>
#include <typeinfo>
#include <utility>

namespace lumora::command_line {

namespace po = boost::program_options;

std::optional<std::string> ParsedArgs::value(std::string_view name) const {
  auto found = options_.find(name);
  if (found == options_.end()) return std::nullopt;
  return found->second;
}

std::optional<std::int64_t> ParsedArgs::integer(std::string_view name, std::int64_t min,
                                                std::int64_t max) const {
  auto text = value(name);
  if (!text) return std::nullopt;
  return parseInteger(*text, "--" + std::string(name), min, max);
}

std::optional<double> ParsedArgs::seconds(std::string_view name) const {
  auto text = value(name);
  if (!text) return std::nullopt;
  const std::string what = "--" + std::string(name);
  // The upper bound keeps a deadline computed from it within a clock's range.
  constexpr double kMaxSeconds = 1e9;
  const double seconds = parseNumber(*text, what);
  if (seconds <= 0 || seconds > kMaxSeconds) {
    throw UsageError("invalid " + what + ": '" + *text +
                     "' (expected a positive number of seconds, at most 1e9)");
  }
  return seconds;
}

namespace {

po::options_description describe(const std::vector<OptionSpec>& options) {
  po::options_description description;
  for (const auto& option : options) {
    if (option.valueName.empty()) {
      description.add_options()(option.name.c_str(), option.help.c_str());
    } else {
      description.add_options()(option.name.c_str(),
                                po::value<std::string>()->value_name(option.valueName),
                                option.help.c_str());
    }
  }
  return description;
}

bool isNegativeNumber(const std::string& word) {
  return word.size() >= 2 && word[0] == '-' &&
         (std::isdigit(static_cast<unsigned char>(word[1])) || word[1] == '.');
}

po::option word(const std::string& text) {
  po::option option;
  option.value.push_back(text);
  option.original_tokens.push_back(text);
  return option;
}

// Program_options reads "-3" as the short option 3, and it knows no "first word ends the
// options". Both are settled here, ahead of its own rules, which see every word first. A word
// right after an option that takes a separate value is that value, so it does not end the
// options.
class WordRules {
 public:
  WordRules(const po::options_description& description, bool stopAtFirstWord)
      : description_(description), stopAtFirstWord_(stopAtFirstWord) {}

  std::vector<po::option> operator()(std::vector<std::string>& rest) {
    const std::string& next = rest.front();
    const bool isValue = std::exchange(valueExpected_, false);
    if (next.starts_with("--") && next.size() > 2) {
      const auto equals = next.find('=');
      const std::string name = next.substr(2, equals == std::string::npos ? equals : equals - 2);
      const auto* option = description_.find_nothrow(name, false);
      valueExpected_ =
          equals == std::string::npos && option && option->semantic()->min_tokens() > 0;
      return {};
    }
    const bool negativeNumber = isNegativeNumber(next);
    if (next.size() > 1 && next[0] == '-' && !negativeNumber) return {};  // -h, --
    if (isValue || !stopAtFirstWord_) {
      if (!negativeNumber) return {};
      std::vector<po::option> taken{word(next)};
      rest.erase(rest.begin());
      return taken;
    }
    std::vector<po::option> words;
    for (const auto& text : rest) {
      words.push_back(word(text));
      // What program_options marks as after "--": never taken as an option's value.
      words.back().position_key = INT_MAX;
    }
    rest.clear();
    return words;
  }

 private:
  const po::options_description& description_;
  const bool stopAtFirstWord_;
  bool valueExpected_ = false;
};

}  // namespace

ParsedArgs parseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& known,
                     bool stopAtFirstWord) {
  const po::options_description description = describe(known);
  WordRules rules(description, stopAtFirstWord);
  ParsedArgs parsed;
  try {
    namespace style = po::command_line_style;
    const po::parsed_options options = po::command_line_parser(args)
                                           .options(description)
                                           .style(style::unix_style & ~style::allow_guessing)
                                           .extra_style_parser(std::ref(rules))
                                           .run();
    po::variables_map values;
    po::store(options, values);
    for (const auto& option : options.options) {
      if (option.string_key.empty()) parsed.positionals.push_back(option.value.front());
    }
    for (const auto& [name, value] : values) {
      parsed.set(name, value.value().type() == typeid(std::string) ? value.as<std::string>() : "");
    }
  } catch (const po::error& e) {
    throw UsageError(e.what());
  }
  return parsed;
}

std::string describeOptions(const std::vector<OptionSpec>& options) {
  std::ostringstream printed;
  printed << describe(options);
  // Program_options leaves the blank at which it wrapped a line at the line's end.
  std::istringstream lines(printed.str());
  std::string text;
  for (std::string line; std::getline(lines, line);) {
    text += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
  }
  return text;
}

double parseNumber(std::string_view text, std::string_view what) {
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
      !std::isfinite(value)) {
    throw UsageError("invalid " + std::string(what) + ": '" + std::string(text) +
                     "' (expected a number)");
  }
  return value;
}

std::int64_t parseInteger(std::string_view text, std::string_view what, std::int64_t min,
                          std::int64_t max) {
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < min ||
      value > max) {
    const std::string expected = max == std::numeric_limits<std::int64_t>::max()
                                     ? "a whole number from " + std::to_string(min) + " on"
                                     : std::to_string(min) + "…" + std::to_string(max);
    throw UsageError("invalid " + std::string(what) + ": '" + std::string(text) + "' (expected " +
                     expected + ")");
  }
  return value;
}

}  // namespace lumora::command_line
