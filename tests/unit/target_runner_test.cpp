#include "runner/target_runner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../common/temp_crate.h"
#include "base/text_lines.h"
#include "platform/file_status.h"
#include "runner/cfg_expr.h"
#include "runner/toolchain.h"

namespace tarnwick {
namespace {

using testing::TempDir;
using Runner = std::vector<std::string>;

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

std::string test_bin(const std::string& name) {
  return std::string(TARNWICK_TEST_BIN_DIR) + "/" + name;
}

/// A crate folder inside an outer folder, a CARGO_HOME beside them, and
/// fake_cargo as rustc: it reports the host and the cfg of a Linux target.
class FindTargetRunners : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = platform::real_path(dir_.path()).value_or(dir_.path());
    dir_.write("outer/crate/Cargo.toml", "");
    dir_.write("rustc/script",
               "out host: x86_64-unknown-linux-gnu\nout unix\nout target_os=\"linux\"\n"
               "env RUSTUP_TOOLCHAIN\n");
    env_ = {{"CARGO_HOME", root_ + "/home"},
            {"RUSTC", test_bin("fake_cargo")},
            {"FAKE_CARGO_DIR", root_ + "/rustc"}};
  }

  Result<std::vector<TargetRunner>> find(const std::vector<std::string>& targets = {},
                                         const std::string& cwd = "outer/crate") {
    return find_target_runners(at(cwd), env_, toolchain_, targets);
  }
  /// The runner of the only target.
  Runner runner(const std::string& cwd = "outer/crate") {
    auto found = find({}, cwd);
    EXPECT_TRUE(found.ok()) << error_text(found.error());
    if (!found.ok() || found->size() != 1) return {"(not one target)"};
    return found->front().user_runner;
  }
  std::string error() {
    auto found = find();
    return found.ok() ? "(no error)" : error_text(found.error());
  }
  /// The arguments of each rustc run so far.
  std::vector<std::string> rustc_calls() {
    std::vector<std::string> calls;
    std::string log = rustc_log();
    for (std::string_view line : split_lines(log)) {
      if (!line.starts_with("RUSTUP_TOOLCHAIN"))
        calls.emplace_back(line.substr(line.find(' ') + 1));
    }
    return calls;
  }
  /// The rustc runs with the RUSTUP_TOOLCHAIN each saw.
  std::string rustc_log() { return testing::read_file(root_ + "/rustc/calls"); }
  void write(const std::string& relative, const std::string& text) { dir_.write(relative, text); }
  std::string at(const std::string& relative) const { return root_ + "/" + relative; }

  TempDir dir_;
  std::string root_;
  ChildEnv env_;
  std::optional<std::string> toolchain_;
};

const char* kLinux = "[target.x86_64-unknown-linux-gnu]\n";

TEST_F(FindTargetRunners, NearerFileWinsAndPathsStartAboveItsCargoFolder) {
  write("outer/.cargo/config.toml", std::string(kLinux) + "runner = [\"tools/run\", \"-o\"]\n");
  EXPECT_EQ(runner(), (Runner{at("outer/tools/run"), "-o"}));
  write("outer/crate/.cargo/config.toml", std::string(kLinux) + "runner = [\"qemu\", \"a b\"]\n");
  EXPECT_EQ(runner(), (Runner{"qemu", "a b"}));  // arrays are not joined across files
  // The old name wins over config.toml in one folder.
  write("outer/crate/.cargo/config", std::string(kLinux) + "runner = [\"/abs/run\"]\n");
  EXPECT_EQ(runner(), (Runner{"/abs/run"}));
}

TEST_F(FindTargetRunners, WalkUpTheRealPathThenCargoHome) {
  write("home/config.toml", std::string(kLinux) + "runner = \"bin/run  -v\"\n");
  EXPECT_EQ(runner(), (Runner{at("bin/run"), "-v"}));
  write("outer/.cargo/config.toml", std::string(kLinux) + "runner = \"near\"\n");
  EXPECT_EQ(runner(), (Runner{"near"}));
  // cargo's working directory has its links resolved.
  write("side/.cargo/config.toml", std::string(kLinux) + "runner = \"wrong\"\n");
  std::filesystem::create_directory_symlink(at("outer/crate"), at("side/crate"));
  EXPECT_EQ(runner("side/crate"), (Runner{"near"}));
}

TEST_F(FindTargetRunners, VariableWinsAndStartsAtTheWorkingDirectory) {
  write("outer/.cargo/config.toml", std::string(kLinux) + "runner = \"from-config\"\n");
  env_["CARGO_TARGET_X86_64_UNKNOWN_LINUX_GNU_RUNNER"] = " tools/run \t-x ";
  auto found = find();
  ASSERT_TRUE(found.ok()) << error_text(found.error());
  ASSERT_EQ(found->size(), 1u);
  EXPECT_EQ(found->front().variable, "CARGO_TARGET_X86_64_UNKNOWN_LINUX_GNU_RUNNER");
  EXPECT_EQ(found->front().variable_value, " tools/run \t-x ");
  EXPECT_EQ(found->front().user_runner, (Runner{at("outer/crate/tools/run"), "-x"}));
  env_["CARGO_TARGET_X86_64_UNKNOWN_LINUX_GNU_RUNNER"] = "  ";
  EXPECT_NE(error().find("runner is empty"), std::string::npos) << error();
}

