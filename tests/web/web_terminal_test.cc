// The web client's terminal panel against the real agent: shells on the computer typed into with
// the phone's keyboard and key strip, sized to the phone, and ended with the connection.

#include <gtest/gtest.h>

#include <string>

#include "support/process_table.h"
#include "web/web_fixture.h"

namespace lumora {
namespace {

using namespace std::chrono_literals;
using namespace web_testing;
using testing_support::eventually;
using testing_support::processEnded;

class WebTerminalTest : public WebEndToEndTest {
 protected:
  static constexpr const char* kTerminals = "window.lumora.terminals";

  // The computer opened on the terminal panel, whose first terminal the panel opens by itself.
  void openTerminalPanel() {
    ASSERT_NO_FATAL_FAILURE(openPanel("terminal"));
    phone_->requireTrue(std::string(kTerminals) + "?.[0]?.state === 'running'");
  }

  std::string terminal(int index) const {
    return std::string(kTerminals) + "[" + std::to_string(index) + "]";
  }

  // Whether terminal `index` (0-based, in chip order) comes to show `text`.
  bool shows(int index, const std::string& text, std::chrono::milliseconds limit = 15s) {
    return phone_->waitUntil(terminal(index) + "?.text.includes(" + jsString(text) + ")", limit);
  }
  std::string textOf(int index) {
    return std::string(phone_->eval(terminal(index) + ".text").as_string());
  }

  // Typed on the phone's keyboard into the terminal in view, after a tap on it as a person's.
  void typeIntoTerminal(const std::string& text) {
    phone_->tap(".term-host:not([hidden]) .xterm-screen");
    phone_->type(text);
  }

  // The shell's own process id, as it says with `echo $$`.
  pid_t shellPid(int index) {
    typeIntoTerminal("echo pid-$$-end\n");
    const std::string said = terminal(index) + "?.text.match(/\\npid-(\\d+)-end/)?.[1]";
    phone_->requireTrue(said);
    return std::stoi(std::string(phone_->eval(said).as_string()));
  }

  // The page's number of columns in terminal `index`, once the shell's `stty size` agrees with
  // the page's size of it.
  int columnsTheShellSees(int index) {
    const auto cells = [&](const char* which) {
      return std::to_string(phone_->eval(terminal(index) + "." + which).to_number<int>());
    };
    const std::string size = cells("rows") + " " + cells("cols");
    typeIntoTerminal("stty size\n");
    EXPECT_TRUE(shows(index, "\n" + size + "\n")) << size << " vs " << textOf(index);
    return std::stoi(size.substr(size.find(' ') + 1));
  }
};

// A command typed key by key runs and shows its output; a phone keyboard's text input (not
// keys) reaches the shell as UTF-8; Ctrl latched on the key strip acts on the next key (Ctrl-D
// ends the input of cat); a shell that exits shows its code and its terminal closes.
TEST_F(WebTerminalTest, RunsTypedCommandsAndTheStripsCtrlActsOnTheNextKey) {
  ASSERT_NO_FATAL_FAILURE(openTerminalPanel());
  // Output bytes are UTF-8 decoded by the terminal, not piece by piece.
  typeIntoTerminal("printf '\\xed\\x95\\x9c\\xea\\xb8\\x80-ok\\n'\n");
  EXPECT_TRUE(shows(0, "\n한글-ok")) << textOf(0);

  // Characters no key makes arrive as a keyboard's text input (as a phone's IME gives them).
  typeIntoTerminal("cat > ~/typed.txt\n");
  // The terminal takes text input a moment after its event, so a key pressed at once could
  // overtake it; a person presses Enter once the text shows.
  typeIntoTerminal("añ한");
  EXPECT_TRUE(shows(0, "\nañ한")) << textOf(0);
  typeIntoTerminal("\n");
  phone_->tap("button[data-term-key=\"Control\"]");
  typeIntoTerminal("d");
  const std::string typed = agent_->home() / "typed.txt";
  EXPECT_TRUE(eventually([&] { return testing_support::contentOf(typed) == "añ한\n"; }))
      << testing_support::contentOf(typed);

  const pid_t shell = shellPid(0);
  ASSERT_GT(shell, 0) << textOf(0);

  // No style the page's policy refuses (Chromium logs each refusal): the terminal's styles came
  // through files and the CSS object model.
  EXPECT_EQ(phone_->log().find("Content Security Policy"), std::string::npos) << phone_->log();

  typeIntoTerminal("exit 3\n");
  phone_->requireTrue(terminal(0) + ".state === 'ended' && " + terminal(0) + ".exitCode === 3");
  EXPECT_EQ(phone_->text(".term-chip[data-terminal=\"1\"] .term-label"), "Terminal 1 · exit 3");
  phone_->tap(".term-chip[data-terminal=\"1\"] .term-close");
  phone_->require(".term-empty");
  EXPECT_TRUE(eventually([&] { return processEnded(shell); }, 10s));
}

// The terminal is sized to the phone's width, and when the phone turns the shell sees the new
// size. When the connection ends, so does the terminal, and no new one can be opened.
TEST_F(WebTerminalTest, TheShellSeesThePhonesSizeAndItsChangeAndEndsWithTheConnection) {
  ASSERT_NO_FATAL_FAILURE(openTerminalPanel());
  const int portraitColumns = columnsTheShellSees(0);
  // About 7–8 CSS pixels a column on a 412-pixel-wide phone.
  EXPECT_GT(portraitColumns, 35);
  EXPECT_LT(portraitColumns, 60);

  phone_->ask({{"op", "viewport"}, {"width", 915}, {"height", 412}});
  phone_->requireTrue(terminal(0) + ".cols > " + std::to_string(portraitColumns + 40));
  columnsTheShellSees(0);

  // The computer goes away: its shells went with the connection, and the terminal says so.
  ASSERT_NO_FATAL_FAILURE(stopAgent());
  EXPECT_TRUE(shows(0, "The connection to the computer ended")) << textOf(0);
  EXPECT_EQ(phone_->eval("document.querySelector('.term-new').disabled"), true);
}

}  // namespace
}  // namespace lumora
