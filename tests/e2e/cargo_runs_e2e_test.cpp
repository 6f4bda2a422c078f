// test_filter and bisection run every test binary as `cargo test` runs it:
// each case also runs cargo itself on the same crate and checks that the
// answer agrees.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools_e2e_support.h"

namespace tarnwick::e2e {
namespace {

using tarnwick::testing::TempCrate;
using tarnwick::testing::TempDir;

json filter_call(const TempDir& crate, const std::string& pattern, json env = json::object()) {
  return {{"working_dir", crate.path()}, {"test_filter", {{"pattern", pattern}}}, {"env", env}};
}

json bisect_call(const TempDir& crate, json bisect = json::object(), json env = json::object()) {
  bisect["group_timeout_secs"] = 60;
  return {{"working_dir", crate.path()}, {"bisect", bisect}, {"env", env}};
}

/// The texts of the answer's notes.
std::string notes_of(const CallAnswer& answer) {
  std::string notes;
  for (const json& note : answer.records_with("x-tarnwick-note"))
    notes += note["text"].get<std::string>() + "\n";
  return notes;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

/// Each environment dump in `dir`, without rustup's own bookkeeping, which
/// counts the proxies it went through.
std::vector<std::string> environment_dumps(const std::filesystem::path& dir) {
  std::vector<std::string> dumps;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::istringstream lines(read_file(entry.path()));
    std::string kept;
    for (std::string line; std::getline(lines, line);)
      if (!line.starts_with("RUST_RECURSION_COUNT=") &&
          !line.starts_with("RUSTUP_TOOLCHAIN_SOURCE="))
        kept += line + "\n";
    dumps.push_back(std::move(kept));
  }
  return dumps;
}

/// A crate with a build script's value and a test that checks what cargo
/// gives it and dumps its whole environment and working directory.
TempCrate cargo_way_crate() {
  return TempCrate("cargoway",
                   {{"build.rs", "fn main() { println!(\"cargo:rustc-env=FROM_BUILD=yes\"); }\n"},
                    {"src/lib.rs", R"(#[cfg(test)]
mod tests {
    #[test]
    fn sees_cargos_environment() {
        assert_eq!(std::env::var("FROM_CONFIG").unwrap(), "yes");
        assert_eq!(std::env::var("FROM_BUILD").unwrap(), "yes");
        assert!(std::path::Path::new(&std::env::var("OUT_DIR").unwrap()).is_dir());
        assert!(std::env::var("CARGO_CRATE_NAME").is_err());
        assert!(std::env::var("CARGO_TARGET_TMPDIR").is_err());
        let dir = concat!(env!("CARGO_MANIFEST_DIR"), "/dumps");
        std::fs::create_dir_all(dir).unwrap();
        let mut vars: Vec<String> = std::env::vars().map(|(k, v)| format!("{k}={v}")).collect();
        vars.sort();
        vars.push(format!("cwd={}", std::env::current_dir().unwrap().display()));
        let nanos = std::time::SystemTime::now().duration_since(std::time::UNIX_EPOCH).unwrap();
        let name = format!("{dir}/{}-{}", nanos.as_nanos(), std::process::id());
        std::fs::write(name, vars.join("\n")).unwrap();
    }
    #[test]
    fn leaks() { std::fs::write("leaked", "").unwrap(); }
    #[test]
    fn plain() {}
}
)"},
                    {"runner.sh",
                     "#!/bin/sh\n\"$@\"; code=$?\n"
                     "if [ -e leaked ]; then rm -f leaked; echo 'leak found' >&2; exit 3; fi\n"
                     "exit $code\n"}});
}

/// cargo's configuration for the crate: a checking runner that fails the run
/// once `leaks` left its mark, as a leak checker would, and `[env]` values.
void configure_cargo(const TempCrate& crate) {
  std::filesystem::permissions(crate / "runner.sh", std::filesystem::perms::owner_all);
  crate.write(".cargo/config.toml", "[target.'cfg(unix)']\nrunner = [\"" + crate / "runner.sh" +
                                        "\"]\n\n[env]\nFROM_CONFIG = \"yes\"\n"
                                        "CONFIG_DIR = { value = \"data\", relative = true }\n");
}

TEST(CargoRuns, RunnerEnvironmentAndWorkingDirectoryAreCargos) {
  TempCrate crate = cargo_way_crate();
  configure_cargo(crate);
  DirectCargo cargo = run_cargo_directly(crate.path(), "test");
  ASSERT_NE(cargo.exit_code, 0) << cargo.output;
  ASSERT_NE(cargo.output.find("(exit status: 3)"), std::string::npos) << cargo.output;
  std::filesystem::remove_all(crate / "dumps");

  ToolServer server = server_in_mode(false);
  CallAnswer plain = server.call("cargo_test", {{"working_dir", crate.path()}});
  EXPECT_TRUE(plain.is_error()) << plain.text();
  CallAnswer batched = server.call("cargo_test", filter_call(crate, "."));
  EXPECT_TRUE(batched.is_error()) << batched.text();
  EXPECT_FALSE(summary_of(batched).contains("tests_not_run")) << batched.text();
  EXPECT_EQ(answer_results(batched),
            (std::map<std::string, std::string>{{"tests::leaks", "ok"},
                                                {"tests::plain", "ok"},
                                                {"tests::sees_cargos_environment", "ok"}}))
      << batched.text();

  CallAnswer single = server_in_mode(true).call("cargo_test", filter_call(crate, "."));
  EXPECT_TRUE(single.is_error()) << single.text();
  EXPECT_EQ(summary_of(single)["launches"], 3);
  std::vector<json> statuses;
  for (const json& record : single.records())
    if (record.contains("status") && !record.contains("reason")) statuses.push_back(record);
  // The build, three launches of which only the one of `leaks` fails, the call.
  ASSERT_EQ(statuses.size(), 5u) << single.text();
  EXPECT_EQ(statuses[1]["exit_code"], 101) << single.text();
  EXPECT_EQ(statuses[2], json({{"status", "success"}}));

  CallAnswer bisect = server.call("cargo_test", bisect_call(crate));
  EXPECT_TRUE(bisect.is_error()) << bisect.text();
  EXPECT_EQ(culprits_of(bisect), std::vector<std::string>{"tests::leaks failed"}) << bisect.text();

  // Plain cargo_test, both filter modes and bisection saw one environment.
  std::vector<std::string> dumps = environment_dumps(crate / "dumps");
  ASSERT_GE(dumps.size(), 4u);
  for (const std::string& dump : dumps) EXPECT_EQ(dump, dumps.front());
  EXPECT_NE(dumps.front().find("\ncwd=" + crate.path() + "\n"), std::string::npos) << dumps.front();
  EXPECT_NE(dumps.front().find("\nCONFIG_DIR=" + crate / "data" + "\n"), std::string::npos);
}

// Output a test does not let libtest capture (a child process writing to
// the inherited streams, writes without a line feed, --nocapture) splits
// libtest's one-thread result lines and imitates them: no passing test
// becomes a failure, and no imitated line hides the real one.
TEST(CargoRuns, UncapturedOutputChangesNoVerdict) {
  TempCrate crate("talker", {{"src/lib.rs", R"(#[cfg(test)]
fn child(script: &str) {
    std::process::Command::new("sh").arg("-c").arg(script).status().unwrap();
}
#[test]
fn a_talks() {
    child("printf 'no newline from a child'");
    child("echo; echo 'test result: FAILED. 0 passed; 3 failed; 0 ignored; 0 measured; 0 filtered out; finished in 0.00s'; echo 'test tests::ghost ... ok'");
    print!("and no newline of its own");
}
#[test]
fn b_fails() {
    child("echo 'test result: ok. 3 passed; 0 failed; 0 ignored; 0 measured; 0 filtered out; finished in 0.00s'");
    panic!("fails");
}
#[test]
fn c_passes() {}
#[test]
fn d_runs_cargo() {
    let deps = std::env::current_exe().unwrap().parent().unwrap().to_path_buf();
    for entry in std::fs::read_dir(deps).unwrap() {
        let name = entry.unwrap().file_name().into_string().unwrap();
        if name.starts_with("it-") && !name.contains('.') {
            child(&format!("echo '     Running tests/it.rs (target/debug/deps/{name})' >&2"));
        }
    }
    child("echo '     Running tests/other.rs (target/debug/deps/other-0123456789abcdef)'");
    child("echo 'error: test failed, to rerun pass `--lib`' >&2; printf 'partial' >&2");
    child("printf 'error: 1 target failed:\\n    `--lib`\\n' >&2");
}
)"},
                             {"tests/it.rs", "#[test]\nfn it_passes() {}\n"}});
  const std::vector<json> envs = {json::object(),
                                  {{"RUST_TEST_THREADS", "1"}},
                                  {{"RUST_TEST_THREADS", "1"}, {"RUST_TEST_NOCAPTURE", "1"}}};
  DirectCargo cargo = run_cargo_directly(crate.path(), "test", "RUST_TEST_THREADS=1");
  ASSERT_NE(cargo.exit_code, 0);
  ASSERT_NE(cargo.output.find("test result: FAILED. 3 passed; 1 failed"), std::string::npos)
      << cargo.output;

  for (bool per_test : {false, true}) {
    ToolServer server = server_in_mode(per_test);
    for (const json& env : envs) {
      CallAnswer answer = server.call("cargo_test", filter_call(crate, ".", env));
      EXPECT_TRUE(answer.is_error()) << answer.text();
      json summary = summary_of(answer);
      EXPECT_NE(summary["exit_code"], -1) << answer.text();
      EXPECT_FALSE(summary.contains("tests_not_run")) << answer.text();
      EXPECT_FALSE(summary.contains("tests_crashed")) << answer.text();
      // The result lines shown may be split by a child's output; the
      // summary says every selected test has its result.
      EXPECT_EQ(answer.text().find("not trusted"), std::string::npos) << answer.text();
    }
  }
  CallAnswer bisect = server_in_mode(false).call("cargo_test", bisect_call(crate));
  EXPECT_EQ(culprits_of(bisect), std::vector<std::string>{"b_fails failed"}) << bisect.text();
  EXPECT_EQ(bisect.records_with("x-tarnwick-bisect-summary").at(0)["groups_without_culprit"],
            nullptr);
}

// A proc-macro crate's unit tests link the standard library dynamically and
// need cargo's library path; selected as a path dependency that is no
// workspace member, they still list and run.
TEST(CargoRuns, ProcMacroPathDependencyListsAndRuns) {
  TempCrate crate("outer",
                  {{"src/lib.rs", "pub fn f() {}\n"},
                   {"inner/Cargo.toml",
                    "[package]\nname = \"inner\"\nversion = \"0.1.0\"\nedition = "
                    "\"2021\"\n\n[lib]\nproc-macro = true\n"},
                   {"inner/src/lib.rs", "#[test]\nfn inside_the_macro_crate() {}\n"}},
                  "inner = { path = \"inner\" }\n");
  DirectCargo cargo = run_cargo_directly(crate.path(), "test -p inner");
  ASSERT_EQ(cargo.exit_code, 0) << cargo.output;

  ToolServer server = server_in_mode(false);
  json filter = filter_call(crate, "inside");
  filter["package"] = "inner";
  CallAnswer filtered = server.call("cargo_test", filter);
  EXPECT_FALSE(filtered.is_error()) << filtered.text();
  EXPECT_EQ(summary_of(filtered)["tests_matched"], 1) << filtered.text();
  EXPECT_EQ(answer_results(filtered)["inside_the_macro_crate"], "ok") << filtered.text();
  json bisect = bisect_call(crate);
  bisect["package"] = "inner";
  CallAnswer bisected = server.call("cargo_test", bisect);
  EXPECT_FALSE(bisected.is_error()) << bisected.text();
  EXPECT_EQ(bisected.records_with("x-tarnwick-bisect-summary").at(0)["tests_considered"], 1);
}

// Neither mode runs doctests or targets whose tests cannot be listed; the
// answer says so rather than letting "success" speak for them.
TEST(CargoRuns, UnlistableTargetsAndDoctestsAreNamedAsNotRun) {
  TempCrate crate("partial",
                  {{"src/lib.rs",
                    "/// ```\n/// assert_eq!(1, 2);\n/// ```\npub fn f() {}\n"
                    "#[test]\nfn unit() {}\n"},
                   {"tests/custom.rs",
                    "fn main() {\n    if std::env::args().any(|a| a == \"--list\") { return; }\n"
                    "    std::process::exit(1);\n}\n"},
                   {"tests/listed.rs",
                    "fn main() {\n    if std::env::args().any(|a| a == \"--list\") {\n"
                    "        println!(\"custom_case: test\");\n    }\n}\n"}},
                  "\n[[test]]\nname = \"custom\"\nharness = false\n"
                  "\n[[test]]\nname = \"listed\"\nharness = false\n");
  DirectCargo cargo = run_cargo_directly(crate.path(), "test --no-fail-fast");
  ASSERT_NE(cargo.exit_code, 0) << cargo.output;
  ASSERT_NE(cargo.output.find("src/lib.rs - f (line 1) ... FAILED"), std::string::npos)
      << cargo.output;

  ToolServer server = server_in_mode(false);
  CallAnswer filtered = server.call("cargo_test", filter_call(crate, "unit"));
  std::string notes = notes_of(filtered);
  EXPECT_NE(notes.find("doctests are not run"), std::string::npos) << filtered.text();
  EXPECT_NE(notes.find("`--test custom` of package partial"), std::string::npos) << notes;
  json discovery = filtered.records_with("x-tarnwick-test-filter-discovery").at(0);
  ASSERT_EQ(discovery["not_listed"].size(), 1u) << discovery;
  EXPECT_EQ(discovery["not_listed"][0]["target"], "custom");

  CallAnswer doctest = server.call("cargo_test", filter_call(crate, "line 1"));
  EXPECT_EQ(summary_of(doctest)["tests_matched"], 0);
  EXPECT_NE(notes_of(doctest).find("doc: true"), std::string::npos) << doctest.text();

  json bisect = bisect_call(crate, {{"pattern", "unit"}});
  CallAnswer bisected = server.call("cargo_test", bisect);
  notes = notes_of(bisected);
  EXPECT_NE(notes.find("doctests are not run"), std::string::npos) << bisected.text();
  EXPECT_NE(notes.find("`--test custom` of package partial"), std::string::npos) << notes;
}

// A test that crashes its binary is named as crashed, not as one that did
// not run; ignored tests are not matched unless asked for; no_run builds.
TEST(CargoRuns, CrashesIgnoredTestsAndNoRun) {
  TempCrate crate("crashy", {{"src/lib.rs",
                              "#[test]\nfn boom() { std::process::abort(); }\n"
                              "#[test]\nfn fine() {}\n#[test]\n#[ignore]\nfn skipped() {}\n"}});
  DirectCargo cargo = run_cargo_directly(crate.path(), "test");
  ASSERT_NE(cargo.exit_code, 0);
  ASSERT_NE(cargo.output.find("SIGABRT"), std::string::npos) << cargo.output;

  CallAnswer single = server_in_mode(true).call("cargo_test", filter_call(crate, "."));
  EXPECT_TRUE(single.is_error());
  json summary = summary_of(single);
  EXPECT_EQ(summary["tests_matched"], 2) << single.text();
  EXPECT_EQ(summary["tests_crashed"], json({"boom"})) << single.text();
  EXPECT_FALSE(summary.contains("tests_not_run")) << single.text();

  ToolServer server = server_in_mode(false);
  CallAnswer batched =
      server.call("cargo_test", filter_call(crate, ".", {{"RUST_TEST_THREADS", "1"}}));
  summary = summary_of(batched);
  EXPECT_EQ(summary["tests_crashed"], json({"boom"})) << batched.text();
  EXPECT_EQ(summary["tests_not_run"], json({"fine"})) << batched.text();
  EXPECT_NE(batched.text().find("crashed (signal: 6"), std::string::npos) << batched.text();

  json ignored = filter_call(crate, "skipped");
  ignored["test_filter"]["include_ignored"] = true;
  CallAnswer asked = server.call("cargo_test", ignored);
  EXPECT_FALSE(asked.is_error()) << asked.text();
  EXPECT_EQ(answer_results(asked)["skipped"], "ok");

  json build_only = filter_call(crate, ".");
  build_only["no_run"] = true;
  CallAnswer built = server.call("cargo_test", build_only);
  EXPECT_FALSE(built.is_error()) << built.text();
  EXPECT_TRUE(built.records_with("x-tarnwick-test-filter-discovery").empty()) << built.text();
  std::vector<std::string> lines = built.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), R"({"status":"success"})"), 1) << built.text();
}

