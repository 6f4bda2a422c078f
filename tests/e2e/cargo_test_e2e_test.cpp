#include <gtest/gtest.h>

#include "tools_e2e_support.h"

namespace tarnwick::e2e {
namespace {

using tarnwick::testing::TempCrate;

/// The texts of the records with `reason`.
std::vector<std::string> texts_of(const CallAnswer& answer, const std::string& reason) {
  std::vector<std::string> out;
  for (const json& r : answer.records())
    if (r.is_object() && r.value("reason", "") == reason) out.push_back(r.value("text", ""));
  return out;
}

bool contains(const std::vector<std::string>& texts, const std::string& wanted) {
  return std::find(texts.begin(), texts.end(), wanted) != texts.end();
}

/// The argv of the answer's first record, the invocation.
json argv_of(const CallAnswer& answer) {
  std::vector<json> records = answer.records();
  return records.empty() ? json() : records.front().value("argv", json());
}

/// A crate with a path dependency (two packages to count), a slow build
/// script, and tests that pass, fail, are ignored, hang on request, plus a
/// doc test.
TempCrate phases_crate() {
  return TempCrate(
      "phases",
      {{"build.rs",
        "fn main() {\n"
        "    println!(\"cargo:rerun-if-changed=build.rs\");\n"
        "    std::thread::sleep(std::time::Duration::from_secs(6));\n"
        "}\n"},
       {"helper/Cargo.toml",
        "[package]\nname = \"helper\"\nversion = \"0.1.0\"\nedition = \"2021\"\n"},
       {"helper/src/lib.rs", "pub fn base() -> i32 { 40 }\n"},
       {"src/lib.rs",
        "/// ```\n/// assert_eq!(phases::answer(), 42);\n/// ```\n"
        "pub fn answer() -> i32 { helper::base() + 2 }\n\n"
        "#[cfg(test)]\nmod tests {\n"
        "    #[test]\n    fn passes() { assert_eq!(super::answer(), 42); }\n"
        "    #[test]\n    fn fails() { assert!(std::env::var(\"TARNWICK_FAIL\").is_err()); }\n"
        "    #[test]\n    #[ignore]\n    fn ignored() {}\n"
        "    #[test]\n    fn hangs_when_asked() {\n"
        "        while std::env::var(\"TARNWICK_HANG\").is_ok() {\n"
        "            std::thread::sleep(std::time::Duration::from_secs(60));\n"
        "        }\n    }\n}\n"}},
      "helper = { path = \"helper\" }\n");
}

TEST(CargoTest, ExecutionBudgetStartsAtBuildFinishedAndKillsTheTree) {
  TempCrate crate = phases_crate();
  ToolServer server;
  // The first call builds afresh: the build script alone outlasts the budget.
  server.send("cargo_test",
              {{"working_dir", crate.path()},
               {"timeout_secs", 600},
               {"test_timeout_secs", 3},
               {"env", {{"TARNWICK_HANG", "1"}}}},
              json{{"progressToken", "t"}});
  std::set<int> tree = tree_once_running(server.process().pid(), "phases-");
  ASSERT_FALSE(tree.empty()) << "the test binary never started";
  CallAnswer answer = server.receive();
  EXPECT_TRUE(answer.is_error());
  const std::string prefix = "error: Operation timed out after ";
  ASSERT_TRUE(answer.text().starts_with(prefix)) << answer.text();
  EXPECT_NE(answer.text().find(" seconds during the test execution phase;"), std::string::npos)
      << answer.text();
  double elapsed = std::stod(answer.text().substr(prefix.size()));
  EXPECT_GE(elapsed, 3.0);
  EXPECT_LT(elapsed, 9.0) << "the six-second build script was charged to the tests";
  EXPECT_TRUE(all_gone(tree)) << "a process of the tree survived the kill";

  std::vector<std::string> messages;
  for (const json& p : answer.progress()) messages.push_back(p.value("message", ""));
  EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [](const std::string& m) {
    return m.ends_with(" (1/2) [dev]");
  })) << "no message counts against the two packages";
  EXPECT_TRUE(contains(messages, "Cargo test: build phase [dev] finished"));
  EXPECT_TRUE(contains(messages, "Cargo test: build cached [dev] \u2014 executing tests now"));
}

