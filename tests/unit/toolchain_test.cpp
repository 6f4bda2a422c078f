#include "runner/toolchain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "base/call_context.h"
#include "base/json_text.h"
#include "child_test_support.h"

namespace tarnwick {
namespace {

using testing::EnvScope;
using testing::TempDir;

void touch(const std::string& path) { std::ofstream(path) << "#!/bin/sh\n"; }

/// A tool directory <root>/bin holding the named files.
std::string make_tool_dir(const TempDir& dir, const std::string& root,
                          std::initializer_list<const char*> files) {
  std::string base = dir.file(root);
  ::mkdir(base.c_str(), 0755);
  ::mkdir((base + "/bin").c_str(), 0755);
  for (const char* f : files) touch(base + "/bin/" + f);
  return base;
}

/// Clears every variable the search reads, for one test.
struct CleanToolEnv {
  EnvScope cargo{"CARGO", std::nullopt};
  EnvScope rustc{"RUSTC", std::nullopt};
  EnvScope cargo_home{"CARGO_HOME", std::nullopt};
  EnvScope profile{"USERPROFILE", std::nullopt};
  EnvScope home{"HOME", "/nonexistent-home"};
};

TEST(ResolveToolchain, SearchOrderAndSources) {
  CleanToolEnv clean;
  TempDir dir;
  std::string proxy_home = make_tool_dir(dir, "proxy", {"cargo", "rustup"});
  std::string lone_home = make_tool_dir(dir, "lone", {"cargo"});
  std::string empty_home = make_tool_dir(dir, "empty", {});
  touch(dir.file("my-cargo"));

  {  // CARGO naming a file wins over CARGO_HOME.
    EnvScope cargo("CARGO", dir.file("my-cargo"));
    EnvScope home("CARGO_HOME", proxy_home);
    auto r = resolve_toolchain_program("cargo", "CARGO");
    EXPECT_EQ(r.path, dir.file("my-cargo"));
    EXPECT_EQ(r.source, CargoSource::CargoEnv);
    EXPECT_EQ(cargo_source_step(r.source), 1);
  }
  {  // CARGO naming a directory is ignored.
    EnvScope cargo("CARGO", dir.path());
    EnvScope home("CARGO_HOME", proxy_home);
    auto r = resolve_toolchain_program("cargo", "CARGO");
    EXPECT_EQ(r.path, proxy_home + "/bin/cargo");
    EXPECT_EQ(r.source, CargoSource::RustupProxy);
    EXPECT_EQ(cargo_source_step(r.source), 2);
  }
  {
    EnvScope home("CARGO_HOME", lone_home);
    auto r = resolve_toolchain_program("cargo", "CARGO");
    EXPECT_EQ(r.path, lone_home + "/bin/cargo");
    EXPECT_EQ(r.source, CargoSource::RustupProxyNoSibling);
    EXPECT_EQ(cargo_source_step(r.source), 2);
  }
  {  // A CARGO_HOME without the program does not fall back to the home directory.
    EnvScope cargo_home("CARGO_HOME", empty_home);
    EnvScope home("HOME", dir.file("proxy/.."));
    auto r = resolve_toolchain_program("cargo", "CARGO");
    EXPECT_EQ(r.path, "cargo");
    EXPECT_EQ(r.source, CargoSource::PathLookup);
    EXPECT_EQ(cargo_source_step(r.source), 3);
  }
  {  // An empty CARGO_HOME counts as unset: ~/.cargo/bin is tried.
    std::string user = dir.file("user");
    ::mkdir(user.c_str(), 0755);
    make_tool_dir(dir, "user/.cargo", {"cargo", "rustup"});
    EnvScope cargo_home("CARGO_HOME", "");
    EnvScope home("HOME", user);
    auto r = resolve_toolchain_program("cargo", "CARGO");
    EXPECT_EQ(r.path, user + "/.cargo/bin/cargo");
    EXPECT_EQ(r.source, CargoSource::RustupProxy);
    // USERPROFILE comes before HOME.
    EnvScope profile("USERPROFILE", dir.file("nowhere"));
    EXPECT_EQ(resolve_toolchain_program("cargo", "CARGO").source, CargoSource::PathLookup);
  }
  EXPECT_STREQ(cargo_source_name(CargoSource::RustupProxyNoSibling), "RustupProxyNoSibling");
}

std::vector<json> log_lines(const std::string& text) {
  std::vector<json> lines;
  size_t start = 0;
  for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
    lines.push_back(json::parse(text.substr(start, nl - start)));
    start = nl + 1;
  }
  return lines;
}

TEST(LogInvocation, InfoLineAndMissingRustupWarning) {
  testing::StdoutCapture capture;
  log_invocation("/x/bin/cargo", CargoSource::RustupProxyNoSibling, std::nullopt,
                 {"check", "--message-format=json", "a\"b"});
  log_invocation("cargo", CargoSource::PathLookup, std::string("/work/ws"), {});
  auto lines = log_lines(capture.finish());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["method"], "notifications/message");
  EXPECT_EQ(lines[0]["params"]["level"], "info");
  EXPECT_EQ(lines[0]["params"]["data"],
            "tarnwick: invoking /x/bin/cargo (source=RustupProxyNoSibling, step=2) cwd=. "
            "args=[\"check\", \"--message-format=json\", \"a\\\"b\"]");
  EXPECT_EQ(lines[1]["params"]["level"], "warning");
  EXPECT_EQ(lines[1]["params"]["data"],
            "tarnwick: /x/bin/cargo exists but no sibling rustup found — rust-toolchain.toml may "
            "not be honoured");
  EXPECT_EQ(lines[2]["params"]["data"],
            "tarnwick: invoking cargo (source=PathLookup, step=3) cwd=/work/ws args=[]");
}

