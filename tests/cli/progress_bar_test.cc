#include "progress_bar.h"

#include <gtest/gtest.h>

namespace lumora::cli {
namespace {

TEST(FormatBytesTest, PicksTheLargestUnitBelow1024) {
  EXPECT_EQ(formatBytes(0), "0 B");
  EXPECT_EQ(formatBytes(1023), "1023 B");
  EXPECT_EQ(formatBytes(1536), "1.5 KiB");
  EXPECT_EQ(formatBytes(512.0 * 1024 * 1024), "512.0 MiB");
  EXPECT_EQ(formatBytes(3.0 * 1024 * 1024 * 1024), "3.0 GiB");
}

TEST(FormatProgressLineTest, ShowsShareBarAmountsAndRate) {
  std::string line = formatProgressLine("movie.raw", 256 << 20, 512 << 20, 100 << 20, 80);
  EXPECT_EQ(line.size(), 80u) << line;  // padded so the columns do not jump
  EXPECT_NE(line.find(" 50% [##########..........]"), std::string::npos) << line;
  EXPECT_NE(line.find("256.0 MiB/512.0 MiB"), std::string::npos) << line;
  EXPECT_NE(line.find("100.0 MiB/s"), std::string::npos) << line;
  EXPECT_EQ(line.rfind("movie.raw", 0), 0u);

  // Done past the total (a file that grew) never draws more than a full bar.
  line = formatProgressLine("x", 700, 500, 0, 80);
  EXPECT_NE(line.find("100% [####################]"), std::string::npos) << line;

  // A long name keeps its end, and the line still fits.
  const std::string name = "/very/long/directory/path/that/goes/on/and/on/final-name.tar";
  line = formatProgressLine(name, 1, 2, 1, 70);
  EXPECT_EQ(line.size(), 70u) << line;
  EXPECT_NE(line.find("final-name.tar"), std::string::npos) << line;
  EXPECT_EQ(line.rfind("...", 0), 0u) << line;

  // Without a total there is no share and no bar.
  line = formatProgressLine("stdin", 2048, 0, 1024, 80);
  EXPECT_EQ(line.find('%'), std::string::npos) << line;
  EXPECT_EQ(line.find('['), std::string::npos) << line;
  EXPECT_NE(line.find("2.0 KiB"), std::string::npos) << line;
}

}  // namespace
}  // namespace lumora::cli
