#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "tools_e2e_support.h"

namespace tarnwick::e2e {
namespace {

using tarnwick::testing::read_file;
using tarnwick::testing::TempCrate;
using tarnwick::testing::TempDir;

/// A workspace of two members: `app` with a passing, a failing, a hanging
/// and a slow test plus two tests that fail only together, and `member`
/// whose test reads a file relative to its own package and what cargo tells
/// it at run time.
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
    fn slow() { std::thread::sleep(std::time::Duration::from_secs(5)); }
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
    assert_eq!(std::env::var("CARGO_PKG_NAME").unwrap(), env!("CARGO_PKG_NAME"));
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

/// The server with the backtraces of expected panics off: printing one can
/// take seconds on a loaded machine.
ToolServer quiet_server() {
  return ToolServer(
      std::vector<std::pair<std::string, std::optional<std::string>>>{{"RUST_BACKTRACE", "0"}});
}

// Timeouts are wide so that no group that ends by itself is cut off, however
// loaded the machine; only `hangs` ever reaches one.
TEST(Bisect, FindsTheHungFailedAndSlowTestsOfAWorkspace) {
  TempDir dir("tarnwick-bisect");
  write_workspace(dir);
  ToolServer server = quiet_server();
  const json bisect = {{"group_timeout_secs", 15}, {"slow_threshold_secs", 4}};
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
            R"({"group_timeout_secs":15.0,"include_ignored":false,"initial_group_size":null,)"
            R"("initial_groups":null,"max_rounds":32,"min_group_size":1,"pattern":null,)"
            R"("reason":"x-tarnwick-bisect-config","slow_threshold_secs":4.0,"split_factor":2})");

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
  EXPECT_GE(culprits[1]["elapsed_secs"].get<double>(), 15.0);

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

/// A workspace of what exit codes alone get wrong: `early`, whose first test
/// ends the binary with exit code 0 before a failing one; `envcheck`, whose
/// tests read at run time what cargo gives them (and dump it on request);
/// and `whole`, a harness-less target that fails when run.
void write_truth_workspace(const TempDir& dir) {
  dir.write("Cargo.toml",
            "[workspace]\nmembers = [\"early\", \"envcheck\", \"whole\"]\nresolver = \"2\"\n");
  const std::string package = "[package]\nedition = \"2021\"\n";
  dir.write("early/Cargo.toml", package + "name = \"early\"\nversion = \"0.1.0\"\n");
  dir.write("early/src/lib.rs", R"(#[cfg(test)]
mod tests {
    #[test]
    fn a_exits() { std::process::exit(0); }
    #[test]
    fn b_fails() { panic!("fails whenever it runs"); }
    #[test]
    fn c_pass() {}
}
)");
  dir.write("envcheck/Cargo.toml",
            package +
                "name = \"envcheck\"\nversion = \"0.3.1-rc.2\"\nauthors = [\"A\", \"B\"]\n"
                "description = \"checks\"\n\n[[bin]]\nname = \"envtool\"\n"
                "path = \"src/main.rs\"\ntest = false\n");
  dir.write("envcheck/src/main.rs", "fn main() {}\n");
  dir.write("envcheck/src/lib.rs", R"(#[test]
fn sees_what_cargo_gives() {
    assert_eq!(std::env::var("CARGO_PKG_NAME").unwrap(), env!("CARGO_PKG_NAME"));
    assert_eq!(std::env::var("CARGO_PKG_VERSION_PRE").unwrap(), env!("CARGO_PKG_VERSION_PRE"));
    assert_eq!(std::env::current_dir().unwrap(), std::path::Path::new(env!("CARGO_MANIFEST_DIR")));
    if let Ok(path) = std::env::var("TARNWICK_DUMP") {
        let mut vars: Vec<String> = std::env::vars()
            .filter(|(k, _)| k.starts_with("CARGO") || k == "LD_LIBRARY_PATH")
            .map(|(k, v)| format!("{k}={v}"))
            .collect();
        vars.sort();
        std::fs::write(path, vars.join("\n")).unwrap();
    }
}
)");
  // An older cargo gives CARGO_BIN_EXE_* only at compile time.
  dir.write("envcheck/tests/bin_exe.rs", R"(#[test]
fn finds_the_bin() {
    if let Ok(path) = std::env::var("CARGO_BIN_EXE_envtool") {
        assert_eq!(path, env!("CARGO_BIN_EXE_envtool"));
    }
}
)");
  dir.write("whole/Cargo.toml", package +
                                    "name = \"whole\"\nversion = \"0.1.0\"\n\n[lib]\ntest = false\n"
                                    "doctest = false\n\n[[test]]\nname = \"whole\"\n"
                                    "harness = false\n");
  dir.write("whole/src/lib.rs", "pub fn f() {}\n");
  dir.write("whole/tests/whole.rs", R"(fn main() {
    if std::env::args().any(|a| a == "--list") { return; }
    eprintln!("the whole target fails");
    std::process::exit(1);
}
)");
}

/// NAME=VALUE lines of an environment dump.
std::set<std::string> dump_lines(const std::string& path) {
  std::set<std::string> lines;
  std::istringstream in(read_file(path));
  for (std::string line; std::getline(in, line);) lines.insert(line);
  return lines;
}

/// Every variable cargo itself gives a test binary (CARGO_HOME is rustup's)
/// is in `ours` with cargo's value; our library path holds only folders
/// cargo's holds too.
void expect_cargo_environment(const std::set<std::string>& cargo,
                              const std::set<std::string>& ours) {
  ASSERT_FALSE(cargo.empty());
  for (const std::string& line : cargo) {
    if (line.starts_with("CARGO_HOME=")) continue;
    if (line.starts_with("LD_LIBRARY_PATH=")) {
      auto found = std::find_if(ours.begin(), ours.end(), [](const std::string& l) {
        return l.starts_with("LD_LIBRARY_PATH=");
      });
      ASSERT_NE(found, ours.end());
      std::string theirs = ":" + line.substr(16) + ":";
      std::istringstream dirs(found->substr(16));
      for (std::string dir; std::getline(dirs, dir, ':');)
        EXPECT_NE(theirs.find(":" + dir + ":"), std::string::npos) << dir << " not in " << line;
      continue;
    }
    EXPECT_TRUE(ours.contains(line)) << line;
  }
}

TEST(Bisect, NeitherExitCodesNorMissingTestsNorTheEnvironmentMislead) {
  TempDir dir("tarnwick-truth");
  write_truth_workspace(dir);
  DirectCargo env_run =
      run_cargo_directly(dir.path(), "test -p envcheck", "TARNWICK_DUMP=" + dir / "cargo_env");
  ASSERT_EQ(env_run.exit_code, 0) << env_run.output;
  DirectCargo whole_run = run_cargo_directly(dir.path(), "test -p whole");
  EXPECT_NE(whole_run.exit_code, 0) << whole_run.output;
  DirectCargo fails_run = run_cargo_directly(dir.path(), "test -p early -- --exact tests::b_fails");
  EXPECT_EQ(libtest_results(fails_run.output)["tests::b_fails"], "FAILED") << fails_run.output;

  ToolServer server = quiet_server();
  CallAnswer answer = server.call("cargo_test", {{"working_dir", dir.path()},
                                                 {"bisect", {{"group_timeout_secs", 60}}},
                                                 {"env", {{"TARNWICK_DUMP", dir / "bisect_env"}}}});
  ASSERT_TRUE(answer.is_error()) << answer.text();
  std::vector<json> records = answer.records();
  // A group is decided by its exit status: a test that ends the process
  // with code 0 ends its group's run as a pass, as cargo test would on one
  // thread.
  EXPECT_EQ(
      group_runs(records, "early"),
      (std::vector<std::string>{R"(0 ["tests::a_exits","tests::b_fails","tests::c_pass"] clean)"}));
  EXPECT_EQ(group_runs(records, "envcheck"),
            (std::vector<std::string>{R"(0 ["sees_what_cargo_gives"] clean)"}));
  EXPECT_EQ(group_runs(records, "bin_exe"),
            (std::vector<std::string>{R"(0 ["finds_the_bin"] clean)"}));
  EXPECT_EQ(group_runs(records, "whole"), (std::vector<std::string>{"0 [] failed"}));
  EXPECT_TRUE(with_reason(records, "x-tarnwick-bisect-culprit").empty()) << answer.text();
  json summary = with_reason(records, "x-tarnwick-bisect-summary").at(0);
  EXPECT_EQ(summary["groups_without_culprit"], 1);
  EXPECT_EQ(answer.lines().back(), R"({"status":"error"})");
  expect_cargo_environment(dump_lines(dir / "cargo_env"), dump_lines(dir / "bisect_env"));

  // test_filter starts the same binaries the same way, and does not believe
  // a binary that exited 0 before libtest accounted for every test.
  answer = server.call("cargo_test", {{"working_dir", dir.path()},
                                      {"test_filter", {{"pattern", "."}}},
                                      {"env", {{"TARNWICK_DUMP", dir / "filter_env"}}}});
  ASSERT_TRUE(answer.is_error()) << answer.text();
  std::map<std::string, std::string> ran = answer_results(answer);
  EXPECT_EQ(ran["sees_what_cargo_gives"], "ok") << answer.text();
  EXPECT_EQ(ran["finds_the_bin"], "ok");
  EXPECT_NE(ran["tests::b_fails"], "ok");
  // The tests run in parallel: how many reported before the exit varies.
  EXPECT_NE(answer.text().find("selected test(s) did not run in this launch"), std::string::npos)
      << answer.text();
  expect_cargo_environment(dump_lines(dir / "cargo_env"), dump_lines(dir / "filter_env"));
}

TEST(Bisect, AGroupRunThatCannotStartStillEndsWithTheSummary) {
  // Listing the binary breaks its source, so cargo cannot build it again
  // for the group run.
  TempCrate crate("vanish", {{"src/lib.rs", R"(#[test]
fn runs() {}
#[used]
#[link_section = ".init_array"]
static BREAK: extern "C" fn() = break_source;
extern "C" fn break_source() {
    let args = std::fs::read("/proc/self/cmdline").unwrap_or_default();
    if args.split(|b| *b == 0).any(|a| a == b"--list") {
        let path = concat!(env!("CARGO_MANIFEST_DIR"), "/src/lib.rs");
        let mut source = std::fs::read_to_string(path).unwrap();
        source.push_str("compile_error!(\"broken by --list\");\n");
        std::fs::write(path, source).unwrap();
    }
}
)"}});
  ToolServer server = quiet_server();
  CallAnswer answer = server.call(
      "cargo_test", {{"working_dir", crate.path()}, {"bisect", {{"group_timeout_secs", 60}}}});
  ASSERT_TRUE(answer.is_error()) << answer.text();
  std::vector<std::string> lines = answer.lines();
  ASSERT_GE(lines.size(), 4u) << answer.text();
  EXPECT_TRUE(lines[lines.size() - 3].starts_with("error: cargo test did not run test binary "))
      << answer.text();
  EXPECT_NE(lines[lines.size() - 3].find("broken by --list"), std::string::npos) << answer.text();
  EXPECT_EQ(json::parse(lines[lines.size() - 2])["reason"], "x-tarnwick-bisect-summary");
  EXPECT_EQ(lines.back(), R"({"status":"error"})");
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
