// The web client's clipboard panel against the real agent and the X clipboard of the test's
// Xvfb, which the test reads and fills with xclip. The panel's hooks:
//   #clipboard-send          sends this phone's clipboard
//   #clipboard-text          the box for text to send, #clipboard-send-text sends it
//   #clipboard-fetch         gets the computer's clipboard
//   #clipboard-remote-text   the computer's text, #clipboard-copy copies it to the phone
//   img#clipboard-image      the computer's picture, #clipboard-image-size its size in words,
//                            a#clipboard-save saves it
//   #clipboard-file          a copied file's name and size, a#clipboard-file-link saves it
//   #clipboard-message       what happened, in words

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>

#include <cctype>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "support/temp_dir.h"
#include "support/test_pictures.h"
#include "web/web_fixture.h"

namespace lumora {
namespace {

using namespace std::chrono_literals;
using namespace web_testing;
using testing_support::eventually;

// The clipboard of an X display as xclip sees it. What it offers is held by an xclip kept in
// the foreground (-quiet), which the test ends; the agent taking the clipboard ends it too.
class XClipboard {
 public:
  explicit XClipboard(std::string display) : display_(std::move(display)) {}
  ~XClipboard() { testing_support::endProcess(owner_); }
  XClipboard(const XClipboard&) = delete;
  XClipboard& operator=(const XClipboard&) = delete;

  // The clipboard's content as `target`; empty when nobody offers it.
  std::string read(const std::string& target = "UTF8_STRING") const {
    const auto run = testing_support::runProgram(
        {"xclip", "-selection", "clipboard", "-o", "-t", target}, {.environment = environment()});
    return run.exitCode == 0 ? run.output : std::string();
  }

  // Offers `bytes` as `target` until the next offer, or until another program takes the
  // clipboard; returns once xclip answers for it.
  bool offer(const std::string& bytes, const std::string& target = "UTF8_STRING") {
    testing_support::endProcess(owner_);
    const std::string file = folder_.make("offer", bytes);
    owner_ = testing_support::spawnProcess(
        {"xclip", "-selection", "clipboard", "-quiet", "-i", "-t", target, file},
        {.environment = environment()});
    return eventually([&] { return read(target) == bytes; });
  }

  // Ends the program that offers the clipboard, which leaves it without an owner.
  void clear() { testing_support::endProcess(owner_); }

 private:
  std::vector<std::string> environment() const {
    return {"DISPLAY=" + display_, "PATH=/usr/bin:/bin"};
  }

  std::string display_;
  testing_support::TempDir folder_;
  pid_t owner_ = -1;
};

// A PNG of four coloured quadrants, odd-sized so that a swapped width and height shows.
constexpr int kImageWidth = 37;
constexpr int kImageHeight = 23;
constexpr std::uint32_t kImageColours[4] = {0xd02020, 0x20c040, 0x2040e0, 0xf0e020};

std::string quadrantsPNG() {
  const testing_support::TempDir folder;
  return testing_support::contentOf(testing_support::writeQuadrantsPNG(
      folder, "quadrants.png", kImageWidth, kImageHeight,
      {kImageColours[0], kImageColours[1], kImageColours[2], kImageColours[3]}));
}

// The width and height a PNG's header gives; zeros when it is no PNG.
std::pair<int, int> pngSize(const std::string& png) {
  if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return {0, 0};
  const auto at = [&](std::size_t i) {
    return static_cast<int>(
        static_cast<std::uint8_t>(png[i]) << 24 | static_cast<std::uint8_t>(png[i + 1]) << 16 |
        static_cast<std::uint8_t>(png[i + 2]) << 8 | static_cast<std::uint8_t>(png[i + 3]));
  };
  return {at(16), at(20)};
}

// A file: URI of `path`, percent-encoded as file managers write them.
std::string fileURI(const std::string& path) {
  std::string uri = "file://";
  for (const unsigned char c : path) {
    if (std::isalnum(c) ||
        std::string_view("/-._~").find(static_cast<char>(c)) != std::string_view::npos) {
      uri += static_cast<char>(c);
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      uri += {'%', kHex[c >> 4], kHex[c & 15]};
    }
  }
  return uri;
}

class WebClipboardTest : public WebEndToEndTest {
 protected:
  void openClipboard(bool grant = true) {
    ASSERT_NO_FATAL_FAILURE(openScreenByLink());
    if (grant) phone_->ask({{"op", "grantClipboard"}});
    phone_->tap("#computer-tabs button[data-panel=\"clipboard\"]");
    ASSERT_TRUE(phone_->waitFor("#clipboard-fetch:enabled")) << phone_->lastWaitError();
  }

  bool says(const std::string& words) {
    return phone_->waitUntil("document.querySelector('#clipboard-message').textContent === " +
                             jsString(words));
  }

  std::string message() { return phone_->text("#clipboard-message"); }

  testing_support::TempDir downloads_;

