#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tools_e2e_support.h"

namespace tarnwick::e2e {
namespace {

using tarnwick::testing::TempCrate;
using tarnwick::testing::TempDir;

/// The first record with `reason` (null when there is none).
json record_of(const std::vector<json>& records, const std::string& reason) {
  for (const json& r : records)
    if (r.is_object() && r.value("reason", "") == reason) return r;
  return nullptr;
}

std::vector<json> records_of(const std::vector<json>& records, const std::string& reason) {
  std::vector<json> out;
  for (const json& r : records)
    if (r.is_object() && r.value("reason", "") == reason) out.push_back(r);
  return out;
}

/// The names after "--exact" (and "--include-ignored") of a launch argv.
std::vector<std::string> launched_names(const json& invocation) {
  std::vector<std::string> argv = invocation.at("argv").get<std::vector<std::string>>();
  auto exact = std::find(argv.begin(), argv.end(), "--exact");
  if (exact == argv.end()) return {};
  return {exact + 1, argv.end()};
}

json filter_call(const TempDir& crate, const std::string& pattern) {
  return {{"working_dir", crate.path()}, {"test_filter", {{"pattern", pattern}}}};
}

/// Tests in a library, two integration binaries and a harness-less target
/// whose --list fails on request; one test hangs on request.
TempCrate picker_crate() {
  return TempCrate(
      "picker",
      {{"src/lib.rs",
        "pub mod tools {\n    #[cfg(test)]\n    mod tests {\n"
        "        #[test]\n        fn foo() {}\n        #[test]\n        fn other() {}\n    }\n}\n"},
       {"tests/alpha.rs", "#[test]\nfn foo() {}\n#[test]\nfn alpha_two() {}\n"},
       {"tests/beta.rs",
        "#[test]\nfn beta_one() {}\n#[test]\nfn beta_hang() {\n"
        "    use std::io::Write;\n"
        "    while std::env::var(\"TARNWICK_HANG\").is_ok() {\n"
        "        // Uncaptured lines like libtest's, about no selected test.\n"
        "        writeln!(std::io::stdout().lock(), \"test chatty::step ... ok\").unwrap();\n"
        "        std::thread::sleep(std::time::Duration::from_millis(200));\n    }\n}\n"},
       {"tests/noharness.rs",
        "fn main() {\n"
        "    if std::env::var(\"TARNWICK_BAD_LIST\").is_ok() {\n"
        "        eprintln!(\"no listing here\");\n        std::process::exit(1);\n    }\n}\n"}},
      "\n[[test]]\nname = \"noharness\"\nharness = false\n");
}

TEST(TestFilter, SelectsAcrossBinariesAndReportsWhatRan) {
  TempCrate crate = picker_crate();
  ToolServer server;

  CallAnswer loose = server.call("cargo_test", filter_call(crate, "foo"));
  EXPECT_FALSE(loose.is_error()) << loose.text();
  std::vector<json> records = loose.records();
  json discovery = record_of(records, "x-tarnwick-test-filter-discovery");
  ASSERT_TRUE(discovery.is_object()) << loose.text();
  EXPECT_EQ(discovery["binaries"].size(), 4u);
  EXPECT_EQ(discovery["tests_enumerated"], 6);
  EXPECT_EQ(discovery["tests_matched"], 2);
  EXPECT_EQ(discovery["launches_planned"], 2);
  EXPECT_EQ(discovery["enumeration_errors"], json::array());
  json summary = record_of(records, "x-tarnwick-test-filter-summary");
  EXPECT_EQ(summary["launches"], 2);
  EXPECT_EQ(summary["binaries_discovered"], 4);
  EXPECT_EQ(summary["binaries_with_matches"], 2);
  EXPECT_EQ(summary["status"], "success");
  EXPECT_FALSE(summary.contains("tests_not_run"));
  EXPECT_EQ(loose.lines().back(), R"({"status":"success"})");
  std::vector<json> invocations = records_of(records, "x-tarnwick-invocation");
  ASSERT_EQ(invocations.size(), 3u);  // the build and two launches
  EXPECT_EQ(invocations[0]["argv"], json({"test", "--no-run", "--message-format=json"}));
  std::set<std::vector<std::string>> launched = {launched_names(invocations[1]),
                                                 launched_names(invocations[2])};
  EXPECT_EQ(launched, (std::set<std::vector<std::string>>{{"foo"}, {"tools::tests::foo"}}));

  // An anchored pattern, written to a file.
  json anchored = filter_call(crate, "^foo$");
  anchored["output_path"] = "filter.jsonl";
  CallAnswer written = server.call("cargo_test", anchored);
  EXPECT_FALSE(written.is_error()) << written.text();
  EXPECT_TRUE(record_of(written.records(), "x-tarnwick-output-file").is_object()) << written.text();
  std::ifstream file(crate / "filter.jsonl");
  std::stringstream contents;
  contents << file.rdbuf();
  EXPECT_NE(contents.str().find(R"("tests_matched":1)"), std::string::npos) << contents.str();

  // A hanging test is stopped by the idle watchdog; the other binaries still run.
  json hanging = filter_call(crate, "^(foo|tools::tests::foo|beta_hang)$");
  hanging["per_test_timeout_secs"] = 2;
  hanging["env"] = {{"TARNWICK_HANG", "1"}};
  CallAnswer stopped = server.call("cargo_test", hanging);
  EXPECT_TRUE(stopped.is_error());
  records = stopped.records();
  summary = record_of(records, "x-tarnwick-test-filter-summary");
  EXPECT_EQ(summary["launches"], 3) << stopped.text();
  EXPECT_EQ(summary["status"], "error");
  EXPECT_EQ(summary["exit_code"], -1);
  size_t passed = 0;
  for (const json& r : records_of(records, "x-tarnwick-test-output"))
    passed += r["text"] == "test foo ... ok" || r["text"] == "test tools::tests::foo ... ok";
  EXPECT_EQ(passed, 2u) << stopped.text();
  std::vector<json> failures = records_of(records, "x-tarnwick-stderr");
  EXPECT_TRUE(std::any_of(failures.begin(), failures.end(), [](const json& r) {
    return r["text"].get<std::string>().find(
               "tarnwick test_filter: per-binary run failed: Operation timed out after 2.") !=
           std::string::npos;
  })) << stopped.text();

  // A harness-less target whose --list fails is an enumeration error.
  json bad_list = filter_call(crate, "^foo$");
  bad_list["env"] = {{"TARNWICK_BAD_LIST", "1"}};
  CallAnswer unlisted = server.call("cargo_test", bad_list);
  EXPECT_TRUE(unlisted.is_error());
  records = unlisted.records();
  discovery = record_of(records, "x-tarnwick-test-filter-discovery");
  ASSERT_EQ(discovery["enumeration_errors"].size(), 1u) << unlisted.text();
  EXPECT_NE(discovery["enumeration_errors"][0].get<std::string>().find(
                "exited with code 1 during --list enumeration: no listing here"),
            std::string::npos)
      << discovery;
  summary = record_of(records, "x-tarnwick-test-filter-summary");
  EXPECT_EQ(summary["binaries_discovered"], 3);
  EXPECT_EQ(summary["exit_code"], -1);
  EXPECT_EQ(unlisted.lines().back(), R"({"status":"error","exit_code":-1})");

  // Per-test mode: one launch per matched name.
  ToolServer per_test({}, {"--per-test-execution=true"});
  CallAnswer single = per_test.call("cargo_test", filter_call(crate, "foo|alpha_two"));
  EXPECT_FALSE(single.is_error()) << single.text();
  records = single.records();
  EXPECT_EQ(record_of(records, "x-tarnwick-test-filter-discovery")["launches_planned"], 3);
  EXPECT_EQ(record_of(records, "x-tarnwick-test-filter-summary")["launches"], 3);
  invocations = records_of(records, "x-tarnwick-invocation");
  ASSERT_EQ(invocations.size(), 4u);
  for (size_t i = 1; i < invocations.size(); ++i)
    EXPECT_EQ(launched_names(invocations[i]).size(), 1u) << invocations[i];
}

TEST(TestFilter, CancellationEndsTheCallWithoutFurtherLaunches) {
  TempCrate crate = picker_crate();
  ToolServer server;
  json hanging = filter_call(crate, "^(foo|tools::tests::foo|beta_hang)$");
  hanging["per_test_timeout_secs"] = 0;
  hanging["env"] = {{"TARNWICK_HANG", "1"}};
  server.send("cargo_test", hanging);
  int id = server.next_id() - 1;
  std::set<int> tree = tree_once_running(server.process().pid(), "beta-");
  ASSERT_FALSE(tree.empty()) << "the hanging test never started";
  server.process().write_line(json{
      {"jsonrpc", "2.0"}, {"method", "notifications/cancelled"}, {"params", {{"requestId", id}}}}
                                  .dump());
  CallAnswer answer = server.receive(std::chrono::seconds(30));
  EXPECT_EQ(answer.text(), "Operation cancelled by client request.");
  EXPECT_TRUE(answer.is_error());
  EXPECT_TRUE(all_gone(tree));
  EXPECT_TRUE(descendants(server.process().pid()).empty());
}

/// The answer's results agree with `cargo test` on the same crate: every
/// test the answer reports has the same outcome there, and a failure there
/// makes the answer an error.
void expect_agrees_with_cargo(const CallAnswer& answer, const DirectCargo& cargo) {
  std::map<std::string, std::string> ours = answer_results(answer);
  std::map<std::string, std::string> theirs = libtest_results(cargo.output);
  for (const auto& [name, outcome] : ours) EXPECT_EQ(theirs[name], outcome) << name;
  if (cargo.exit_code != 0) {
    EXPECT_TRUE(answer.is_error()) << answer.text();
  }
}

TEST(TestFilter, LaunchesRunTheListedBinaryWhateverCargoWouldRebuild) {
  // beta turns on alpha's `extra`: the workspace build that was listed has
  // it, a build of alpha alone would not.
  TempDir ws("tarnwick-unify");
  ws.write("Cargo.toml", "[workspace]\nmembers = [\"alpha\", \"beta\"]\nresolver = \"2\"\n");
  ws.write("alpha/Cargo.toml",
           "[package]\nname = \"alpha\"\nversion = \"0.1.0\"\nedition = \"2021\"\n\n"
           "[features]\nextra = []\n");
  ws.write(
      "alpha/src/lib.rs",
      "#[cfg(test)]\nmod tests {\n    #[test]\n    fn plain() {}\n"
      "    #[cfg(feature = \"extra\")]\n    #[test]\n    fn gated() {}\n"
      "    #[test]\n    fn flips() { assert!(!cfg!(feature = \"extra\"), \"extra is on\"); }\n}\n");
  ws.write("beta/Cargo.toml",
           "[package]\nname = \"beta\"\nversion = \"0.1.0\"\nedition = \"2021\"\n\n"
           "[dependencies]\nalpha = { path = \"../alpha\", features = [\"extra\"] }\n");
  ws.write("beta/src/lib.rs", "pub fn f() {}\n");
  json arguments = filter_call(ws, "^tests::");
  arguments["workspace"] = true;
  arguments["env"] = {{"RUST_BACKTRACE", "0"}};
  DirectCargo cargo = run_cargo_directly(ws.path(), "test --workspace");
  ASSERT_EQ(libtest_results(cargo.output)["tests::flips"], "FAILED") << cargo.output;

  for (bool per_test : {false, true}) {
    ToolServer server({}, {per_test ? "--per-test-execution=true" : "--per-test-execution=false"});
    CallAnswer answer = server.call("cargo_test", arguments);
    EXPECT_TRUE(answer.is_error()) << answer.text();
    std::vector<json> records = answer.records();
    json summary = record_of(records, "x-tarnwick-test-filter-summary");
    EXPECT_EQ(summary["tests_matched"], 3) << answer.text();
    EXPECT_EQ(summary["status"], "error");
    EXPECT_FALSE(summary.contains("tests_not_run")) << answer.text();
    EXPECT_EQ(answer_results(answer),
              (std::map<std::string, std::string>{
                  {"tests::flips", "FAILED"}, {"tests::gated", "ok"}, {"tests::plain", "ok"}}))
        << answer.text();
    // The launch keeps the call's package selection, so cargo runs the very
    // binary the workspace build made.
    std::vector<json> invocations = records_of(records, "x-tarnwick-invocation");
    ASSERT_GE(invocations.size(), 2u);
    std::vector<std::string> argv = invocations[1]["argv"].get<std::vector<std::string>>();
    EXPECT_EQ(std::count(argv.begin(), argv.end(), "--workspace"), 1) << answer.text();
    EXPECT_EQ(std::count(argv.begin(), argv.end(), "--package"), 0) << answer.text();
    EXPECT_EQ(invocations[1]["cwd"], ws.path());
    expect_agrees_with_cargo(answer, cargo);
  }
}

TEST(TestFilter, TestsTheBudgetStoppedOrKilledAreNotRun) {
  TempCrate crate(
      "budget",
      {{"src/lib.rs",
        "#[cfg(test)]\nmod tests {\n    #[test]\n    fn a_sleeps() {\n"
        "        if std::env::var(\"TARNWICK_SLEEP\").is_ok() {\n"
        "            std::thread::sleep(std::time::Duration::from_secs(600));\n        }\n    }\n"
        "    #[test]\n    fn b_passes() {}\n}\n"},
       {"tests/c.rs", "#[test]\nfn c_fails() { panic!(\"always\"); }\n"}});
  json arguments = filter_call(crate, ".");
  // The budget caps the (already done) build too: room for a loaded machine.
  arguments["timeout_secs"] = 12;
  arguments["per_test_timeout_secs"] = 0;
  arguments["env"] = {{"TARNWICK_SLEEP", "1"}, {"RUST_BACKTRACE", "0"}};
  DirectCargo cargo = run_cargo_directly(crate.path(), "test --no-fail-fast");
  ASSERT_NE(cargo.exit_code, 0) << cargo.output;

  for (bool per_test : {false, true}) {
    ToolServer server({}, {per_test ? "--per-test-execution=true" : "--per-test-execution=false"});
    CallAnswer answer = server.call("cargo_test", arguments);
    EXPECT_TRUE(answer.is_error()) << answer.text();
    json summary = record_of(answer.records(), "x-tarnwick-test-filter-summary");
    EXPECT_NE(summary["exit_code"], 0) << answer.text();
    // The killed test and whatever the budget left unlaunched did not run;
    // c_fails ran only when its binary came first, and then it failed.
    std::vector<std::string> not_run = summary.value("tests_not_run", std::vector<std::string>{});
    std::map<std::string, std::string> ran = answer_results(answer);
    EXPECT_TRUE(std::count(not_run.begin(), not_run.end(), "tests::a_sleeps")) << answer.text();
    for (const std::string name : {"c_fails", "tests::b_passes"})
      EXPECT_NE(std::count(not_run.begin(), not_run.end(), name) != 0, ran.contains(name))
          << name << "\n"
          << answer.text();
    EXPECT_NE(ran["c_fails"], "ok");
    expect_agrees_with_cargo(answer, cargo);
  }
}

/// A crate whose only test binary is a harness-less one that waits on
/// `--list`, noting its pid first.
TempCrate slow_list_crate() {
  return TempCrate(
      "slowlist",
      {{"src/lib.rs", "pub fn f() {}\n"},
       {"tests/waits.rs",
        "fn main() {\n    if std::env::args().any(|a| a == \"--list\") {\n"
        "        let dir = env!(\"CARGO_MANIFEST_DIR\");\n"
        "        std::fs::write(format!(\"{dir}/listing\"), \"\").unwrap();\n"
        "        std::thread::sleep(std::time::Duration::from_secs(600));\n    }\n}\n"}},
      "\n[lib]\ntest = false\ndoctest = false\n\n[[test]]\nname = \"waits\"\n"
      "harness = false\n");
}

TEST(TestFilter, CancellingTheLastListingCancelsTheCallInBothEngines) {
  TempCrate crate = slow_list_crate();
  ToolServer server;
  const json calls[] = {filter_call(crate, "."),
                        {{"working_dir", crate.path()}, {"bisect", {{"group_timeout_secs", 30}}}}};
  for (const json& arguments : calls) {
    std::filesystem::remove(crate / "listing");
    server.send("cargo_test", arguments);
    auto by = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!std::filesystem::exists(crate / "listing") && std::chrono::steady_clock::now() < by)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(std::filesystem::exists(crate / "listing")) << arguments;
    std::chrono::milliseconds took{};
    CallAnswer answer = server.cancel(server.next_id() - 1, took);
    EXPECT_EQ(answer.text(), "Operation cancelled by client request.") << arguments;
  }
}

}  // namespace
}  // namespace tarnwick::e2e
