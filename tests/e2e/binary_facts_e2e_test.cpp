// test_filter and bisection learn each test binary's output, end and thread
// count from the binary's own process: what a test's children print, even
// after the binary ended, a cargo run inside a test, a thread count the
// configuration forces and a crash after the last test do not mislead them.
// Each case also runs cargo test itself and checks the answer agrees.
#include <gtest/gtest.h>

#include <filesystem>

#include "tools_e2e_support.h"

namespace tarnwick::e2e {
namespace {

using tarnwick::testing::TempCrate;
using tarnwick::testing::TempDir;

json filter_call(const TempDir& crate, json env = json::object()) {
  return {{"working_dir", crate.path()}, {"test_filter", {{"pattern", "."}}}, {"env", env}};
}

json bisect_call(const TempDir& crate, json env = json::object()) {
  return {{"working_dir", crate.path()}, {"bisect", {{"group_timeout_secs", 60}}}, {"env", env}};
}

/// Both filter modes' results, each checked against cargo's own.
void expect_filter_agrees(const TempDir& crate, const DirectCargo& cargo, json env,
                          const std::map<std::string, std::string>& results) {
  for (bool per_test : {false, true}) {
    CallAnswer answer = server_in_mode(per_test).call("cargo_test", filter_call(crate, env));
    EXPECT_EQ(answer.is_error(), cargo.exit_code != 0) << answer.text();
    // A shown result line may be split by another test thread's child.
    std::map<std::string, std::string> shown = answer_results(answer);
    for (const auto& [name, outcome] : results) {
      if (shown.contains(name) || outcome != "ok") {
        EXPECT_EQ(shown[name], outcome) << name << "\n" << answer.text();
      }
    }
    EXPECT_EQ(summary_of(answer)["tests_matched"], results.size()) << answer.text();
    EXPECT_FALSE(summary_of(answer).contains("tests_not_run")) << answer.text();
    EXPECT_FALSE(summary_of(answer).contains("tests_crashed")) << answer.text();
  }
}

/// A workspace of members a and b, b's manifest ending with `b_extra`; the
/// caller writes their sources (b's library is there).
void write_two_members(const TempDir& ws, const std::string& b_extra = "") {
  ws.write("Cargo.toml", "[workspace]\nmembers = [\"a\", \"b\"]\nresolver = \"2\"\n");
  const std::string package = "[package]\nversion = \"0.1.0\"\nedition = \"2021\"\n";
  ws.write("a/Cargo.toml", package + "name = \"a\"\n");
  ws.write("a/src/lib.rs", "pub fn f() {}\n");
  ws.write("b/Cargo.toml", package + "name = \"b\"\n" + b_extra);
  ws.write("b/src/lib.rs", "pub fn f() {}\n");
}

// A failing test leaves a helper that writes libtest's and cargo's lines
// once the binary is gone: they are the binary's output and change nothing.
TEST(BinaryFacts, AHelpersLateLinesAreItsBinarysOutput) {
  TempCrate crate("lateline", {{"src/lib.rs", R"(#[cfg(test)]
mod tests {
    #[test]
    fn fails_and_leaves_a_helper() {
        let script = format!(
            "while kill -0 {} 2>/dev/null; do sleep 0.01; done; \
             echo 'test result: ok. 2 passed; 0 failed; 0 ignored; 0 measured; 0 filtered out'; \
             echo 'error: 1 target failed:' >&2",
            std::process::id()
        );
        std::process::Command::new("sh").arg("-c").arg(script).spawn().unwrap();
        panic!("fails");
    }
    #[test]
    fn passes() {}
}
)"}});
  DirectCargo cargo = run_cargo_directly(crate.path(), "test");
  ASSERT_EQ(cargo.exit_code, 101) << cargo.output;
  expect_filter_agrees(crate, cargo, json::object(),
                       {{"tests::fails_and_leaves_a_helper", "FAILED"}, {"tests::passes", "ok"}});
  for (int round = 0; round < 2; ++round) {
    CallAnswer bisect = server_in_mode(false).call("cargo_test", bisect_call(crate));
    EXPECT_TRUE(bisect.is_error()) << bisect.text();
    EXPECT_EQ(culprits_of(bisect),
              std::vector<std::string>{"tests::fails_and_leaves_a_helper failed"})
        << bisect.text();
  }

  // Installed alone, and where cargo would split its path, the server is
  // its own test runner.
  TempDir installed("tarnwick-alone");
  std::filesystem::create_directories(installed / "with space");
  std::filesystem::copy_file(TARNWICK_SERVER_PATH, installed / "with space/tarnwick");
  ToolServer alone({{"RUST_BACKTRACE", "0"}}, {}, installed / "with space/tarnwick");
  CallAnswer answer = alone.call("cargo_test", filter_call(crate));
  EXPECT_TRUE(answer.is_error()) << answer.text();
  EXPECT_EQ(answer_results(answer),
            (std::map<std::string, std::string>{{"tests::fails_and_leaves_a_helper", "FAILED"},
                                                {"tests::passes", "ok"}}))
      << answer.text();
}

// A test that runs cargo test on its own workspace, its output inherited:
// the inner cargo's lines for another member's binary start nothing here.
TEST(BinaryFacts, ATestThatRunsCargoItself) {
  TempDir ws("tarnwick-inner");
  write_two_members(ws);
  // a's integration test `it` runs b's `it`, which a launch of both has
  // built and not yet started.
  ws.write("a/tests/it.rs", R"(#[test]
fn runs_cargo() {
    let status = std::process::Command::new(env!("CARGO"))
        .args(["test", "-p", "b", "--test", "it"])
        .current_dir(concat!(env!("CARGO_MANIFEST_DIR"), "/.."))
        .status()
        .unwrap();
    assert!(status.success());
}
#[test]
fn plain() {}
)");
  ws.write("b/tests/it.rs", "#[test]\nfn inner_it() {}\n");
  DirectCargo cargo = run_cargo_directly(ws.path(), "test");
  ASSERT_EQ(cargo.exit_code, 0) << cargo.output;
  expect_filter_agrees(ws, cargo, json::object(),
                       {{"inner_it", "ok"}, {"plain", "ok"}, {"runs_cargo", "ok"}});
  CallAnswer bisect = server_in_mode(false).call("cargo_test", bisect_call(ws));
  EXPECT_FALSE(bisect.is_error()) << bisect.text();
  EXPECT_TRUE(culprits_of(bisect).empty()) << bisect.text();
}

// The call asks for one test thread, the configuration forces four: the
// binary's own count decides, so a test that reported "ok" before another
// aborted is never blamed, and the aborting one is among those blamed.
TEST(BinaryFacts, TheThreadCountIsTheOneTheBinaryGot) {
  // b_aborts waits for the others to end, and a moment for libtest to
  // report them; the answer holds whether or not it did.
  TempCrate crate("forced", {{"src/lib.rs", R"(#[cfg(test)]
mod tests {
    fn mark(name: &str) -> String { format!("{}/{name}", env!("CARGO_MANIFEST_DIR")) }
    #[test]
    fn a_passes() { std::fs::write(mark("a"), "").unwrap(); }
    #[test]
    fn b_aborts() {
        for _ in 0..3000 {
            if std::path::Path::new(&mark("a")).exists() && std::path::Path::new(&mark("c")).exists() {
                break;
            }
            std::thread::sleep(std::time::Duration::from_millis(10));
        }
        std::thread::sleep(std::time::Duration::from_millis(200));
        std::process::abort();
    }
    #[test]
    fn c_passes() { std::fs::write(mark("c"), "").unwrap(); }
}
)"}});
  crate.write(".cargo/config.toml", "[env]\nRUST_TEST_THREADS = { value = \"4\", force = true }\n");
  DirectCargo cargo = run_cargo_directly(crate.path(), "test", "RUST_TEST_THREADS=1");
  ASSERT_NE(cargo.output.find("SIGABRT"), std::string::npos) << cargo.output;
  CallAnswer answer =
      server_in_mode(false).call("cargo_test", filter_call(crate, {{"RUST_TEST_THREADS", "1"}}));
  EXPECT_TRUE(answer.is_error());
  json summary = summary_of(answer);
  std::vector<std::string> crashed = summary.value("tests_crashed", std::vector<std::string>{});
  EXPECT_NE(std::find(crashed.begin(), crashed.end(), "tests::b_aborts"), crashed.end())
      << answer.text();
  std::map<std::string, std::string> results = answer_results(answer);
  for (const std::string& name : crashed) EXPECT_FALSE(results.contains(name)) << answer.text();
  EXPECT_FALSE(summary.contains("tests_not_run")) << answer.text();
}

// One thread, every test passes, then an exit handler aborts the binary:
// the tests keep their results, the binary crashed after them.
TEST(BinaryFacts, ACrashAfterTheLastTestBlamesNoTest) {
  TempCrate crate("atexit", {{"src/lib.rs", R"(#[cfg(test)]
mod tests {
    extern "C" {
        fn atexit(callback: extern "C" fn()) -> i32;
    }
    extern "C" fn abort_at_exit() {
        std::process::abort();
    }
    fn arm() {
        static ONCE: std::sync::Once = std::sync::Once::new();
        ONCE.call_once(|| unsafe {
            atexit(abort_at_exit);
        });
    }
    #[test]
    fn first() { arm(); }
    #[test]
    fn second() { arm(); }
}
)"}});
  DirectCargo cargo = run_cargo_directly(crate.path(), "test", "RUST_TEST_THREADS=1");
  ASSERT_NE(cargo.exit_code, 0) << cargo.output;
  ASSERT_NE(cargo.output.find("test result: ok. 2 passed"), std::string::npos) << cargo.output;
  for (bool per_test : {false, true}) {
    CallAnswer answer = server_in_mode(per_test).call(
        "cargo_test", filter_call(crate, {{"RUST_TEST_THREADS", "1"}}));
    EXPECT_TRUE(answer.is_error()) << answer.text();
    EXPECT_EQ(answer_results(answer),
              (std::map<std::string, std::string>{{"tests::first", "ok"}, {"tests::second", "ok"}}))
        << answer.text();
    json summary = summary_of(answer);
    EXPECT_FALSE(summary.contains("tests_crashed")) << answer.text();
    EXPECT_FALSE(summary.contains("tests_not_run")) << answer.text();
    EXPECT_NE(answer.text().find("after libtest had reported every result"), std::string::npos)
        << answer.text();
  }
}

// A test that ends its binary with a code of its own, on one thread: the
// test in flight is named, a test libtest had not started is not run.
TEST(BinaryFacts, AnExitMidRunNamesTheTestInFlight) {
  TempCrate crate("exits", {{"src/lib.rs", R"(#[cfg(test)]
mod tests {
    #[test]
    fn a_passes() {}
    #[test]
    fn b_exits() { std::process::exit(3); }
    #[test]
    fn c_passes() {}
}
)"}});
  DirectCargo cargo = run_cargo_directly(crate.path(), "test", "RUST_TEST_THREADS=1");
  ASSERT_NE(cargo.exit_code, 0) << cargo.output;
  for (bool per_test : {false, true}) {
    CallAnswer answer = server_in_mode(per_test).call(
        "cargo_test", filter_call(crate, {{"RUST_TEST_THREADS", "1"}}));
    EXPECT_TRUE(answer.is_error()) << answer.text();
    json summary = summary_of(answer);
    EXPECT_EQ(summary["tests_crashed"], json({"tests::b_exits"})) << answer.text();
    EXPECT_EQ(summary.contains("tests_not_run"), !per_test) << answer.text();
    EXPECT_EQ(answer_results(answer)["tests::a_passes"], "ok") << answer.text();
    EXPECT_NE(answer.text().find("ended (exit code 3) while running tests::b_exits"),
              std::string::npos)
        << answer.text();
  }
}

// Another member's target of the same name whose required features are
// off is skipped, as cargo test skips it.
TEST(BinaryFacts, ATargetWithUnmetRequiredFeaturesIsSkipped) {
  TempDir ws("tarnwick-features");
  write_two_members(
      ws, "\n[features]\nx = []\n\n[[test]]\nname = \"it\"\nrequired-features = [\"x\"]\n");
  ws.write("a/tests/it.rs", "#[test]\nfn in_a() {}\n");
  ws.write("b/tests/it.rs", "#[test]\nfn in_b() { panic!(\"needs x\"); }\n");
  DirectCargo cargo = run_cargo_directly(ws.path(), "test");
  ASSERT_EQ(cargo.exit_code, 0) << cargo.output;
  expect_filter_agrees(ws, cargo, json::object(), {{"in_a", "ok"}});
  CallAnswer bisect = server_in_mode(false).call("cargo_test", bisect_call(ws));
  EXPECT_FALSE(bisect.is_error()) << bisect.text();
  EXPECT_EQ(bisect.records_with("x-tarnwick-bisect-summary").at(0)["tests_considered"], 1)
      << bisect.text();
}

// A group is decided by its exit status: a test that silences its own
// standard output (libtest's report with it) passes, as under cargo test.
// Under a cargo whose wrapper ends its lines with CR CR LF, every test is
// still its own binary's.
TEST(BinaryFacts, ExitStatusAndAWrappedCargo) {
  TempCrate crate("quiet", {{"src/lib.rs", R"(#[cfg(test)]
mod tests {
    extern "C" {
        fn dup2(old: i32, new: i32) -> i32;
    }
    #[test]
    fn silences_stdout() {
        use std::os::unix::io::AsRawFd;
        let null = std::fs::File::create("/dev/null").unwrap();
        unsafe { dup2(null.as_raw_fd(), 1) };
    }
    #[test]
    fn passes() {}
}
)"},
                            {"tests/alpha.rs",
                             "#[test]\nfn alpha_fails() { panic!(\"no\"); }\n"
                             "#[test]\nfn alpha_passes() {}\n"}});
  DirectCargo cargo = run_cargo_directly(crate.path(), "test --lib");
  ASSERT_EQ(cargo.exit_code, 0) << cargo.output;
  json lib_only = bisect_call(crate);
  lib_only["lib"] = true;
  CallAnswer bisect = server_in_mode(false).call("cargo_test", lib_only);
  EXPECT_FALSE(bisect.is_error()) << bisect.text();
  EXPECT_TRUE(culprits_of(bisect).empty()) << bisect.text();

  crate.write("cargo-crlf",
              "#!/bin/bash\nset -o pipefail\ncargo \"$@\" 2>&1 | sed -u 's/$/\\r\\r/'\n");
  std::filesystem::permissions(crate / "cargo-crlf", std::filesystem::perms::owner_all);
  cargo = run_cargo_directly(crate.path(), "test --test alpha");
  ASSERT_EQ(cargo.exit_code, 101) << cargo.output;
  ToolServer wrapped = server_in_mode(false, {{"CARGO", crate / "cargo-crlf"}});
  json alpha = filter_call(crate);
  alpha["test_filter"]["pattern"] = "alpha";
  CallAnswer answer = wrapped.call("cargo_test", alpha);
  EXPECT_TRUE(answer.is_error()) << answer.text();
  EXPECT_EQ(answer_results(answer),
            (std::map<std::string, std::string>{{"alpha_fails", "FAILED"}, {"alpha_passes", "ok"}}))
      << answer.text();

  // The launch of alpha lets the library's binary end unstarted: cargo's
  // line about it reaches neither the progress nor the answer.
  CallAnswer shown = server_in_mode(false).call("cargo_test", alpha, json{{"progressToken", "p"}});
  int lib_lines = 0;
  for (const json& note : shown.progress())
    if (note.value("message", "").find("Running unittests src/lib.rs") != std::string::npos)
      ++lib_lines;
  EXPECT_EQ(lib_lines, 0) << shown.text();
  EXPECT_EQ(shown.text().find("Running unittests src/lib.rs"), std::string::npos);
}

}  // namespace
}  // namespace tarnwick::e2e
