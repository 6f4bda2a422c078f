#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "tools_e2e_support.h"

namespace tarnwick::e2e {
namespace {

using tarnwick::testing::read_file;
using tarnwick::testing::TempDir;

/// A workspace of two members: `app` with a passing, a failing, a hanging
/// and a slow test plus two tests that fail only together, and `member`
/// whose test reads a file relative to its own package.
void write_workspace(const TempDir& dir) {
  dir.write("Cargo.toml", "[workspace]\nmembers = [\"app\", \"member\"]\nresolver = \"2\"\n");
  const std::string package = "[package]\nversion = \"0.1.0\"\nedition = \"2021\"\nname = ";
  dir.write("app/Cargo.toml", package + "\"app\"\n");
  dir.write("app/src/lib.rs", R"(#[cfg(test)]
mod tests {
    #[test]
    fn passes() {}
    #[test]
    fn fails() { panic!("expected failure"); }
    #[test]
    fn hangs() {
        use std::io::Write;
        let dir = std::env::var("CARGO_MANIFEST_DIR").unwrap();
        let mut pids = std::fs::OpenOptions::new().create(true).append(true)
            .open(format!("{dir}/hang_pids")).unwrap();
        writeln!(pids, "{}", std::process::id()).unwrap();
        loop { std::thread::sleep(std::time::Duration::from_secs(1)); }
    }
    #[test]
    fn slow() { std::thread::sleep(std::time::Duration::from_millis(1500)); }
}
)");
  dir.write("app/tests/interact.rs", R"(use std::sync::atomic::{AtomicBool, Ordering};
static RAN: AtomicBool = AtomicBool::new(false);
#[test]
fn first() { RAN.store(true, Ordering::SeqCst); }
#[test]
fn second() { assert!(!RAN.load(Ordering::SeqCst), "first ran in this process"); }
)");
  dir.write("member/Cargo.toml", package + "\"member\"\n");
  dir.write("member/data.txt", "member data\n");
  dir.write("member/src/lib.rs", R"(#[test]
fn reads_package_file() {
    assert_eq!(std::fs::read_to_string("data.txt").unwrap().trim(), "member data");
    assert_eq!(std::env::var("CARGO_MANIFEST_DIR").unwrap(), env!("CARGO_MANIFEST_DIR"));
}
)");
}

std::vector<int> read_pids(const std::string& path) {
  std::ifstream file(path);
  std::vector<int> pids;
  for (int pid = 0; file >> pid;) pids.push_back(pid);
  return pids;
}

std::vector<json> with_reason(const std::vector<json>& records, const std::string& reason) {
  std::vector<json> out;
  for (const json& r : records)
    if (r.is_object() && r.value("reason", "") == reason) out.push_back(r);
  return out;
}

/// "target depth size outcome" of each group record of `target`, in order.
std::vector<std::string> group_runs(const std::vector<json>& records, const std::string& target) {
  std::vector<std::string> out;
  for (const json& group : with_reason(records, "x-tarnwick-bisect-group")) {
    if (group["target"] != target) continue;
    out.push_back(fmt::format("{} {} {}", group["depth"].get<int>(), group["sample"].dump(),
                              group["outcome"].get<std::string>()));
  }
  return out;
}

TEST(Bisect, FindsTheHungFailedAndSlowTestsOfAWorkspace) {
  TempDir dir("tarnwick-bisect");
  write_workspace(dir);
  ToolServer server;
  const json bisect = {{"group_timeout_secs", 3}, {"slow_threshold_secs", 1}};
  CallAnswer answer = server.call("cargo_test", {{"working_dir", dir.path()}, {"bisect", bisect}});
  ASSERT_TRUE(answer.is_error()) << answer.text();
  std::vector<std::string> lines = answer.lines();
  std::vector<json> records = answer.records();
  ASSERT_GE(lines.size(), 3u) << answer.text();
  EXPECT_EQ(json::parse(lines[0]), json({{"argv", {"test", "--bisect"}},
                                         {"cwd", dir.path()},
                                         {"reason", "x-tarnwick-invocation"}}));
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2],
            R"({"group_timeout_secs":3.0,"include_ignored":false,"initial_group_size":null,)"
            R"("initial_groups":null,"max_rounds":32,"min_group_size":1,"pattern":null,)"
            R"("reason":"x-tarnwick-bisect-config","slow_threshold_secs":1.0,"split_factor":2})");

  const std::string all = R"(["tests::fails","tests::hangs","tests::passes","tests::slow"])";
  EXPECT_EQ(
      group_runs(records, "app"),
      (std::vector<std::string>{"0 " + all + " hung", R"(1 ["tests::fails","tests::hangs"] hung)",
                                R"(2 ["tests::fails"] failed)", R"(2 ["tests::hangs"] hung)",
                                R"(1 ["tests::passes","tests::slow"] slow)",
                                R"(2 ["tests::passes"] clean)", R"(2 ["tests::slow"] slow)"}));
  EXPECT_EQ(group_runs(records, "interact"),
            (std::vector<std::string>{R"(0 ["first","second"] failed)", R"(1 ["first"] clean)",
                                      R"(1 ["second"] clean)"}));
  EXPECT_EQ(group_runs(records, "member"),
            (std::vector<std::string>{R"(0 ["reads_package_file"] clean)"}));