  // The name and bytes the link at `selector` saves when tapped.
  std::pair<std::string, std::string> saved(const std::string& selector) {
    const std::string to = (downloads_.path() / "saved").string();
    const auto download =
        phone_->ask({{"op", "download"}, {"selector", selector}, {"to", to}}).as_object();
    std::ifstream in(to, std::ios::binary);
    return {std::string(download.at("name").as_string()),
            std::string(std::istreambuf_iterator<char>(in), {})};
  }

  // The colours a canvas of the page draws the shown picture with, at the quadrants' centres.
  std::vector<BrowserPhone::Colour> imageColours() {
    const auto seen = phone_->eval(R"((() => {
      const image = document.querySelector('#clipboard-image');
      const canvas = document.createElement('canvas');
      canvas.width = image.naturalWidth;
      canvas.height = image.naturalHeight;
      const context = canvas.getContext('2d', { willReadFrequently: true });
      context.drawImage(image, 0, 0);
      return [[0.25, 0.25], [0.75, 0.25], [0.25, 0.75], [0.75, 0.75]].map(([fx, fy]) =>
        Array.from(context.getImageData(Math.floor(fx * canvas.width),
                                        Math.floor(fy * canvas.height), 1, 1).data));
    })())");
    std::vector<BrowserPhone::Colour> colours;
    for (const auto& pixel : seen.as_array()) {
      const auto& channels = pixel.as_array();
      colours.push_back({static_cast<int>(channels.at(0).to_number<double>()),
                         static_cast<int>(channels.at(1).to_number<double>()),
                         static_cast<int>(channels.at(2).to_number<double>())});
    }
    return colours;
  }

  void expectShowsQuadrantsImage() {
    ASSERT_TRUE(phone_->waitFor("img#clipboard-image")) << phone_->lastWaitError() << message();
    EXPECT_EQ(phone_->eval("document.querySelector('#clipboard-image').naturalWidth"), kImageWidth);
    EXPECT_EQ(phone_->eval("document.querySelector('#clipboard-image').naturalHeight"),
              kImageHeight);
    EXPECT_EQ(phone_->text("#clipboard-image-size"), "37 × 23 pixels");
    const auto colours = imageColours();
    ASSERT_EQ(colours.size(), 4u);
    for (int i = 0; i < 4; ++i) {
      const auto expected = kImageColours[i];
      EXPECT_NEAR(colours[i].r, static_cast<int>(expected >> 16 & 0xff), 2) << "quadrant " << i;
      EXPECT_NEAR(colours[i].g, static_cast<int>(expected >> 8 & 0xff), 2) << "quadrant " << i;
      EXPECT_NEAR(colours[i].b, static_cast<int>(expected & 0xff), 2) << "quadrant " << i;
    }
  }

  XClipboard clipboard_{xvfb_.display()};
};

TEST_F(WebClipboardTest, TextGoesBothWaysBetweenThePhoneAndTheXClipboard) {
  ASSERT_NO_FATAL_FAILURE(openClipboard(false));
  shot("panel");

  // A browser that refuses to read its clipboard leads the person to the text box.
  phone_->tap("#clipboard-send");
  EXPECT_TRUE(
      says("This browser did not allow reading the clipboard. Paste the text into the "
           "box below and send it."))
      << message();
  EXPECT_EQ(phone_->eval("document.activeElement.id"), boost::json::value("clipboard-text"));
  shot("refused");
  phone_->ask({{"op", "grantClipboard"}});

  // The phone's own clipboard, sent with one tap.
  const std::string fromPhone = "안녕 clipboard";
  phone_->eval("navigator.clipboard.writeText(" + jsString(fromPhone) + ")");
  phone_->tap("#clipboard-send");
  EXPECT_TRUE(says("Sent to the computer's clipboard.")) << message();
  EXPECT_TRUE(eventually([&] { return clipboard_.read() == fromPhone; })) << clipboard_.read();

  // Text typed into the box, several lines of it.
  const std::string typed = "typed 텍스트\nsecond line ✓";
  phone_->fill("#clipboard-text", typed);
  phone_->tap("#clipboard-send-text");
  EXPECT_TRUE(eventually([&] { return clipboard_.read() == typed; })) << clipboard_.read();
  EXPECT_EQ(message(), "Sent to the computer's clipboard.");

  // What another program of the computer copied, fetched and copied onto the phone.
  const std::string fromComputer = "from the computer: 컴퓨터\n\tindented";
  ASSERT_TRUE(clipboard_.offer(fromComputer));
  phone_->tap("#clipboard-fetch");
  EXPECT_TRUE(phone_->waitUntil("document.querySelector('#clipboard-remote-text').value === " +
                                jsString(fromComputer)))
      << phone_->lastWaitError() << message();
  EXPECT_TRUE(phone_->waitFor("#clipboard-copy")) << phone_->lastWaitError();
  shot("fetched-text");
  phone_->tap("#clipboard-copy");
  EXPECT_TRUE(says("Copied to this phone's clipboard.")) << message();
  EXPECT_EQ(phone_->eval("navigator.clipboard.readText()"), boost::json::value(fromComputer));

  // Once the program that copied has gone, nothing is offered: the clipboard is empty.
  clipboard_.clear();
  phone_->tap("#clipboard-fetch");
  EXPECT_TRUE(says("The computer's clipboard is empty.")) << message();
  EXPECT_TRUE(phone_->waitFor("#clipboard-remote-text", "hidden")) << phone_->lastWaitError();

  // Without the computer, nothing can be sent or fetched.
  ASSERT_NO_FATAL_FAILURE(stopAgent());
  EXPECT_TRUE(phone_->waitFor("#clipboard-fetch:disabled")) << phone_->lastWaitError();
  EXPECT_TRUE(
      phone_->waitUntil("document.querySelector('#clipboard-send').disabled && "
                        "document.querySelector('#clipboard-send-text').disabled"))
      << phone_->lastWaitError();
}