/// Whether the answer is a success with every selected test passed and
/// none named as not run. A result line shown may be split by what a
/// child of another test thread wrote at the same moment; one that is
/// whole says "ok".
void expect_all_passed(const CallAnswer& answer, const std::vector<std::string>& names) {
  EXPECT_FALSE(answer.is_error()) << answer.text();
  json summary = summary_of(answer);
  EXPECT_FALSE(summary.contains("tests_not_run")) << answer.text();
  EXPECT_FALSE(summary.contains("tests_crashed")) << answer.text();
  std::map<std::string, std::string> results = answer_results(answer);
  for (const std::string& name : names) {
    if (results.contains(name)) {
      EXPECT_EQ(results[name], "ok") << name << answer.text();
    }
  }
}

void expect_no_culprit(const CallAnswer& answer) {
  EXPECT_FALSE(answer.is_error()) << answer.text();
  EXPECT_TRUE(culprits_of(answer).empty()) << answer.text();
  EXPECT_EQ(answer.records_with("x-tarnwick-bisect-summary").at(0)["enumeration_errors"],
            json::array())
      << answer.text();
}

/// A crate whose build script reruns once a test touched a file, so a later
/// run of cargo rebuilds (and shows a progress bar when it is on), with
/// tests in two binaries.
TempCrate rebuilding_crate() {
  return TempCrate(
      "forms",
      {{"build.rs",
        "fn main() {\n    println!(\"cargo:rerun-if-changed=touched.txt\");\n"
        "    std::thread::sleep(std::time::Duration::from_millis(800));\n}\n"},
       {"touched.txt", "0\n"},
       {"src/lib.rs",
        "#[test]\nfn touches() {\n    let path = concat!(env!(\"CARGO_MANIFEST_DIR\"), "
        "\"/touched.txt\");\n"
        "    let nanos = std::time::SystemTime::now().duration_since(std::time::UNIX_EPOCH)"
        ".unwrap();\n"
        "    std::fs::write(path, format!(\"{}\\n\", nanos.as_nanos())).unwrap();\n}\n"
        "#[test]\nfn lib_good() {}\n"},
       {"tests/it.rs", "#[test]\nfn it_good() {}\n"}});
}