// timeout_secs caps the build first in every mode: a build that outlasts it
// is stopped with one answer, with test_filter or without.
TEST(CargoTest, TimeoutSecsCapsTheBuildWithAndWithoutAFilter) {
  TempCrate crate(
      "slowbuild",
      {{"build.rs", "fn main() { std::thread::sleep(std::time::Duration::from_secs(60)); }\n"},
       {"src/lib.rs", "#[test]\nfn quick() {}\n"}});
  ToolServer server;
  const json plain = {{"working_dir", crate.path()}, {"timeout_secs", 2}};
  json filtered = plain;
  filtered["test_filter"] = {{"pattern", "quick"}};
  for (const json& arguments : {plain, filtered}) {
    CallAnswer answer = server.call("cargo_test", arguments);
    EXPECT_TRUE(answer.is_error());
    const std::string prefix = "error: Operation timed out after ";
    ASSERT_TRUE(answer.text().starts_with(prefix)) << arguments << "\n" << answer.text();
    EXPECT_NE(answer.text().find(" seconds during the build phase;"), std::string::npos)
        << answer.text();
    EXPECT_LT(std::stod(answer.text().substr(prefix.size())), 30.0) << answer.text();
  }
}

TEST(CargoTest, PhasesAndArgvOnOneCrate) {
  TempCrate crate = phases_crate();
  ToolServer server;
  const json dir = {{"working_dir", crate.path()}};

  json failing = dir;
  failing["no_fail_fast"] = true;
  failing["env"] = {{"TARNWICK_FAIL", "1"}};
  CallAnswer plain = server.call("cargo_test", failing);
  EXPECT_TRUE(plain.is_error());
  EXPECT_EQ(argv_of(plain), json({"test", "--message-format=json", "--no-fail-fast"}));
  std::vector<json> records = plain.records();
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const json& r) {
    return r.value("reason", "") == "build-finished";
  })) << "the build phase's records are missing";
  std::vector<std::string> output = texts_of(plain, "x-tarnwick-test-output");
  EXPECT_TRUE(contains(output, "test tests::passes ... ok")) << plain.text();
  EXPECT_TRUE(contains(output, "test tests::fails ... FAILED")) << plain.text();
  EXPECT_TRUE(contains(output, "test tests::ignored ... ignored")) << plain.text();
  EXPECT_TRUE(contains(output, "test src/lib.rs - answer (line 1) ... ok")) << plain.text();
  EXPECT_TRUE(contains(plain.lines(), R"({"status":"error","exit_code":101})")) << plain.text();

  json named = dir;
  named["test_name"] = "tests::passes";
  named["exact"] = true;
  CallAnswer exact = server.call("cargo_test", named);
  EXPECT_FALSE(exact.is_error()) << exact.text();
  EXPECT_EQ(argv_of(exact),
            json({"test", "--message-format=json", "--", "tests::passes", "--exact"}));
  EXPECT_FALSE(contains(texts_of(exact, "x-tarnwick-test-output"), "test tests::fails ... ok"));
  EXPECT_TRUE(contains(exact.lines(), R"({"status":"success"})")) << exact.text();

  json no_run = dir;
  no_run["no_run"] = true;
  CallAnswer built = server.call("cargo_test", no_run);
  EXPECT_FALSE(built.is_error()) << built.text();
  EXPECT_EQ(argv_of(built), json({"test", "--message-format=json", "--no-run"}));

  json doc = dir;
  doc["doc"] = true;
  doc["exact"] = true;
  CallAnswer doctests = server.call("cargo_test", doc, json{{"progressToken", 5}});
  EXPECT_FALSE(doctests.is_error()) << doctests.text();
  EXPECT_EQ(argv_of(doctests), json({"test", "--message-format=json", "--doc"}));
  EXPECT_TRUE(contains(texts_of(doctests, "x-tarnwick-test-output"),
                       "test src/lib.rs - answer (line 1) ... ok"))
      << doctests.text();
}

}  // namespace
}  // namespace tarnwick::e2e