TEST_F(WebClipboardTest, APictureOrFileOnTheXClipboardIsShownAndAPictureFromThePhoneArrivesThere) {
  ASSERT_NO_FATAL_FAILURE(openClipboard());
  const std::string png = quadrantsPNG();
  ASSERT_EQ(pngSize(png), std::make_pair(kImageWidth, kImageHeight));

  ASSERT_TRUE(clipboard_.offer(png, "image/png"));
  phone_->tap("#clipboard-fetch");
  ASSERT_NO_FATAL_FAILURE(expectShowsQuadrantsImage());
  EXPECT_TRUE(
      phone_->waitUntil("document.querySelector('a#clipboard-save').href.startsWith('blob:') && "
                        "document.querySelector('a#clipboard-save').download === 'clipboard.png'"))
      << phone_->lastWaitError();
  EXPECT_EQ(phone_->eval("document.querySelector('#clipboard-message').hidden"), true);
  shot("fetched-image");

  // The picture shown, copied onto the phone's clipboard as PNG (as from another app).
  phone_->eval(R"((async () => {
    const image = document.querySelector('#clipboard-image');
    const canvas = document.createElement('canvas');
    canvas.width = image.naturalWidth;
    canvas.height = image.naturalHeight;
    canvas.getContext('2d').drawImage(image, 0, 0);
    const blob = await new Promise((resolve) => canvas.toBlob(resolve, 'image/png'));
    await navigator.clipboard.write([new ClipboardItem({ 'image/png': blob })]);
  })())");
  // Text fetched in between takes the picture's place in the panel.
  ASSERT_TRUE(clipboard_.offer("not the picture"));
  phone_->tap("#clipboard-fetch");
  EXPECT_TRUE(phone_->waitUntil(
      "document.querySelector('#clipboard-remote-text').value === 'not the picture'"))
      << phone_->lastWaitError() << message();
  EXPECT_TRUE(phone_->waitFor("img#clipboard-image", "hidden")) << phone_->lastWaitError();

  // Sent, the picture is what the X clipboard offers other programs as PNG, and fetched back
  // it is the same picture.
  phone_->tap("#clipboard-send");
  EXPECT_TRUE(says("The picture was sent to the computer's clipboard.")) << message();
  EXPECT_EQ(pngSize(clipboard_.read("image/png")), std::make_pair(kImageWidth, kImageHeight));
  phone_->tap("#clipboard-fetch");
  ASSERT_NO_FATAL_FAILURE(expectShowsQuadrantsImage());

  // A program offering "PNG" bytes that are none: the agent passes them on as they are, and the
  // panel says so instead of showing a broken picture.
  ASSERT_TRUE(clipboard_.offer(png.substr(0, 40) + std::string(200, 'x'), "image/png"));
  phone_->tap("#clipboard-fetch");
  EXPECT_TRUE(says("The computer's clipboard holds a picture this browser cannot show."))
      << message();
  EXPECT_TRUE(phone_->waitFor("img#clipboard-image", "hidden")) << phone_->lastWaitError();
  shot("broken-image");

  // A file copied in a file manager (a file: URI) comes with its name, size and contents.
  const std::string contents = "파일 contents\n";
  const auto file = agent_->home().path() / "notes 메모.txt";
  agent_->home().make("notes 메모.txt", contents);
  ASSERT_TRUE(clipboard_.offer(fileURI(file.string()) + "\r\n", "text/uri-list"));
  phone_->tap("#clipboard-fetch");
  EXPECT_TRUE(phone_->waitFor("#clipboard-file-link")) << phone_->lastWaitError() << message();
  EXPECT_EQ(phone_->text("#clipboard-file"),
            "notes 메모.txt (" + std::to_string(contents.size()) + " B)");
  EXPECT_EQ(saved("#clipboard-file-link"), std::make_pair(std::string("notes 메모.txt"), contents));
  shot("file");
}

}  // namespace
}  // namespace lumora