TEST_F(FindTargetRunners, TripleBeatsCfgAndOnlyOneCfgMayMatch) {
  write("outer/.cargo/config.toml", std::string(kLinux) + "runner = \"by-name\"\n");
  write("outer/crate/.cargo/config.toml",
        "[target.'cfg(unix)']\nrunner = \"by-cfg\"\n[target.'cfg(windows)']\nrunner = \"no\"\n"
        "[target.'cfg(foo bar)']\nrunner = \"malformed, so cargo passes over it\"\n");
  EXPECT_EQ(runner(), (Runner{"by-name"}));
  EXPECT_EQ(rustc_calls(), (std::vector<std::string>{"-vV"}));

  write("outer/.cargo/config.toml", "[target.'cfg(target_os = \"linux\")']\nrunner = \"also\"\n");
  EXPECT_NE(error().find("several"), std::string::npos) << error();
  write("outer/.cargo/config.toml", "[target.'cfg(unix)']\nrunner = \"farther\"\n");
  EXPECT_EQ(runner(), (Runner{"by-cfg"}));  // one key in two files is one setting
  EXPECT_EQ(rustc_calls().back(), "--print cfg --target x86_64-unknown-linux-gnu");
}

TEST_F(FindTargetRunners, TargetsFromCallThenVariableThenConfigThenHost) {
  auto names = [&](const std::vector<std::string>& selection = {}) {
    std::vector<std::string> triples;
    auto found = find(selection);
    EXPECT_TRUE(found.ok()) << error_text(found.error());
    if (found.ok())
      for (const TargetRunner& target : *found) triples.push_back(target.triple);
    return triples;
  };
  toolchain_ = "+nightly";
  EXPECT_EQ(names(), (std::vector<std::string>{"x86_64-unknown-linux-gnu"}));
  EXPECT_EQ(rustc_calls(), (std::vector<std::string>{"-vV"}));
  EXPECT_NE(rustc_log().find("RUSTUP_TOOLCHAIN=nightly"), std::string::npos) << rustc_log();

  write("outer/.cargo/config.toml", "[build]\ntarget = \"from-config\"\n");
  EXPECT_EQ(names(), (std::vector<std::string>{"from-config"}));
  env_["CARGO_BUILD_TARGET"] = "from-env";
  EXPECT_EQ(names(), (std::vector<std::string>{"from-env"}));
  // cargo joins the arrays of every file and the variable's words.
  write("outer/.cargo/config.toml", "[build]\ntarget = [\"a\"]\n");
  write("outer/crate/.cargo/config.toml", "[build]\ntarget = [\"b\", \"specs/c.d.json\"]\n");
  EXPECT_EQ(names(), (std::vector<std::string>{"b", "c.d", "a", "from-env"}));
  EXPECT_EQ(rustc_calls().size(), 1u);  // only when nothing named a target

  auto found = find({"specs/my.board.json", "aarch64-unknown-linux-gnu"});
  ASSERT_TRUE(found.ok()) << error_text(found.error());
  ASSERT_EQ(found->size(), 2u);
  EXPECT_EQ((*found)[0].triple, "my.board");
  EXPECT_EQ((*found)[0].variable, "CARGO_TARGET_MY_BOARD_RUNNER");
  EXPECT_EQ((*found)[1].variable, "CARGO_TARGET_AARCH64_UNKNOWN_LINUX_GNU_RUNNER");
}

TEST_F(FindTargetRunners, RefusesWhatCargoRefuses) {
  write("outer/.cargo/config.toml", "[target.x86_64-unknown-linux-gnu\nrunner = 1\n");
  EXPECT_NE(error().find(at("outer/.cargo/config.toml")), std::string::npos) << error();
  EXPECT_NE(error().find("line 1"), std::string::npos) << error();

  write("outer/.cargo/config.toml", std::string(kLinux) + "runner = 5\n");
  EXPECT_NE(error().find("must be a string or an array"), std::string::npos) << error();
  write("outer/.cargo/config.toml", std::string(kLinux) + "runner = []\n");
  EXPECT_NE(error().find("runner is empty"), std::string::npos) << error();

  write("outer/.cargo/config.toml", std::string(kLinux) + "runner = [\"far\"]\n");
  write("outer/crate/.cargo/config.toml", std::string(kLinux) + "runner = \"near\"\n");
  EXPECT_NE(error().find("cannot merge"), std::string::npos) << error();
}

TEST(FindTargetRunnersReal, RustcNamesTheHostAndItsCfg) {
  TempDir dir;
  dir.write(".cargo/config.toml", "[target.'cfg(unix)']\nrunner = [\"./run\", \"--real\"]\n");
  ChildEnv env = build_child_env();
  std::erase_if(env, [](const auto& entry) { return entry.first.starts_with("CARGO_TARGET_"); });
  env.erase("CARGO_BUILD_TARGET");
  env["CARGO_HOME"] = dir.path() + "/no-home";
  auto found = find_target_runners(dir.path(), env, std::nullopt, {});
  if (!found.ok() && error_text(found.error()).find("cannot run") != std::string::npos)
    GTEST_SKIP() << "rustc not installed: " << error_text(found.error());
  ASSERT_TRUE(found.ok()) << error_text(found.error());
  ASSERT_EQ(found->size(), 1u);
  EXPECT_NE(found->front().triple.find('-'), std::string::npos) << found->front().triple;
  std::string real_dir = platform::real_path(dir.path()).value_or(dir.path());
  EXPECT_EQ(found->front().user_runner, (Runner{real_dir + "/./run", "--real"}));
}

}  // namespace
}  // namespace tarnwick
