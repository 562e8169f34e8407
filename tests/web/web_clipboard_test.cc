// The web client's clipboard panel against the real agent and the X clipboard of the test's
// Xvfb, which the test reads and fills with xclip. The panel's hooks:
//   #clipboard-send          sends this phone's clipboard
//   #clipboard-text          the box for text to send, #clipboard-send-text sends it
//   #clipboard-fetch         gets the computer's clipboard
//   #clipboard-remote-text   the computer's text, #clipboard-copy copies it to the phone
//   img#clipboard-image      the computer's picture, #clipboard-image-size its size in words
//   #clipboard-message       what happened, in words

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "protocol/base64.h"
#include "support/temp_dir.h"
#include "support/test_pictures.h"
#include "support/x_clipboard.h"
#include "web/web_fixture.h"

namespace lumora {
namespace {

using namespace web_testing;
using testing_support::eventually;

// A PNG of the screen's four quadrant colours, odd-sized so that a swapped width and height
// shows.
constexpr int kImageWidth = 37;
constexpr int kImageHeight = 23;

std::string quadrantsPNG() {
  const testing_support::TempDir folder;
  return testing_support::contentOf(testing_support::writeQuadrantsPNG(
      folder, "quadrants.png", kImageWidth, kImageHeight,
      {kQuadrants[0], kQuadrants[1], kQuadrants[2], kQuadrants[3]}));
}

class WebClipboardTest : public WebEndToEndTest {
 protected:
  void openClipboard(bool grant = true) {
    ASSERT_NO_FATAL_FAILURE(openPanel("clipboard"));
    phone_->require("#clipboard-fetch:enabled");
    if (grant) phone_->ask({{"op", "grantClipboard"}});
  }

  bool says(const std::string& words) {
    return becomes("#clipboard-message", "textContent", words);
  }
  std::string message() { return phone_->text("#clipboard-message"); }

  testing_support::XClipboard clipboard_{xvfb_.display()};
};

TEST_F(WebClipboardTest, TextGoesBothWaysBetweenThePhoneAndTheXClipboard) {
  ASSERT_NO_FATAL_FAILURE(openClipboard(false));

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

TEST_F(WebClipboardTest, APictureOnTheXClipboardIsShownAndAPictureFromThePhoneArrivesThere) {
  ASSERT_NO_FATAL_FAILURE(openClipboard());
  const std::string png = quadrantsPNG();

  ASSERT_TRUE(clipboard_.offer(png, "image/png"));
  phone_->tap("#clipboard-fetch");
  phone_->require("img#clipboard-image");
  const auto seen = phone_->imagePixels("#clipboard-image", kQuadrantCentres);
  EXPECT_TRUE(matches(seen, kImageWidth, kImageHeight, kQuadrants, 2))
      << boost::json::serialize(seen);
  EXPECT_EQ(phone_->text("#clipboard-image-size"), "37 × 23 pixels");

  // The picture, copied onto the phone's clipboard as PNG (as from another app).
  phone_->eval(
      "navigator.clipboard.write([new ClipboardItem({ 'image/png': new Blob("
      "[Uint8Array.from(atob(" +
      jsString(protocol::base64Encode(protocol::asBytes(png))) +
      "), (c) => c.charCodeAt(0))], { type: 'image/png' }) })])");

  // Sent, the picture is what the X clipboard offers other programs as PNG.
  phone_->tap("#clipboard-send");
  EXPECT_TRUE(says("The picture was sent to the computer's clipboard.")) << message();
  // A PNG's signature and header chunk up to its height.
  EXPECT_EQ(clipboard_.read("image/png").substr(0, 24), png.substr(0, 24));
}

}  // namespace
}  // namespace lumora
