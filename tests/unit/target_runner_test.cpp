#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runner/cfg_expr.h"

namespace tarnwick {
namespace {

const std::vector<CfgEntry> kLinuxCfg =
    parse_rustc_cfg("debug_assertions\nunix\ntarget_os=\"linux\"\ntarget_feature=\"sse2\"\n");

bool holds(const std::string& expression) {
  Result<bool> value = cfg_matches(expression, kLinuxCfg);
  EXPECT_TRUE(value.ok()) << expression << ": " << error_text(value.error());
  return value.ok() && *value;
}

TEST(CfgMatches, EvaluatesPredicatesAsCargoDoes) {
  EXPECT_TRUE(holds("cfg(unix)"));
  EXPECT_FALSE(holds("cfg(windows)"));
  EXPECT_TRUE(holds("cfg(target_os = \"linux\")"));
  EXPECT_TRUE(holds("cfg( target_os=\"linux\" )"));
  EXPECT_FALSE(holds("cfg(target_os = \"macos\")"));
  EXPECT_FALSE(holds("cfg(target_os)"));  // a bare name never matches a keyed value
  EXPECT_FALSE(holds("cfg(unix = \"\")"));
  EXPECT_TRUE(holds("cfg(all())"));
  EXPECT_FALSE(holds("cfg(any())"));
  EXPECT_TRUE(holds("cfg(all(unix, target_feature = \"sse2\",))"));
  EXPECT_FALSE(holds("cfg(any(windows, not(unix),))"));
  EXPECT_TRUE(holds("cfg(not(any(windows, target_os = \"macos\")))"));
  EXPECT_TRUE(holds("cfg(true)"));
  EXPECT_FALSE(holds("cfg(r#true)"));  // a raw identifier names a cfg, not the literal
  EXPECT_TRUE(holds("cfg(not(r#windows))"));
}

TEST(CfgMatches, MalformedExpressionIsAnErrorNamingIt) {
  for (std::string expression :
       {"cfg()", "cfg(unix,)", "cfg(not(unix,))", "cfg(not())", "cfg(any(,))", "cfg(all(unix,,))",
        "cfg(any(unix windows))", "cfg(target_os = linux)", "cfg(foo = \"a\\\"b\")",
        "cfg(foo = \"open)", "cfg(all)", "cfg(unix", "cfg(unix) x", "cfg(1abc)"}) {
    Result<bool> value = cfg_matches(expression, kLinuxCfg);
    ASSERT_FALSE(value.ok()) << expression;
    EXPECT_NE(error_text(value.error()).find(expression), std::string::npos)
        << error_text(value.error());
  }
}

}  // namespace
}  // namespace tarnwick
