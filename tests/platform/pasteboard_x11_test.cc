#include "platform/x11/pasteboard_x11.h"
#include "protocol/limits.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "platform/x11/png_image.h"
#include "support/eventually.h"
#include "support/temp_dir.h"
#include "support/x_clipboard.h"
#include "support/xvfb_server.h"

namespace lumora::platform::x11 {
namespace {

using namespace std::chrono_literals;
using protocol::Bytes;
using protocol::bytesOf;
using testing_support::XvfbServer;

const Bytes kPngSignature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

// A 2x2 24-bit BMP (blue, green / red, white, or black for the last pixel when `dark`), bottom-up
// rows padded to 4 bytes.
Bytes smallBmp(bool dark = false) {
  Bytes bmp{'B', 'M', 70, 0, 0,    0,    0, 0, 0,    0,    54, 0, 0, 0,  // file header
            40,  0,   0,  0, 2,    0,    0, 0, 2,    0,    0,  0, 1, 0, 24, 0, 0, 0, 0, 0,
            16,  0,   0,  0, 0x13, 0x0b, 0, 0, 0x13, 0x0b, 0,  0, 0, 0, 0,  0, 0, 0, 0, 0};
  const std::uint8_t last = dark ? 0 : 255;
  const Bytes pixels{0, 0, 255, last, last, last, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0};
  bmp.insert(bmp.end(), pixels.begin(), pixels.end());
  return bmp;
}

// xclip as the other application (testing_support::XClipboard).
class PasteboardX11Test : public ::testing::Test {
 protected:
  std::string paste(const std::string& target) { return clipboard_.read(target); }

  void copy(const std::string& target, const Bytes& data) {
    ASSERT_TRUE(clipboard_.offer(std::string(data.begin(), data.end()), target)) << target;
  }

  // Polls `read` until it gives something other than `stale` (xclip takes the selection a moment
  // after it starts), for at most five seconds.
  template <class Read>
  auto awaitChange(Read read, decltype(read()) stale) {
    auto value = read();
    testing_support::eventually([&] { return (value = read()) != stale; }, 5s);
    return value;
  }

