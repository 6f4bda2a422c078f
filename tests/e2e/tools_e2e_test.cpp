#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tools_e2e_support.h"

namespace tarnwick::e2e {
namespace {

using tarnwick::testing::TempCrate;
using tarnwick::testing::TempDir;
using Clock = std::chrono::steady_clock;

const char kGoodLib[] = "pub fn answer() -> i32 { 42 }\n";

json invocation(const std::vector<std::string>& argv, const std::string& cwd) {
  return {{"argv", argv}, {"cwd", cwd}, {"reason", "x-tarnwick-invocation"}};
}

bool has_reason(const std::vector<json>& records, const std::string& reason) {
  for (const json& r : records)
    if (r.is_object() && r.value("reason", "") == reason) return true;
  return false;
}

/// The log lines that report a cargo start.
std::vector<std::string> invocations(const CallAnswer& answer) {
  std::vector<std::string> out;
  for (const std::string& line : answer.log_lines())
    if (line.starts_with("tarnwick: invoking ")) out.push_back(line);
  return out;
}

TEST(BuildTools, EachAnswersWithItsInvocationAndCargoRecords) {
  TempCrate crate("good", {{"src/lib.rs", kGoodLib}});
  ToolServer server;
  for (const std::string word : {"check", "build", "clippy", "doc"}) {
    CallAnswer answer = server.call("cargo_" + word, {{"working_dir", crate.path()}});
    std::vector<json> records = answer.records();
    ASSERT_FALSE(records.empty()) << answer.text();
    EXPECT_EQ(records.front(), invocation({word, "--message-format=json"}, crate.path()));
    ASSERT_TRUE(has_reason(records, "build-finished")) << answer.text();
    EXPECT_EQ(records.back(), json({{"reason", "build-finished"}, {"success", true}})) << word;
    EXPECT_FALSE(answer.result().contains("isError")) << word;
  }
  EXPECT_TRUE(std::filesystem::exists(crate / "target/doc/good/index.html"));
}

TEST(BuildTools, CompileErrorIsAnErrorAnswerWithTheRecords) {
  TempCrate crate("broken", {{"src/lib.rs", "pub fn answer() -> i32 { \"no\" }\n"}});
  ToolServer server;
  for (const std::string tool : {"cargo_check", "cargo_build"}) {
    CallAnswer answer = server.call(tool, {{"working_dir", crate.path()}});
    EXPECT_TRUE(answer.is_error());
    std::vector<json> records = answer.records();
    bool compile_error = false;
    for (const json& r : records)
      if (r.value("reason", "") == "compiler-message" && r["message"]["level"] == "error")
        compile_error = true;
    EXPECT_TRUE(compile_error) << answer.text();
    EXPECT_TRUE(has_reason(records, "x-tarnwick-stderr")) << answer.text();
    EXPECT_NE(
        std::find(records.begin(), records.end(), json({{"status", "error"}, {"exit_code", 101}})),
        records.end())
        << answer.text();
  }
}

TEST(BuildTools, TreeUpdateAndPublishRunPlainWithoutProgress) {
  TempCrate crate("plain", {{"src/lib.rs", kGoodLib}});
  ToolServer server;
  json meta = {{"progressToken", "p"}};
  CallAnswer tree = server.call("cargo_tree", {{"working_dir", crate.path()}, {"depth", 0}}, meta);
  EXPECT_EQ(tree.lines().at(0), invocation({"tree", "--depth", "0"}, crate.path()).dump());
  EXPECT_NE(tree.text().find("plain v0.1.0"), std::string::npos) << tree.text();
  EXPECT_FALSE(tree.is_error());
  EXPECT_TRUE(tree.progress().empty());
  EXPECT_EQ(invocations(tree).size(), 1u);  // no counting run either

  CallAnswer update = server.call("cargo_update", {{"working_dir", crate.path()}}, meta);
  EXPECT_EQ(update.lines().at(0), invocation({"update"}, crate.path()).dump());
  EXPECT_FALSE(update.is_error()) << update.text();
  EXPECT_TRUE(update.progress().empty());

  CallAnswer pinned =
      server.call("cargo_update", {{"working_dir", crate.path()}, {"precise", "1.2.3"}});
  EXPECT_EQ(pinned.text(),
            "error: `precise` requires `package` \u2014 specify the crate name to pin");
  EXPECT_TRUE(invocations(pinned).empty());

  // No registry is reachable here, so publishing fails, as an answer with the error flag.
  CallAnswer publish = server.call("cargo_publish", {{"working_dir", crate.path()}}, meta);
  EXPECT_EQ(publish.lines().at(0), invocation({"publish"}, crate.path()).dump());
  EXPECT_EQ(publish.lines().at(1), "(exit code 101)") << publish.text();
  EXPECT_TRUE(publish.is_error());
  EXPECT_TRUE(publish.progress().empty());
}

TEST(FrontEnd, RefusalsComeBeforeCargoRuns) {
  TempCrate crate("refused", {{"src/lib.rs", kGoodLib}});
  TempDir empty;
  ToolServer server;
  CallAnswer misspelt =
      server.call("cargo_check", {{"working_dir", crate.path()}, {"pakage", "x"}, {"zz", nullptr}});
  EXPECT_TRUE(misspelt.is_error());
  EXPECT_EQ(misspelt.text(),
            "error: cargo_check: unknown parameters `pakage`, `zz`.\n"
            "  - `pakage`: did you mean `package`?\n"
            "  Valid parameters: all_features, all_targets, bench, benches, bin, bins, env, "
            "example, examples, exclude, features, frozen, ignore_rust_version, jobs, keep_going, "
            "lib, locked, manifest_path, no_default_features, offline, output_path, package, "
            "profile, release, target, target_dir, test, tests, timeout_secs, timings, toolchain, "
            "working_dir, workspace.");

  CallAnswer no_manifest = server.call("cargo_build", {{"working_dir", empty.path()}});
  EXPECT_EQ(no_manifest.text(),
            "error: cargo_build: no `Cargo.toml` found in `" + empty.path() +
                "` or any parent directory. Pass `working_dir` set to the absolute path "
                "of your workspace root (the directory containing Cargo.toml), or pass "
                "`manifest_path`.");
  EXPECT_TRUE(no_manifest.is_error());

  CallAnswer bad_env =
      server.call("cargo_build", {{"working_dir", crate.path()}, {"env", {{"A=B", "1"}}}});
  EXPECT_EQ(bad_env.text(), "error: env key \"A=B\" must not contain '='");

  CallAnswer no_dependency = server.call("cargo_add", {{"working_dir", crate.path()}});
  EXPECT_EQ(no_dependency.text(), "error: cargo_add: `dependency` is required");

  for (const CallAnswer* answer : {&misspelt, &no_manifest, &bad_env, &no_dependency})
    EXPECT_TRUE(invocations(*answer).empty()) << answer->text();

  // No command line or path can carry a NUL: each text argument is named.
  for (const char* key : {"package", "features", "target", "toolchain", "manifest_path",
                          "target_dir", "output_path", "working_dir"}) {
    json arguments = {{"working_dir", crate.path()}};
    arguments[key] = std::string("a\0b", 3);
    CallAnswer nul = server.call("cargo_check", arguments);
    EXPECT_EQ(nul.text(), "error: " + std::string(key) + " must not contain NUL");
    EXPECT_TRUE(invocations(nul).empty()) << key;
  }
  EXPECT_FALSE(std::filesystem::exists(crate / "target"));
}

TEST(FrontEnd, EnvOverridesReachCargo) {
  TempCrate crate("envy", {{"src/lib.rs", kGoodLib}});
  ToolServer server;
  std::string target = crate / "elsewhere";
  CallAnswer answer = server.call("cargo_build", {{"working_directory", crate.path()},
                                                  {"env", {{"CARGO_TARGET_DIR", target}}}});
  EXPECT_FALSE(answer.is_error()) << answer.text();
  EXPECT_TRUE(std::filesystem::is_directory(target + "/debug"));
  EXPECT_FALSE(std::filesystem::exists(crate / "target"));
}

TEST(Progress, BuildReportsAndCountsOncePerScope) {
  TempCrate crate("progress", {{"src/lib.rs", kGoodLib}});
  ToolServer server;
  CallAnswer first =
      server.call("cargo_build", {{"working_dir", crate.path()}}, json{{"progressToken", 7}});
  EXPECT_FALSE(first.is_error()) << first.text();
  std::vector<json> progress = first.progress();
  ASSERT_FALSE(progress.empty());
  for (const json& p : progress) EXPECT_EQ(p["progressToken"], 7);
  std::vector<std::string> runs = invocations(first);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_NE(runs[0].find("metadata"), std::string::npos) << runs[0];
  EXPECT_NE(runs[1].find("build"), std::string::npos) << runs[1];

  // Same scope: counted already. The lock flags and manifest make a scope of their own.
  CallAnswer second =
      server.call("cargo_check", {{"working_dir", crate.path()}}, json{{"progressToken", 8}});
  EXPECT_EQ(invocations(second).size(), 1u);
  CallAnswer locked = server.call(
      "cargo_check",
      {{"working_dir", crate.path()}, {"locked", true}, {"manifest_path", crate / "Cargo.toml"}},
      json{{"progressToken", 9}});
  runs = invocations(locked);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_NE(runs[0].find("metadata"), std::string::npos);
  EXPECT_NE(runs[0].find("--locked"), std::string::npos) << runs[0];
  EXPECT_NE(runs[0].find("--manifest-path"), std::string::npos) << runs[0];

  // The count runs within the call's timeout, so a bad one fails before anything runs.
  CallAnswer bad_timeout = server.call(
      "cargo_build",
      {{"working_dir", crate.path()}, {"manifest_path", "./Cargo.toml"}, {"timeout_secs", "10"}},
      json{{"progressToken", 11}});
  EXPECT_EQ(bad_timeout.text(), "error: timeout_secs must be a non-negative integer, got \"10\"");
  EXPECT_TRUE(invocations(bad_timeout).empty());

  // A malformed lock switch warns once per call, though both runs carry the switches.
  CallAnswer bad_switch = server.call(
      "cargo_check", {{"working_dir", crate.path()}, {"locked", true}, {"offline", "maybe"}},
      json{{"progressToken", 10}});
  EXPECT_FALSE(bad_switch.is_error()) << bad_switch.text();
  size_t warnings = 0;
  for (const std::string& line : bad_switch.log_lines())
    warnings += line.find("boolean argument `offline`") != std::string::npos;
  EXPECT_EQ(warnings, 1u);
  EXPECT_EQ(invocations(bad_switch).size(), 2u);

  // Without a token there is no counting run and no progress.
  CallAnswer quiet =
      server.call("cargo_build", {{"working_dir", crate.path()}, {"timings", false}});
  EXPECT_TRUE(quiet.progress().empty());
  EXPECT_EQ(invocations(quiet).size(), 1u);
}

/// The server's peak resident memory in bytes, from /proc.
uint64_t peak_memory(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmHWM:")) return std::stoull(line.substr(6)) * 1024;
  return 0;
}

// A cargo whose metadata never ends costs the server no more than a bounded
// buffer, and the call goes on without a total.
TEST(Progress, AMetadataRunThatNeverEndsIsCutOff) {
  TempCrate crate("progress", {{"src/lib.rs", kGoodLib}});
  TempDir script;
  script.write("script.1", "flood {\"packages\":[{\"name\":\"x\"},\n");
  script.write("script",
               "out {\"reason\":\"compiler-artifact\",\"fresh\":false,"
               "\"package_id\":\"path+file:///p#progress@0.1.0\"}\n");
  ToolServer server({{"CARGO", std::string(TARNWICK_TEST_BIN_DIR) + "/fake_cargo"},
                     {"FAKE_CARGO_DIR", script.path()}});
  CallAnswer answer =
      server.call("cargo_check", {{"working_dir", crate.path()}}, json{{"progressToken", 1}});
  EXPECT_FALSE(answer.is_error()) << answer.text();
  std::vector<json> progress = answer.progress();
  ASSERT_EQ(progress.size(), 1u);
  EXPECT_EQ(progress[0]["message"], "Cargo check: Building progress v0.1.0 (1/1) [dev]");
  EXPECT_LT(peak_memory(server.process().pid()), uint64_t{512} << 20);
}

// cargo waits for its package-cache lock; a call with a progress token
// still ends at its own timeout while the count waits.
TEST(Progress, TheCountWaitingForCargosLockKeepsTheCallsTimeout) {
  TempCrate crate("progress", {{"src/lib.rs", kGoodLib}});
  TempDir cargo_home;  // its own lock, so no other test waits for it
  const std::string lock_path = cargo_home / ".package-cache";
  int lock = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  ToolServer server({{"CARGO_HOME", cargo_home.path()}});
  auto sent = Clock::now();
  CallAnswer answer =
      server.call("cargo_check", {{"working_dir", crate.path()}, {"timeout_secs", 3}},
                  json{{"progressToken", 1}});
  auto took = Clock::now() - sent;
  ::close(lock);
  EXPECT_TRUE(answer.text().starts_with("error: Operation timed out after 3.")) << answer.text();
  EXPECT_LT(took, std::chrono::seconds(60));
  EXPECT_EQ(invocations(answer).size(), 1u) << "the check started with no time left";
}

TEST(Suggestions, CheckListsAutoApplicableAndReviewSections) {
  TempCrate crate("suggest", {{"src/lib.rs",
                               "use std::collections::HashMap;\n"
                               "pub fn answer() -> i32 {\n    let mut x = 1;\n    x\n}\n"
                               "pub fn BadName() {}\n"}});
  ToolServer server;
  CallAnswer answer = server.call("cargo_check", {{"working_dir", crate.path()}});
  EXPECT_FALSE(answer.is_error());
  const std::string text = answer.text();
  size_t automatic = text.find("\n\n--- Auto-applicable (2 fixes, safe to apply) ---\n");
  size_t review = text.find("\n--- Needs review (1 suggestion) ---\n");
  ASSERT_NE(automatic, std::string::npos) << text;
  ASSERT_NE(review, std::string::npos) << text;
  ASSERT_LT(automatic, review);
  // Each lint sits in the section its applicability puts it in.
  std::string first = text.substr(automatic, review - automatic), second = text.substr(review);
  EXPECT_NE(first.find(". [unused_imports] "), std::string::npos) << first;
  EXPECT_NE(first.find(". [unused_mut] "), std::string::npos) << first;
  EXPECT_NE(second.find(". [non_snake_case] "), std::string::npos) << second;
  EXPECT_NE(second.find("[maybe-incorrect] (src/lib.rs:6:8)\n     replacement: bad_name\n"),
            std::string::npos)
      << second;
}

TEST(OutputFile, CheckWritesTheFullResult) {
  TempCrate crate("outfile", {{"src/lib.rs", kGoodLib}});
  ToolServer server;
  CallAnswer answer =
      server.call("cargo_check", {{"working_dir", crate.path()}, {"output_path", "out.jsonl"}});
  EXPECT_TRUE(has_reason(answer.records(), "x-tarnwick-output-file")) << answer.text();
  EXPECT_TRUE(std::filesystem::exists(crate / "out.jsonl"));
  CallAnswer refused =
      server.call("cargo_check", {{"working_dir", crate.path()}, {"output_path", "/tmp/x"}});
  EXPECT_TRUE(refused.is_error());
  EXPECT_TRUE(invocations(refused).empty());
}

TEST(Cancellation, EndsARunningBuildAndItsWholeTree) {
  TempCrate crate(
      "sleepy",
      {{"src/lib.rs", kGoodLib},
       {"build.rs", "fn main() { std::thread::sleep(std::time::Duration::from_secs(120)); }\n"}});
  ToolServer server;
  server.send("cargo_build", {{"working_dir", crate.path()}});
  int id = server.next_id() - 1;

  // Wait until the build script runs, then take the whole tree.
  std::set<int> tree;
  auto deadline = Clock::now() + std::chrono::seconds(120);
  bool script_running = false;
  while (!script_running && Clock::now() < deadline) {
    tree = descendants(server.process().pid());
    for (int pid : tree)
      if (process_name(pid).starts_with("build-script")) script_running = true;
    if (!script_running) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(script_running) << "the build script never started";
  ASSERT_GE(tree.size(), 2u);

  std::chrono::milliseconds took{};
  CallAnswer answer = server.cancel(id, took);
  std::cout << "[ cancel   ] answered " << took.count() << " ms after the cancellation"
            << std::endl;
  EXPECT_LT(took, std::chrono::milliseconds(500));
  EXPECT_EQ(answer.result(),
            json::parse(R"({"content":[{"text":"Operation cancelled by client request.",)"
                        R"("type":"text"}],"isError":true})"));

  auto gone_by = Clock::now() + std::chrono::seconds(5);
  std::set<int> left = tree;
  while (!left.empty() && Clock::now() < gone_by) {
    for (auto it = left.begin(); it != left.end();)
      it = process_gone(*it) ? left.erase(it) : std::next(it);
    if (!left.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(left.empty()) << left.size() << " process(es) of the tree survived, e.g. "
                            << (left.empty() ? "" : process_name(*left.begin()));
  EXPECT_TRUE(descendants(server.process().pid()).empty());
}

/// Waits until the server's standard output, which the test does not read,
/// is full.
bool output_fills(ServerProcess& server) {
  auto deadline = Clock::now() + std::chrono::seconds(60);
  while (!server.output_full() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return server.output_full();
}

TEST(Cancellation, AClientThatStopsReadingHoldsUpNeitherCancelNorTimeout) {
  // A test that writes past libtest's capture: more progress than the pipe
  // to the client holds, but less output than the server's own pipes and
  // channel take, so that only the server could be stuck; then it waits
  // until it is killed.
  TempCrate crate("spin", {{"src/lib.rs",
                            "#[test]\nfn spin() {\n"
                            "    use std::io::Write;\n"
                            "    let pad = \"x\".repeat(100);\n"
                            "    for i in 0..600 {\n"
                            "        let _ = writeln!(std::io::stdout(), \"line {i} {pad}\");\n"
                            "    }\n"
                            "    loop {\n"
                            "        std::thread::sleep(std::time::Duration::from_secs(1));\n"
                            "    }\n}\n"}});
  ToolServer server;
  ServerProcess& process = server.process();
  const json progress = {{"progressToken", "p"}};
  // Nothing is read from here on until the tree is gone, so the pipe to the
  // client fills with progress while the test writes.
  server.send("cargo_test", {{"working_dir", crate.path()}, {"timeout_secs", 600}}, progress);
  std::set<int> tree = tree_once_running(process.pid(), "spin-");
  ASSERT_FALSE(tree.empty()) << "the test never started";
  ASSERT_TRUE(output_fills(process));
  process.write_line(
      R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})");
  EXPECT_TRUE(all_gone(tree, std::chrono::seconds(30))) << "the cancellation waited for the client";
  CallAnswer cancelled = server.receive();
  EXPECT_EQ(cancelled.text(), "Operation cancelled by client request.");
  // The notifications that went out are numbered without gaps.
  std::vector<json> sent = cancelled.progress();
  ASSERT_FALSE(sent.empty());
  for (size_t i = 0; i < sent.size(); ++i) ASSERT_EQ(sent[i]["progress"], i);

  // Built now, the crate's test starts well within the budget.
  server.send("cargo_test", {{"working_dir", crate.path()}, {"timeout_secs", 10}}, progress);
  tree = tree_once_running(process.pid(), "spin-");
  ASSERT_FALSE(tree.empty()) << "the test never started";
  ASSERT_TRUE(output_fills(process));
  EXPECT_TRUE(all_gone(tree, std::chrono::seconds(60))) << "the timeout waited for the client";
  const std::string prefix = "error: Operation timed out after ";
  CallAnswer timed_out = server.receive();
  ASSERT_TRUE(timed_out.text().starts_with(prefix)) << timed_out.text();
  double elapsed = std::stod(timed_out.text().substr(prefix.size()));
  EXPECT_GE(elapsed, 10.0);
  EXPECT_LT(elapsed, 40.0) << "the deadline was noticed only once the client read again";
}

}  // namespace
}  // namespace tarnwick::e2e