// Whatever form the user's configuration gives cargo's lines (a target
// directory whose path holds blanks and parentheses, colour, a progress bar
// on a rebuild) every test is read as cargo test runs it.
TEST(CargoRuns, CargosConfigurationChangesNoAnswer) {
  TempCrate crate = rebuilding_crate();
  const std::vector<std::string> names = {"it_good", "lib_good", "touches"};
  crate.write(".cargo/config.toml", "[build]\ntarget-dir = \"" + crate / "with space (and paren)" +
                                        "\"\n\n[term]\ncolor = \"always\"\n"
                                        "progress.when = \"always\"\nprogress.width = 80\n");
  DirectCargo cargo = run_cargo_directly(crate.path(), "test");
  ASSERT_EQ(cargo.exit_code, 0) << cargo.output;

  expect_all_passed(server_in_mode(false).call("cargo_test", filter_call(crate, ".")), names);
  expect_all_passed(server_in_mode(true).call("cargo_test", filter_call(crate, ".")), names);
  expect_no_culprit(server_in_mode(false).call("cargo_test", bisect_call(crate)));

  TempDir bin("tarnwick-nextest");
  bin.write("cargo-nextest", "#!/bin/sh\necho cargo-nextest 0.9.0\n");
  std::filesystem::permissions(bin / "cargo-nextest", std::filesystem::perms::owner_all);
  ToolServer nextest({{"PATH", bin.path() + ":" + std::getenv("PATH")}});
  expect_no_culprit(nextest.call("cargo_nextest_run", bisect_call(crate)));

  // The same through the call: its target directory and its `env`.
  std::filesystem::remove(crate / ".cargo/config.toml");
  const json env = {{"CARGO_TERM_COLOR", "always"},
                    {"CARGO_TERM_PROGRESS_WHEN", "always"},
                    {"CARGO_TERM_PROGRESS_WIDTH", "80"}};
  cargo = run_cargo_directly(crate.path(), "test --target-dir 'sub (x)/t'",
                             "CARGO_TERM_COLOR=always CARGO_TERM_PROGRESS_WHEN=always "
                             "CARGO_TERM_PROGRESS_WIDTH=80");
  ASSERT_EQ(cargo.exit_code, 0) << cargo.output;
  json filter = filter_call(crate, ".", env);
  filter["target_dir"] = "sub (x)/t";
  expect_all_passed(server_in_mode(false).call("cargo_test", filter), names);
  json bisect = bisect_call(crate, json::object(), env);
  bisect["target_dir"] = "sub (x)/t";
  expect_no_culprit(server_in_mode(false).call("cargo_test", bisect));
  json env_dir = {{"CARGO_TARGET_DIR", crate / "t (env)"}};
  expect_all_passed(server_in_mode(false).call("cargo_test", filter_call(crate, ".", env_dir)),
                    names);
}

