#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <limits>
#include <random>

#include "protocol/envelope.h"
#include "protocol/json_writer.h"
#include "protocol/slash_escaping.h"

namespace lumora::protocol {
namespace {

std::string asString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The JSON library's own text with slashes escaped afterwards (no slash lies outside a string).
std::string libraryText(const boost::json::value& value) {
  std::string out;
  for (char c : boost::json::serialize(value)) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

TEST(JsonWriterTest, WritesWhatTheLibraryWritesWithSlashesEscaped) {
  // Strings of lengths around the 16-byte blocks, with every kind of byte that needs an escape
  // at every density, plus UTF-8 beyond ASCII, which stays as it is.
  std::mt19937 random(7);
  const std::string specials[] = {
      "/",    "\"",   "\\",      "\n", "\t", "\b", "\f", "\r", std::string(1, '\0'),
      "\x1f", "\x7f", "\xc3\xa9"};
  for (std::size_t length : {0, 1, 15, 16, 17, 31, 32, 33, 64, 255, 4097, 70000}) {
    for (int density : {0, 1, 4, 8}) {
      std::string text;
      while (text.size() < length) {
        if (static_cast<int>(random() % 8) < density) {
          text += specials[random() % std::size(specials)];
        } else {
          text += static_cast<char>('a' + random() % 26);
        }
      }
      boost::json::value value = {{"path/key", text}, {"n", -3}, {"list", {1, "x/y", nullptr}}};
      ASSERT_EQ(asString(writeCompactJson(value)), libraryText(value)) << length << "/" << density;
      std::string scratch;
      auto reparsed =
          boost::json::parse(unescapeSlashes(asString(writeCompactJson(value)), scratch));
      ASSERT_EQ(reparsed, value) << length << "/" << density;
    }
  }
  const boost::json::value numbers = {1.5,
                                      -0.25,
                                      1e300,
                                      std::numeric_limits<std::int64_t>::min(),
                                      std::numeric_limits<std::uint64_t>::max(),
                                      true,
                                      false};
  EXPECT_EQ(asString(writeCompactJson(numbers)), libraryText(numbers));
  EXPECT_EQ(asString(writeCompactJson(boost::json::object())), "{}");
}

TEST(JsonWriterTest, NeverWritesMalformedUtf8) {
  // A name that is not UTF-8 (any bytes make a file name) in every position around the 16-byte
  // blocks: the text still parses, and each stray byte reads back as U+FFFD.
  for (std::size_t before : {0, 1, 14, 15, 16, 17, 40}) {
    const std::string name = std::string(before, 'n') + "\xff/\xe9t\xc3";
    const Envelope listed =
        Envelope::request(FileListResult{"/d", {FileEntry{name, "/d/" + name, false, 1}}});
    const auto decoded = Envelope::decode(listed.encode());
    ASSERT_TRUE(decoded) << before << ": " << decoded.error().description;
    const auto& entry = decoded->payload.get<MessageType::fileListResult>()->entries.at(0);
    EXPECT_EQ(entry.name, std::string(before, 'n') + "\xef\xbf\xbd/\xef\xbf\xbdt\xef\xbf\xbd");
    EXPECT_EQ(entry.path, "/d/" + entry.name);
  }
}

namespace {

// The plain reading: scan from the left, a backslash takes the next character with it.
std::string referenceUnescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      if (text[i + 1] != '/') out += '\\';
      out += text[++i];
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

// Every length around the 16-byte blocks, backslashes and slashes dense and sparse, one
// scratch reused throughout (longer inputs first, so it is often larger than the result).
TEST(SlashEscapingTest, MatchesThePlainReadingAtEveryLengthAndDensity) {
  std::mt19937 random(5);
  std::string scratch;
  for (int density : {2, 4, 16, 64}) {
    for (int length = 100; length >= 0; --length) {
      for (int round = 0; round < 20; ++round) {
        std::string text(static_cast<std::size_t>(length), 'x');
        for (auto& c : text) {
          const auto pick = random() % static_cast<unsigned>(density);
          c = pick == 0 ? '\\' : pick == 1 ? '/' : static_cast<char>('a' + random() % 26);
        }
        ASSERT_EQ(unescapeSlashes(text, scratch), referenceUnescape(text)) << text;
      }
    }
  }
}

}  // namespace
}  // namespace lumora::protocol