TEST(ChildEnv, FixedVariablesRustcAndOverrides) {
  CleanToolEnv clean;
  TempDir dir;
  std::string home = make_tool_dir(dir, "home", {"cargo", "rustc", "rustup"});
  EnvScope cargo_home("CARGO_HOME", home);
  EnvScope color("NO_COLOR", "0");
  EnvScope extra("TW_INHERITED", "yes");

  auto env = build_child_env();
  EXPECT_EQ(env["CARGO_TERM_COLOR"], "never");
  EXPECT_EQ(env["NO_COLOR"], "1");
  EXPECT_EQ(env["RUSTC"], home + "/bin/rustc");
  EXPECT_EQ(env["TW_INHERITED"], "yes");

  {  // A set RUSTC is kept as it is.
    EnvScope rustc("RUSTC", "/opt/rustc");
    EXPECT_EQ(build_child_env()["RUSTC"], "/opt/rustc");
  }

  set_env_overrides({{"RUSTC", "/override/rustc"},
                     {"NO_COLOR", std::nullopt},
                     {"TW_X", "1"},
                     {"TW_X", "2"},
                     {"TW_INHERITED", std::nullopt}});
  env = build_child_env();
  set_env_overrides({});
  EXPECT_EQ(env["RUSTC"], "/override/rustc");
  EXPECT_EQ(env.count("NO_COLOR"), 0u);
  EXPECT_EQ(env["TW_X"], "2");
  EXPECT_EQ(env.count("TW_INHERITED"), 0u);
  EXPECT_TRUE(env_overrides().empty());
}

TEST(ChildEnv, ChildSeesTheBuiltEnvironment) {
  EnvScope extra("TW_INHERITED", "yes");
  set_env_overrides({{"TW_ADDED", "a b"}, {"TW_INHERITED", std::nullopt}});
  auto command = testing::helper_command({"env"});
  command.env = build_child_env();
  set_env_overrides({});
  auto spawned = spawn_in_job(command);
  ASSERT_TRUE(spawned.ok());
  std::string out = pipe_drain_thread(spawned->take_stdout());
  EXPECT_NE(out.find("\nTW_ADDED=a b\n"), std::string::npos) << out;
  EXPECT_NE(out.find("NO_COLOR=1\n"), std::string::npos);
  EXPECT_NE(out.find("CARGO_TERM_COLOR=never\n"), std::string::npos);
  EXPECT_EQ(out.find("TW_INHERITED"), std::string::npos);
}

TEST(CallContext, CancelTokenIsPerThread) {
  EXPECT_FALSE(cancel_requested());
  auto flag = make_cancel_flag();
  set_cancel_token(flag);
  EXPECT_FALSE(cancel_requested());
  flag->store(true);
  EXPECT_TRUE(cancel_requested());
  bool other_thread_sees = true;
  std::thread([&] { other_thread_sees = cancel_requested(); }).join();
  EXPECT_FALSE(other_thread_sees);
  set_cancel_token(nullptr);
  EXPECT_FALSE(cancel_requested());
}

}  // namespace
}  // namespace tarnwick