// In a workspace, targets cargo test leaves out (tests turned off) and other
// members' targets of the same name never count for the selected tests.
TEST(CargoRuns, SameNamedAndDisabledTargetsDoNotCount) {
  TempDir ws("tarnwick-members");
  ws.write("Cargo.toml", "[workspace]\nmembers = [\"off\", \"on\"]\nresolver = \"2\"\n");
  ws.write("off/Cargo.toml",
           "[package]\nname = \"off\"\nversion = \"0.1.0\"\nedition = \"2021\"\n\n"
           "[lib]\ntest = false\ndoctest = false\n\n[[test]]\nname = \"common\"\ntest = false\n");
  ws.write("off/src/lib.rs", "#[test]\nfn shared() { panic!(\"tests are off\"); }\n");
  ws.write("off/tests/common.rs", "#[test]\nfn shared() { panic!(\"tests are off\"); }\n");
  ws.write("on/Cargo.toml", "[package]\nname = \"on\"\nversion = \"0.1.0\"\nedition = \"2021\"\n");
  ws.write("on/src/lib.rs", "#[test]\nfn shared() {}\n");
  ws.write("on/tests/common.rs", "#[test]\nfn shared() {}\n");
  DirectCargo cargo = run_cargo_directly(ws.path(), "test");
  ASSERT_EQ(cargo.exit_code, 0) << cargo.output;

  for (bool per_test : {false, true}) {
    CallAnswer answer = server_in_mode(per_test).call("cargo_test", filter_call(ws, "shared"));
    expect_all_passed(answer, {"shared"});
    EXPECT_EQ(summary_of(answer)["tests_matched"], 2) << answer.text();
  }
  expect_no_culprit(server_in_mode(false).call("cargo_test", bisect_call(ws)));
}

