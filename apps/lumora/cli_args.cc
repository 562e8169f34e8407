#include "cli_args.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

namespace lumora::cli {

std::optional<std::string> ParsedArgs::value(std::string_view name) const {
  auto found = options_.find(std::string(name));
  if (found == options_.end()) return std::nullopt;
  return found->second;
}

namespace {

bool looksLikeNumber(const std::string& word) {
  return word.size() >= 2 && word[0] == '-' &&
         (std::isdigit(static_cast<unsigned char>(word[1])) || word[1] == '.');
}

}  // namespace

ParsedArgs parseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs,
                     bool stopAtFirstWord) {
  ParsedArgs parsed;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (optionsEnded || word.size() < 2 || word[0] != '-' || looksLikeNumber(word)) {
      parsed.positionals.push_back(word);
      if (stopAtFirstWord) optionsEnded = true;
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    if (word[1] != '-') throw UsageError("unknown option " + word);
    std::string name = word.substr(2);
    std::optional<std::string> inlineValue;
    if (auto eq = name.find('='); eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.resize(eq);
    }
    auto known = std::find_if(specs.begin(), specs.end(),
                              [&](const OptionSpec& candidate) { return candidate.name == name; });
    if (known == specs.end()) throw UsageError("unknown option --" + name);
    if (!known->takesValue) {
      if (inlineValue) throw UsageError("option --" + name + " takes no value");
      parsed.set(name, "");
    } else if (inlineValue) {
      parsed.set(name, *inlineValue);
    } else if (i + 1 < args.size()) {
      parsed.set(name, args[++i]);
    } else {
      throw UsageError("option --" + name + " needs a value");
    }
  }
  return parsed;
}

double parseNumber(std::string_view text, std::string_view what) {
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
      !std::isfinite(value)) {
    throw UsageError("invalid " + std::string(what) + ": '" + std::string(text) + "'");
  }
  return value;
}

std::int64_t parseInteger(std::string_view text, std::string_view what, std::int64_t min,
                          std::int64_t max) {
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < min ||
      value > max) {
    throw UsageError("invalid " + std::string(what) + ": '" + std::string(text) + "' (expected " +
                     std::to_string(min) + "…" + std::to_string(max) + ")");
  }
  return value;
}

}  // namespace lumora::cli
