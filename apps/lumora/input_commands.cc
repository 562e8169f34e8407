// move, click, type, key, scroll: pointer and keyboard on the agent.

#include <array>
#include <utility>

#include <boost/describe/enum_from_string.hpp>

#include "command.h"
#include "failure.h"

namespace lumora::cli {

namespace {

// Key names people type for the codes the agent takes (the virtual key codes of its wire
// protocol); anything else is given as a number.
constexpr std::array<std::pair<std::string_view, std::uint16_t>, 17> kKeyNames = {{
    {"return", 36},
    {"enter", 36},
    {"tab", 48},
    {"space", 49},
    {"backspace", 51},
    {"delete", 51},
    {"escape", 53},
    {"esc", 53},
    {"forward-delete", 117},
    {"home", 115},
    {"end", 119},
    {"pageup", 116},
    {"pagedown", 121},
    {"left", 123},
    {"right", 124},
    {"down", 125},
    {"up", 126},
}};

std::uint16_t keyCode(const std::string& text) {
  for (const auto& [name, code] : kKeyNames) {
    if (name == text) return code;
  }
  return static_cast<std::uint16_t>(parseInteger(text, "key code", 0, 65535));
}

protocol::MouseButton button(const ParsedArgs& args) {
  const std::string name = args.value("button").value_or("left");
  if (name == "left") return protocol::MouseButton::left;
  if (name == "right") return protocol::MouseButton::right;
  if (name == "middle") return protocol::MouseButton::middle;
  throw UsageError("invalid button '" + name + "' (left, right or middle)");
}

double fraction(const std::string& text, const char* what) {
  double value = parseNumber(text, what);
  if (value < 0 || value > 1) {
    throw UsageError(std::string(what) + " must be a fraction of the display, 0…1");
  }
  return value;
}

int move(CommandContext& context) {
  const double x = fraction(context.word(0), "X");
  const double y = fraction(context.word(1), "Y");
  auto client = context.connect();
  await(client.moveMouse(x, y), "cannot move the pointer");
  return 0;
}

int click(CommandContext& context) {
  if (context.wordCount() == 1) throw UsageError("give both X and Y, or neither");
  const auto which = button(context.args());
  std::optional<std::pair<double, double>> at;
  if (context.wordCount() == 2) {
    at.emplace(fraction(context.word(0), "X"), fraction(context.word(1), "Y"));
  }
  auto client = context.connect();
  await(at ? client.click(at->first, at->second, which) : client.clickAtCursor(which),
        "cannot click");
  return 0;
}

int type(CommandContext& context) {
  auto client = context.connect();
  await(client.typeText(context.word(0)), "cannot type");
  return 0;
}

int key(CommandContext& context) {
  const std::uint16_t code = keyCode(context.word(0));
  const std::string actionName = context.args().value("action").value_or("press");
  protocol::KeyAction action{};
  if (!boost::describe::enum_from_string(actionName.c_str(), action)) {
    throw UsageError("invalid action '" + actionName + "' (down, up or press)");
  }
  auto client = context.connect();
  await(client.pressKey(code, action), "cannot send the key");
  return 0;
}

int scroll(CommandContext& context) {
  const double dx = parseNumber(context.word(0), "DX");
  const double dy = parseNumber(context.word(1), "DY");
  auto client = context.connect();
  await(client.scroll(dx, dy), "cannot scroll");
  return 0;
}

}  // namespace

std::vector<Command> inputCommands() {
  return {
      {"move",
       "X Y",
       "move the pointer (fractions of the display, 0…1)",
       "",
       {},
       2,
       2,
       false,
       move},
      {"click",
       "[X Y] [--button B]",
       "click, at X Y or where the pointer is",
       "",
       {{"button", "B", "left (default), right or middle"}},
       0,
       2,
       false,
       click},
      {"type", "TEXT", "type text", "", {}, 1, 1, false, type},
      {"key",
       "CODE [--action A]",
       "press a key by virtual key code or name",
       "CODE is a number or one of: return, tab, space, backspace, escape, forward-delete,\n"
       "home, end, pageup, pagedown, left, right, up, down.",
       {{"action", "A", "press (default), down or up"}},
       1,
       1,
       false,
       key},
      {"scroll",
       "DX DY",
       "scroll the wheel by DX, DY pixels",
       "DX and DY are in pixels (an agent on X11 turns every 32 into one click of the wheel).\n"
       "A positive DY scrolls up, towards the top of a page, a negative one down; a positive\n"
       "DX scrolls left, a negative one right. Negative numbers need no quoting:\n"
       "lumora scroll 0 -64 scrolls down by two clicks.",
       {},
       2,
       2,
       false,
       scroll},
  };
}

}  // namespace lumora::cli
