#include <gtest/gtest.h>

#include <random>

#include "protocol/envelope.h"
#include "protocol/slash_escaping.h"

namespace lumora::protocol {
namespace {

std::string escapedOneByOne(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

std::string asString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(SlashEscapingTest, EveryPlacementOfSlashesAgainstTheOneByOneReading) {
  // Lengths around the 16-byte blocks, slashes at every density, runs of them at block edges.
  // (Backslashes in JSON text only come in escape pairs; the next case covers those.)
  std::mt19937 random(7);
  const char alphabet[] = "ab/+=\"//";
  for (std::size_t length : {0, 1, 15, 16, 17, 31, 32, 33, 64, 255, 4096, 4097, 70000}) {
    for (int density : {0, 1, 4, 8}) {
      std::string text(length, 'x');
      for (char& c : text) {
        if (static_cast<int>(random() % 8) < density) c = alphabet[random() % 8];
      }
      const std::string escaped = asString(escapeSlashes(text));
      ASSERT_EQ(escaped, escapedOneByOne(text)) << length << "/" << density;
      std::string scratch;
      ASSERT_EQ(unescapeSlashes(escaped, scratch), text) << length << "/" << density;
    }
  }
  EXPECT_EQ(asString(escapeSlashes(std::string(40, '/'))), escapedOneByOne(std::string(40, '/')));
}

TEST(SlashEscapingTest, UnescapingTakesEscapePairsFromTheLeft) {
  std::string scratch;
  EXPECT_EQ(unescapeSlashes(R"(a\/b)", scratch), "a/b");
  // An escaped backslash followed by a plain slash: both stay as they are.
  EXPECT_EQ(unescapeSlashes(R"(\\/)", scratch), R"(\\/)");
  EXPECT_EQ(unescapeSlashes(R"(\\\/)", scratch), R"(\\/)");
  EXPECT_EQ(unescapeSlashes(R"(\n\"\/\u002f)", scratch), R"(\n\"/\u002f)");
  // A lone backslash at the end is left for the parser to refuse.
  EXPECT_EQ(unescapeSlashes("ab\\", scratch), "ab\\");
  // Text without a backslash is returned as it is, not copied.
  const std::string plain = "no escapes / here";
  EXPECT_EQ(unescapeSlashes(plain, scratch).data(), plain.data());
}

TEST(SlashEscapingTest, EnvelopesKeepSlashesInStringsAndBinaryData) {
  const Bytes data{0xfb, 0xff, 0xbf, 0xff};  // Base64 "+/+/" then more slashes
  Envelope sent = Envelope::request(FileUploadRequest{"/tmp/a\\/b", data, 0, true});
  const Bytes wire = sent.encode();
  const std::string text = asString(wire);
  EXPECT_NE(text.find(R"("path":"\/tmp\/a\\\/b")"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("data":"+\/+\/\/w==")"), std::string::npos) << text;

  auto decoded = Envelope::decode(wire);
  ASSERT_TRUE(decoded) << decoded.error().description;
  const auto& upload = *decoded->payload.get<MessageType::fileUpload>();
  EXPECT_EQ(upload.path, "/tmp/a\\/b");
  EXPECT_EQ(upload.data, data);
}

}  // namespace
}  // namespace lumora::protocol
