// The web client's clipboard panel against the real agent and the X clipboard of the test's
// Xvfb, which the test reads and fills with xclip: text both ways. The panel's hooks:
//   #clipboard-send          sends this phone's clipboard
//   #clipboard-text          the box for text to send, #clipboard-send-text sends it
//   #clipboard-fetch         gets the computer's clipboard
//   #clipboard-remote-text   the computer's text, #clipboard-copy copies it to the phone
//   #clipboard-message       what happened, in words

#include <gtest/gtest.h>

#include <string>

#include "support/x_clipboard.h"
#include "web/web_fixture.h"

namespace lumora {
namespace {

using namespace web_testing;
using testing_support::eventually;

class WebClipboardTest : public WebEndToEndTest {
 protected:
  bool says(const std::string& words) {
    return becomes("#clipboard-message", "textContent", words);
  }
  std::string message() { return phone_->text("#clipboard-message"); }

  testing_support::XClipboard clipboard_{xvfb_.display()};
};

TEST_F(WebClipboardTest, TextGoesBothWaysBetweenThePhoneAndTheXClipboard) {
  ASSERT_NO_FATAL_FAILURE(openPanel("clipboard"));
  phone_->require("#clipboard-fetch:enabled");

  // A browser that refuses to read its clipboard leads the person to the text box.
  phone_->tap("#clipboard-send");
  EXPECT_TRUE(
      says("This browser did not allow reading the clipboard. Paste the text into the "
           "box below and send it."))
      << message();
  EXPECT_EQ(phone_->eval("document.activeElement.id"), boost::json::value("clipboard-text"));
  phone_->ask({{"op", "grantClipboard"}});

  // The phone's own clipboard, sent with one tap.
  const std::string fromPhone = "안녕 clipboard";
  phone_->eval("navigator.clipboard.writeText(" + jsString(fromPhone) + ")");
  phone_->tap("#clipboard-send");
  EXPECT_TRUE(eventually([&] { return clipboard_.read() == fromPhone; })) << clipboard_.read();

  // Text typed into the box, several lines of it.
  const std::string typed = "typed 텍스트\nsecond line ✓";
  phone_->fill("#clipboard-text", typed);
  phone_->tap("#clipboard-send-text");
  EXPECT_TRUE(eventually([&] { return clipboard_.read() == typed; })) << clipboard_.read();

  // What another program of the computer copied, fetched and copied onto the phone.
  const std::string fromComputer = "from the computer: 컴퓨터\n\tindented";
  ASSERT_TRUE(clipboard_.offer(fromComputer));
  phone_->tap("#clipboard-fetch");
  EXPECT_TRUE(becomes("#clipboard-remote-text", "value", fromComputer)) << message();
  phone_->tap("#clipboard-copy");
  EXPECT_TRUE(says("Copied to this phone's clipboard.")) << message();
  EXPECT_EQ(phone_->eval("navigator.clipboard.readText()"), boost::json::value(fromComputer));
}

}  // namespace
}  // namespace lumora