  std::vector<json> culprits = with_reason(records, "x-tarnwick-bisect-culprit");
  ASSERT_EQ(culprits.size(), 3u) << answer.text();
  const std::pair<const char*, const char*> expected[] = {
      {"tests::fails", "failed"}, {"tests::hangs", "hung"}, {"tests::slow", "slow"}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(culprits[i]["test"], expected[i].first);
    EXPECT_EQ(culprits[i]["classification"], expected[i].second);
    EXPECT_EQ(culprits[i]["package"], "app");
  }
  EXPECT_GE(culprits[1]["elapsed_secs"].get<double>(), 3.0);

  std::vector<json> summary = with_reason(records, "x-tarnwick-bisect-summary");
  ASSERT_EQ(summary.size(), 1u);
  json counts = summary[0];
  EXPECT_TRUE(counts["wall_secs"].is_number_float());
  counts.erase("wall_secs");
  EXPECT_EQ(counts, json::parse(R"({"binaries_built":3,"binaries_with_tests":3,"culprits":3,
      "enumeration_errors":[],"failed":1,"groups_run":11,"groups_without_culprit":1,"hung":1,
      "reason":"x-tarnwick-bisect-summary","slow":1,"tests_considered":7,"tests_enumerated":7})"));
  EXPECT_EQ(lines.back(), R"({"status":"error"})");

  // Every test binary of a hung group is gone.
  std::vector<int> pids = read_pids(dir / "app/hang_pids");
  EXPECT_EQ(pids.size(), 3u);
  for (int pid : pids) EXPECT_TRUE(process_gone(pid)) << pid;

  // Only the interacting tests: a failing group without a culprit is still
  // an error. The full text goes to the output file.
  json only_interacting = bisect;
  only_interacting["pattern"] = "^(first|second)$";
  answer = server.call(
      "cargo_test",
      {{"working_dir", dir.path()}, {"bisect", only_interacting}, {"output_path", "bisect.jsonl"}});
  ASSERT_TRUE(answer.is_error()) << answer.text();
  records = answer.records();
  std::vector<std::string> reasons;
  reasons.reserve(records.size());
  for (const json& r : records) reasons.push_back(r.value("reason", r.dump()));
  EXPECT_EQ(reasons,
            (std::vector<std::string>{"x-tarnwick-invocation", "x-tarnwick-output-file",
                                      "x-tarnwick-bisect-config", "x-tarnwick-bisect-summary",
                                      R"({"status":"error"})"}));
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[3]["culprits"], 0);
  EXPECT_EQ(records[3]["groups_without_culprit"], 1);
  EXPECT_EQ(records[3]["tests_considered"], 2);
  std::string full = read_file(dir / "bisect.jsonl");
  EXPECT_EQ(records[1]["bytes"], full.size());
  EXPECT_NE(full.find("x-tarnwick-bisect-group"), std::string::npos);

  // A cancellation during a group run answers as a cancellation and ends
  // the test binary.
  json only_hanging = bisect;
  only_hanging["pattern"] = "hangs";
  server.send("cargo_test", {{"working_dir", dir.path()}, {"bisect", only_hanging}});
  auto started_by = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (read_pids(dir / "app/hang_pids").size() < 4 &&
         std::chrono::steady_clock::now() < started_by)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(read_pids(dir / "app/hang_pids").size(), 4u);
  server.process().write_line(json{{"jsonrpc", "2.0"},
                                   {"method", "notifications/cancelled"},
                                   {"params", {{"requestId", server.next_id() - 1}}}}
                                  .dump());
  answer = server.receive(std::chrono::seconds(10));
  EXPECT_EQ(answer.text(), "Operation cancelled by client request.");
  EXPECT_TRUE(process_gone(read_pids(dir / "app/hang_pids").back()));
}

// The conflicts and a bad bisect object fail the call before cargo runs.
TEST(Bisect, RefusalsComeBeforeCargoRuns) {
  TempDir dir("tarnwick-bisect");
  write_workspace(dir);
  ToolServer server;
  const json bisect = {{"group_timeout_secs", 3}};
  const std::pair<json, std::string> cases[] = {
      {{{"doc", true}, {"bisect", bisect}},
       "error: doc: true is not supported together with bisect"},
      {{{"test_timeout_secs", 0}, {"bisect", bisect}},
       "error: test_timeout_secs is not supported together with bisect"},
      {{{"bisect", {{"group_timeout_secs", 3}, {"split_factor", 1}}}},
       "error: bisect.split_factor must be at least 2"},
      {{{"bisect", bisect}, {"output_path", "/tmp/out"}}, "error: "},
  };
  for (auto [arguments, prefix] : cases) {
    arguments["working_dir"] = dir.path();
    CallAnswer answer = server.call("cargo_test", arguments);
    EXPECT_TRUE(answer.is_error());
    EXPECT_TRUE(answer.text().starts_with(prefix)) << answer.text();
    for (const std::string& line : answer.log_lines())
      EXPECT_FALSE(line.starts_with("tarnwick: invoking ")) << line;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "target"));
}

}  // namespace
}  // namespace tarnwick::e2e
