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

// The name is padded so the columns do not jump, and the line fills the width.
TEST(FormatProgressLineTest, ShowsShareBarAmountsAndRate) {
  EXPECT_EQ(formatProgressLine("movie.raw", 256 << 20, 512 << 20, 100 << 20, 80),
            "movie.raw" + std::string(11, ' ') +
                "50% [##########..........]  256.0 MiB/512.0 MiB  100.0 MiB/s");
  // Done past the total (a file that grew) never draws more than a full bar.
  EXPECT_EQ(formatProgressLine("x", 700, 500, 0, 80),
            "x" + std::string(32, ' ') + "100% [####################]  700 B/500 B  0 B/s");
  // A long name keeps its end.
  EXPECT_EQ(formatProgressLine("/very/long/directory/path/that/goes/on/and/on/final-name.tar", 1, 2,
                               1, 70),
            "...n/and/on/final-name.tar  50% [##########..........]  1 B/2 B  1 B/s");
  // Without a total there is no share and no bar.
  EXPECT_EQ(formatProgressLine("stdin", 2048, 0, 1024, 80),
            "stdin" + std::string(55, ' ') + "  2.0 KiB  1.0 KiB/s");
}

}  // namespace
}  // namespace lumora::cli
