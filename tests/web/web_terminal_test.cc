// The web client's terminal panel against the real agent: a shell on the computer typed into with
// the phone's keyboard and key strip, sized to the phone.

#include <gtest/gtest.h>

#include <string>

#include "support/process_table.h"
#include "web/web_fixture.h"

namespace lumora {
namespace {

using namespace std::chrono_literals;
using namespace web_testing;
using testing_support::contentOf;
using testing_support::eventually;
using testing_support::processEnded;

// The panel's first terminal, which it opens by itself.
constexpr const char* kTerminal = "window.lumora.terminals[0]";

class WebTerminalTest : public WebEndToEndTest {
 protected:
  // Whether the terminal comes to show `text`.
  bool shows(const std::string& text) {
    return phone_->waitUntil(std::string(kTerminal) + "?.text.includes(" + jsString(text) + ")");
  }
  std::string text() {
    return std::string(phone_->eval(std::string(kTerminal) + ".text").as_string());
  }

  // Typed on the phone's keyboard into the terminal, after a tap on it as a person's.
  void typeIntoTerminal(const std::string& text) {
    phone_->tap(".term-host:not([hidden]) .xterm-screen");
    phone_->type(text);
  }
};

// A command typed key by key runs and shows its output; a phone keyboard's text input (not
// keys) reaches the shell as UTF-8; Ctrl latched on the key strip acts on the next key (Ctrl-D
// ends the input of cat); the shell sees the size the phone gives it, before and after it turns;
// a shell that exits shows its code and its terminal closes.
TEST_F(WebTerminalTest, RunsTypedCommandsAndTheStripsCtrlActsOnTheNextKey) {
  ASSERT_NO_FATAL_FAILURE(openPanel("terminal"));
  phone_->requireTrue(std::string(kTerminal) + "?.state === 'running'");
  // Output bytes are UTF-8 decoded by the terminal, not piece by piece.
  typeIntoTerminal("printf '\\xed\\x95\\x9c\\xea\\xb8\\x80-ok\\n'\n");
  EXPECT_TRUE(shows("\n한글-ok")) << text();

  // Characters no key makes arrive as a keyboard's text input (as a phone's IME gives them).
  typeIntoTerminal("cat > ~/typed.txt\n");
  // The terminal takes text input a moment after its event, so a key pressed at once could
  // overtake it; a person presses Enter once the text shows.
  typeIntoTerminal("añ한");
  EXPECT_TRUE(shows("\nañ한")) << text();
  typeIntoTerminal("\n");
  phone_->tap("button[data-term-key=\"Control\"]");
  typeIntoTerminal("d");
  const std::string typed = agent_->home() / "typed.txt";
  EXPECT_TRUE(eventually([&] { return contentOf(typed) == "añ한\n"; })) << contentOf(typed);

  // The shell's own process id, as it says with `echo $$`.
  typeIntoTerminal("echo pid-$$-end\n");
  const std::string said = std::string(kTerminal) + "?.text.match(/\\npid-(\\d+)-end/)?.[1]";
  phone_->requireTrue(said);
  const pid_t shell = std::stoi(std::string(phone_->eval(said).as_string()));

  // The terminal is fitted to the phone and refitted when the phone turns: the shell sees each
  // size the page shows.
  const auto columnsTheShellSees = [&] {
    const std::string terminal = kTerminal;
    const std::string size(
        phone_->eval(terminal + ".rows + ' ' + " + terminal + ".cols").as_string());
    typeIntoTerminal("stty size\n");
    EXPECT_TRUE(shows("\n" + size + "\n")) << size << " vs " << text();
    return std::stoi(size.substr(size.find(' ') + 1));
  };
  const int portraitColumns = columnsTheShellSees();
  EXPECT_GT(portraitColumns, 35);  // about 7–8 CSS pixels a column on a 412-pixel-wide phone
  EXPECT_LT(portraitColumns, 60);
  phone_->ask({{"op", "viewport"}, {"width", 915}, {"height", 412}});
  phone_->requireTrue(std::string(kTerminal) + ".cols > " + std::to_string(portraitColumns + 40));
  columnsTheShellSees();

  // No style the page's policy refuses (Chromium logs each refusal): the terminal's styles came
  // through files and the CSS object model.
  EXPECT_EQ(phone_->log().find("Content Security Policy"), std::string::npos) << phone_->log();

  typeIntoTerminal("exit 3\n");
  phone_->requireTrue(std::string(kTerminal) + ".exitCode === 3");
  EXPECT_EQ(phone_->text(".term-chip[data-terminal=\"1\"] .term-label"), "Terminal 1 · exit 3");
  phone_->tap(".term-chip[data-terminal=\"1\"] .term-close");
  phone_->require(".term-empty");
  EXPECT_TRUE(eventually([&] { return processEnded(shell); }, 10s));
}

}  // namespace
}  // namespace lumora