// A --list run has no test output: a binary whose first test's name starts
// like libtest's result words is still listed as its own.
TEST(CargoRuns, ListingsKeepNamesThatLookLikeResults) {
  TempCrate crate("listfirst",
                  {{"src/lib.rs", "#[test]\nfn unit() {}\n"},
                   {"tests/cli.rs",
                    "#[test]\nfn ignored_paths_are_skipped() {}\n#[test]\nfn other_case() {}\n"}});
  DirectCargo cargo = run_cargo_directly(crate.path(), "test");
  ASSERT_EQ(cargo.exit_code, 0) << cargo.output;
  CallAnswer answer = server_in_mode(false).call("cargo_test", filter_call(crate, "."));
  expect_all_passed(answer, {"ignored_paths_are_skipped", "other_case", "unit"});
  expect_no_culprit(server_in_mode(false).call("cargo_test", bisect_call(crate)));
}

/// A crate whose tests print, through a child, what looks like libtest's or
/// cargo's own lines: a result after a test's name before it crashes, a
/// count line before the test ends the process, cargo's failure line.
TempCrate printing_crate() {
  const std::string child =
      "fn child(script: &str) {\n"
      "    std::process::Command::new(\"sh\").arg(\"-c\").arg(script).status().unwrap();\n}\n";
  return TempCrate(
      "oddlines",
      {{"src/lib.rs", "#[cfg(test)]\n" + child +
                          "#[test]\nfn copies_cargo() {\n"
                          "    child(\"echo 'error: test failed, to rerun pass `--lib`'; echo; "
                          "echo '   Doc-tests oddlines'\");\n}\n"
                          "#[test]\nfn passes_one() {}\n#[test]\nfn passes_two() {}\n"},
       {"tests/crash.rs", child + "#[test]\nfn a_runs_first() {}\n"
                                  "#[test]\nfn crashes_after_child() {\n"
                                  "    child(\"echo 'connecting... ok'\");\n"
                                  "    std::process::abort();\n}\n"},
       {"tests/forge.rs", child + "#[test]\nfn forges_and_exits() {\n"
                                  "    child(\"echo 'test result: ok. 1 passed; 0 failed; 0 "
                                  "ignored; 0 measured; 0 filtered out; finished in 0.00s'\");\n"
                                  "    std::process::exit(0);\n}\n"}});
}