  XvfbServer server_;
  PasteboardX11 pasteboard_{server_.display()};
  testing_support::TempDir dir_;
  std::string source_ = dir_ / "source";
  testing_support::XClipboard clipboard_{server_.display()};
};

TEST_F(PasteboardX11Test, NonAsciiTextTravelsBothWays) {
  EXPECT_FALSE(pasteboard_.readText()) << "no owner, no text";
  const std::string text = "héllo wörld ✓ 日本語";
  pasteboard_.writeText(text);
  EXPECT_EQ(paste("UTF8_STRING"), text);
  EXPECT_EQ(paste("TARGETS").find("UTF8_STRING") != std::string::npos, true);
  EXPECT_EQ(pasteboard_.readText(), text) << "the agent reads what it owns";
  EXPECT_EQ(paste("TARGETS").find("\nSTRING"), std::string::npos) << "no Latin-1 form of ✓";

  pasteboard_.writeText("café");
  EXPECT_EQ(paste("STRING"), "caf\xe9");
  EXPECT_EQ(paste("UTF8_STRING"), "café");

  const std::string theirs = "ça marche — 👍";
  copy("UTF8_STRING", bytesOf(theirs));
  EXPECT_EQ(awaitChange([&] { return pasteboard_.readText(); }, "café"), theirs);
  EXPECT_FALSE(pasteboard_.readImagePNG());
  EXPECT_FALSE(pasteboard_.readFile());
}

TEST_F(PasteboardX11Test, TextLargerThanOneRequestGoesThroughIncr) {
  std::string big;
  for (int i = 0; big.size() < 3 * 1024 * 1024; ++i) big += "line " + std::to_string(i) + " é\n";
  pasteboard_.writeText(big);
  const std::string pasted = paste("UTF8_STRING");
  EXPECT_EQ(pasted.size(), big.size());
  EXPECT_TRUE(pasted == big);

  std::string theirs = big + "and theirs";
  copy("UTF8_STRING", bytesOf(theirs));
  const auto read = awaitChange([&] { return pasteboard_.readText(); }, big);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->size(), theirs.size());
  EXPECT_TRUE(*read == theirs);
}

TEST_F(PasteboardX11Test, ImagesArePngBothWaysAndNonImagesChangeNothing) {
  const auto png = convertToPNG(smallBmp());
  ASSERT_TRUE(png);
  ASSERT_TRUE(std::equal(kPngSignature.begin(), kPngSignature.end(), png->begin()));

  pasteboard_.writeText("before");
  pasteboard_.writeImagePNG(bytesOf("certainly not an image"));
  EXPECT_EQ(pasteboard_.readText(), "before");

  pasteboard_.writeImagePNG(smallBmp());  // any decodable format, served as PNG
  EXPECT_EQ(bytesOf(paste("image/png")), *png);

  // xclip hands its one form to whatever target is asked for, typed as the image it is.
  const auto theirs = convertToPNG(smallBmp(true));
  ASSERT_TRUE(theirs);
  ASSERT_NE(*theirs, *png);
  copy("image/png", *theirs);
  EXPECT_EQ(awaitChange([&] { return pasteboard_.readImagePNG(); }, png), theirs);
  EXPECT_EQ(pasteboard_.readText(), std::nullopt) << "an image is not text";
  EXPECT_EQ(pasteboard_.readFile(), std::nullopt);
}

TEST_F(PasteboardX11Test, FilesTravelAsUriLists) {
  const std::filesystem::path staged = source_ + " staged é.txt";
  std::ofstream(staged) << "staged content";
  pasteboard_.writeFile(staged);
  EXPECT_EQ(paste("text/uri-list"), fileURI(staged) + "\r\n");
  EXPECT_EQ(paste("x-special/gnome-copied-files"), "copy\n" + fileURI(staged));
  auto file = pasteboard_.readFile();
  ASSERT_TRUE(file);
  EXPECT_EQ(file->name, staged.filename().string());
  EXPECT_EQ(file->data, bytesOf("staged content"));

  const std::filesystem::path theirs = source_ + "-theirs";
  std::ofstream(theirs) << "their file";
  copy("text/uri-list", bytesOf("# comment\r\nfile://localhost" + theirs.string() + "\r\n"));
  file = awaitChange([&] { return pasteboard_.readFile(); },
                     PasteboardFile{staged.filename().string(), bytesOf("staged content")});
  ASSERT_TRUE(file);
  EXPECT_EQ(file->name, theirs.filename().string());
  EXPECT_EQ(file->data, bytesOf("their file"));
  // Too large for a reply: not read, only its size is told.
  std::filesystem::resize_file(theirs, protocol::kMaxBinaryContentBytes + 1);
  EXPECT_EQ(pasteboard_.readFile(),
            (PasteboardFile{theirs.filename().string(), {}, protocol::kMaxBinaryContentBytes + 1}));
}

TEST(FileUriTest, PercentEncodingRoundTripsAndForeignHostsAreSkipped) {
  EXPECT_EQ(fileURI("/tmp/a b%.txt"), "file:///tmp/a%20b%25.txt");
  EXPECT_EQ(firstLocalFile("file:///tmp/a%20b%25.txt\r\n"), "/tmp/a b%.txt");
  EXPECT_EQ(firstLocalFile("http://x/y\nfile://other/etc/z\nfile:/tmp/q\n"), "/tmp/q");
  EXPECT_EQ(firstLocalFile("file:///bad%zz\nfile:///tmp/a%00b\n"), std::nullopt);
  // A name that is not UTF-8 (any bytes make a name) and the URI delimiters survive the trip.
  const std::filesystem::path odd = "/tmp/caf\xe9 #1?.txt";
  EXPECT_EQ(firstLocalFile(fileURI(odd) + "\r\n"), odd);
}

}  // namespace
}  // namespace lumora::platform::x11
