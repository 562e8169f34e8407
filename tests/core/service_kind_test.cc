#include "core/service_kind.h"

#include <gtest/gtest.h>

#include "core/agent_config.h"

namespace lumora::core {
namespace {

TEST(ServiceKindTest, RawValuesAreExactAndOrdered) {
  ASSERT_EQ(kAllServiceKinds.size(), 4u);
  const char* names[] = {"screen", "input", "file", "terminal"};
  for (std::size_t i = 0; i < kAllServiceKinds.size(); ++i) {
    EXPECT_EQ(rawValue(kAllServiceKinds[i]), names[i]);
    EXPECT_EQ(serviceKindFromRawValue(names[i]), kAllServiceKinds[i]);
  }
  EXPECT_FALSE(serviceKindFromRawValue("Screen"));
  EXPECT_FALSE(serviceKindFromRawValue("clipboard"));
  EXPECT_FALSE(serviceKindFromRawValue(""));
  EXPECT_EQ(mvpDefaultServiceKinds().size(), 4u);
  EXPECT_EQ((AgentConfig{AgentConfig::kDefaultControlPort, mvpDefaultServiceKinds()}.controlPort),
            47800);
}

}  // namespace
}  // namespace lumora::core