// What tests print never turns into a result of their own: a copy of
// cargo's failure line costs no test its result, a child's "ok" after a
// test's name does not hide that the test crashed, and a child's count line
// does not vouch for a test that never reported.
TEST(CargoRuns, TestsPrintingLibtestsOrCargosLines) {
  TempCrate crate = printing_crate();
  DirectCargo cargo = run_cargo_directly(crate.path(), "test --lib");
  ASSERT_EQ(cargo.exit_code, 0) << cargo.output;
  for (bool per_test : {false, true}) {
    CallAnswer answer =
        server_in_mode(per_test).call("cargo_test", filter_call(crate, "copies|passes"));
    expect_all_passed(answer, {"copies_cargo", "passes_one", "passes_two"});
  }
  json bisect = bisect_call(crate, {{"pattern", "copies|passes"}});
  expect_no_culprit(server_in_mode(false).call("cargo_test", bisect));

  cargo = run_cargo_directly(crate.path(), "test --test crash", "RUST_TEST_THREADS=1");
  ASSERT_NE(cargo.output.find("SIGABRT"), std::string::npos) << cargo.output;
  CallAnswer crashed = server_in_mode(false).call(
      "cargo_test", filter_call(crate, "a_runs|crashes", {{"RUST_TEST_THREADS", "1"}}));
  EXPECT_TRUE(crashed.is_error());
  EXPECT_EQ(summary_of(crashed)["tests_crashed"], json({"crashes_after_child"})) << crashed.text();
  EXPECT_EQ(answer_results(crashed)["a_runs_first"], "ok") << crashed.text();
  EXPECT_NE(crashed.text().find("crashed (signal: 6"), std::string::npos) << crashed.text();

  // cargo test itself takes the child's count line for the test's own.
  for (bool per_test : {false, true}) {
    CallAnswer forged =
        server_in_mode(per_test).call("cargo_test", filter_call(crate, "forges_and_exits"));
    EXPECT_TRUE(forged.is_error()) << forged.text();
    EXPECT_EQ(summary_of(forged)["tests_not_run"], json({"forges_and_exits"})) << forged.text();
  }
}

