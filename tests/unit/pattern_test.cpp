#include "test_select/pattern.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(TestPattern, SearchesUnanchoredUnlessTheUserAnchors) {
  auto anchored = compile_test_pattern("^foo$");
  auto loose = compile_test_pattern("foo");
  ASSERT_TRUE(anchored.ok() && loose.ok());
  EXPECT_TRUE(pattern_finds(**anchored, "foo"));
  EXPECT_FALSE(pattern_finds(**anchored, "tools::tests::foo"));
  EXPECT_TRUE(pattern_finds(**loose, "tools::tests::foo"));
}

TEST(TestPattern, ABadPatternNamesTheLibrarysReason) {
  ::testing::internal::CaptureStderr();
  auto bad = compile_test_pattern("(unclosed");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  ASSERT_FALSE(bad.ok());
  std::string text = error_text(bad.error());
  EXPECT_TRUE(text.starts_with("test_filter.pattern is not a valid regex: ")) << text;
  EXPECT_GT(text.size(), std::string("test_filter.pattern is not a valid regex: ").size());
}

}  // namespace
}  // namespace tarnwick