// What a test prints after the build is the test's, not cargo's: a failing
// test that prints the incremental-session advisory and a failed build's
// record fails the call, and its lines are answered as printed.
TEST(CargoRuns, ATestPrintingBuildRecordsStillFails) {
  const std::string advisory =
      R"({"reason":"compiler-message","message":{"level":"error","message":"error finalizing )"
      R"(incremental compilation session directory `/t/s-working`","rendered":"error: x"}})";
  const std::string failed_build = R"({"reason":"build-finished","success":false})";
  auto print = [](const std::string& line) {
    return "    println!(\"{}\", r#\"" + line + "\"#);\n";
  };
  const std::string source = "#[test]\nfn passes() {}\n#[test]\nfn fails() {\n" + print(advisory) +
                             print(failed_build) + "    panic!(\"fails\");\n}\n";
  TempCrate crate("printer", {{"src/lib.rs", source}});
  DirectCargo cargo = run_cargo_directly(crate.path(), "test --message-format=json");
  ASSERT_EQ(cargo.exit_code, 101) << cargo.output;
  ASSERT_NE(cargo.output.find("test result: FAILED. 1 passed; 1 failed"), std::string::npos)
      << cargo.output;
  ASSERT_NE(cargo.output.find("\n" + advisory + "\n" + failed_build + "\n"), std::string::npos);

  ToolServer server = server_in_mode(false);
  CallAnswer plain = server.call("cargo_test", {{"working_dir", crate.path()}});
  EXPECT_TRUE(plain.is_error()) << plain.text();
  std::vector<std::string> lines = plain.lines();
  for (const std::string& line :
       std::vector<std::string>{advisory, failed_build, R"({"status":"error","exit_code":101})"})
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
  EXPECT_TRUE(plain.records_with("x-tarnwick-note").empty()) << plain.text();

  CallAnswer filtered = server.call("cargo_test", filter_call(crate, "."));
  EXPECT_TRUE(filtered.is_error()) << filtered.text();
  EXPECT_EQ(answer_results(filtered)["fails"], "FAILED") << filtered.text();
}

}  // namespace
}  // namespace tarnwick::e2e
