#include "tools/front_end.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "../common/temp_crate.h"
#include "base/call_context.h"
#include "base/path_text.h"
#include "tools/dispatch.h"
#include "tools/progress_total.h"

namespace tarnwick {
namespace {

using tarnwick::testing::TempDir;

/// The failure text of `outcome`, or a marker when it did not fail.
std::string failure_text(const ToolOutcome& outcome) {
  if (const ToolFailed* failed = std::get_if<ToolFailed>(&outcome))
    return error_text(failed->error);
  return "<not a failure>";
}

std::string call(std::string_view tool, const json& arguments) {
  return failure_text(handle_tool_call(tool, arguments, nullptr, make_cancel_flag()));
}

/// Fails in dispatch, after every front-end check passed, without running cargo.
const std::string kReachedDispatch =
    "`precise` requires `package` \u2014 specify the crate name to pin";

/// Runs the test body inside `dir` as the process's current directory.
class InDirectory {
 public:
  explicit InDirectory(const std::string& dir) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~InDirectory() { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_;
};

std::string not_found(const std::string& tool, const std::string& dir, bool defaulted) {
  return tool + ": no `Cargo.toml` found in `" + dir + "` or any parent directory." +
         (defaulted
              ? " `working_dir` was not provided, so it defaulted to the tarnwick server's own "
                "working directory (typically not your project)."
              : "") +
         " Pass `working_dir` set to the absolute path of your workspace root (the directory "
         "containing Cargo.toml), or pass `manifest_path`.";
}

TEST(ParamRegistry, HoldsEveryToolWithItsDeclaredNames) {
  const ParamRegistry& registry = tool_param_registry();
  EXPECT_EQ(registry.size(), 19u);
  EXPECT_EQ(registry.at("cargo_update"),
            (std::unordered_set<std::string>{"env", "package", "precise", "working_dir"}));
  EXPECT_EQ(&registry, &tool_param_registry());
}

TEST(UnknownParameters, HeadHintsSuggestionsAndTail) {
  // Plural head in byte order, a null value still collected, one did-you-mean line.
  EXPECT_EQ(call("cargo_update", {{"zzz", nullptr}, {"pakage", "x"}}),
            "cargo_update: unknown parameters `pakage`, `zzz`.\n"
            "  - `pakage`: did you mean `package`?\n"
            "  Valid parameters: env, package, precise, working_dir.");
  EXPECT_EQ(call("cargo_update", {{"Package", "x"}}),
            "cargo_update: unknown parameter `Package`.\n"
            "  - `Package`: did you mean `package`?\n"
            "  Valid parameters: env, package, precise, working_dir.");
  // The hint belongs to the nextest tools only.
  std::string nextest = call("cargo_nextest_list", {{"jobs", 2}});
  EXPECT_TRUE(
      nextest.starts_with("cargo_nextest_list: unknown parameter `jobs`.\n  - `jobs`: nextest "
                          "splits cargo-test's `jobs`: use "
                          "`build_jobs` for build parallelism or `test_threads` for test "
                          "parallelism.\n  Valid parameters: "
                          "all_features, all_targets,"))
      << nextest;
  EXPECT_EQ(nextest.find("did you mean"), std::string::npos);
  EXPECT_TRUE(nextest.ends_with(", working_dir, workspace."));
  EXPECT_EQ(call("cargo_update", {{"jobs", 2}}),
            "cargo_update: unknown parameter `jobs`.\n  Valid parameters: env, package, precise, "
            "working_dir.");
  // `doc` has a hint only on cargo_nextest_run.
  EXPECT_EQ(
      call("cargo_nextest_run", {{"doc", true}}).find("  - `doc`: nextest cannot run doctests"),
      std::string("cargo_nextest_run: unknown parameter `doc`.\n").size());
  EXPECT_EQ(call("cargo_nextest_list", {{"doc", true}}).find("nextest cannot run doctests"),
            std::string::npos);
}

TEST(UnknownParameters, EveryHintTextIsExact) {
  auto hint_line = [](std::string_view tool, const std::string& key) {
    std::string message = call(tool, {{key, 1}});
    size_t start = message.find("\n  - `");
    if (start == std::string::npos) return std::string();
    return message.substr(start + 1, message.find('\n', start + 1) - start - 1);
  };
  EXPECT_EQ(hint_line("cargo_nextest_run", "profile"),
            "  - `profile`: `profile` is ambiguous for nextest: use `cargo_profile` for the cargo "
            "build profile, or `nextest_profile` for the nextest config profile.");
  EXPECT_EQ(hint_line("cargo_nextest_list", "per_test_timeout_secs"),
            "  - `per_test_timeout_secs`: nextest has no per-test-timeout parameter here \u2014 "
            "configure `slow-timeout` / `terminate-after` in `.config/nextest.toml`, and use "
            "`timeout_secs` for an overall wall-clock cap.");
  EXPECT_EQ(hint_line("cargo_test", "filter_expr"),
            "  - `filter_expr`: `filter_expr` is nextest's filterset DSL, which has no "
            "`cargo_test` equivalent beyond `test_name` (substring) or `test_filter` (regex "
            "selection) \u2014 it cannot be mechanically translated.");
  EXPECT_EQ(hint_line("cargo_nextest_run", "doc"),
            "  - `doc`: nextest cannot run doctests; use `cargo_test` with `doc: true` for those.");
  EXPECT_EQ(hint_line("cargo_nextest_run", "jobs"),
            "  - `jobs`: nextest splits cargo-test's `jobs`: use `build_jobs` for build "
            "parallelism or `test_threads` for test parallelism.");
  // A name outside the catalogue is not checked at all: dispatch refuses it.
  EXPECT_EQ(call("cargo_bogus", {{"zzz", 1}}), "unknown tool: cargo_bogus");
}

TEST(UnknownParameters, DistanceThresholdGrowsWithKeyLength) {
  auto suggestion = [](std::string_view tool, const std::string& key) -> std::string {
    std::string message = call(tool, {{key, 1}});
    size_t at = message.find("did you mean `");
    if (at == std::string::npos) return "";
    at += 14;
    return message.substr(at, message.find('`', at) - at);
  };
  EXPECT_EQ(suggestion("cargo_check", "lob"), "lib");           // 3 bytes: distance 1 allowed
  EXPECT_EQ(suggestion("cargo_check", "lxx"), "");              // 3 bytes: distance 2 refused
  EXPECT_EQ(suggestion("cargo_update", "preci"), "precise");    // 5 bytes: distance 2 allowed
  EXPECT_EQ(suggestion("cargo_update", "prec"), "");            // 4 bytes: distance 3 refused
  EXPECT_EQ(suggestion("cargo_update", "packxyz"), "package");  // 7 bytes: distance 3 allowed
  EXPECT_EQ(suggestion("cargo_update", "paxxxxx"), "");
  EXPECT_EQ(suggestion("cargo_check", "bine"), "bin");  // tie with `bins`: the first in name order
}

TEST(EditDistance, CountsCharactersNotBytes) {
  EXPECT_EQ(edit_distance("", "abc"), 3u);
  EXPECT_EQ(edit_distance("kitten", "sitting"), 3u);
  EXPECT_EQ(edit_distance("caf\u00e9", "cafe"), 1u);
  EXPECT_EQ(edit_distance("\u00e9\u00e9", ""), 2u);
}

TEST(LexicalParent, DropsTheLastComponent) {
  EXPECT_EQ(lexical_parent("a/b"), "a");
  EXPECT_EQ(lexical_parent("a/b/"), "a");
  EXPECT_EQ(lexical_parent("a"), "");
  EXPECT_EQ(lexical_parent("./a"), ".");
  EXPECT_EQ(lexical_parent("."), "");
  EXPECT_EQ(lexical_parent("../x"), "..");
  EXPECT_EQ(lexical_parent("/a"), "/");
  EXPECT_EQ(lexical_parent("/srv//a/./"), "/srv");
  EXPECT_EQ(lexical_parent("wd/./reports/./out.json"), "wd/./reports");
  EXPECT_EQ(lexical_parent("/./a"), "/");
  EXPECT_EQ(lexical_parent("./."), "");
  EXPECT_EQ(lexical_parent(""), std::nullopt);
  EXPECT_EQ(lexical_parent("/"), std::nullopt);
  EXPECT_EQ(lexical_parent("//"), std::nullopt);
}

TEST(ManifestSearch, RefusesWhenNoFileIsFoundUpwards) {
  TempDir dir;
  std::filesystem::create_directories(dir / "a/b");
  std::filesystem::create_directories(dir / "Cargo.toml");  // a directory does not count
  EXPECT_EQ(call("cargo_update", {{"working_dir", dir / "a/b"}}),
            not_found("cargo_update", dir / "a/b", false));

  InDirectory inside(dir.path());
  EXPECT_EQ(call("cargo_update", {{"working_dir", "a/b"}}),
            not_found("cargo_update", "a/b", false));
  EXPECT_EQ(call("cargo_update", {{"working_dir", ""}}), not_found("cargo_update", "", false));
  std::string here = std::filesystem::current_path().string();
  EXPECT_EQ(call("cargo_update", json::object()), not_found("cargo_update", here, true));
  EXPECT_EQ(call("cargo_update", {{"working_dir", 7}}), not_found("cargo_update", here, true));
  EXPECT_EQ(call("cargo_update", json::array()), not_found("cargo_update", here, true));

  // Tools that run no cargo, and a given manifest path, skip the search.
  EXPECT_EQ(call("cargo_setup", json::object()), "<not a failure>");
  std::string refused_path = call("cargo_check", {{"manifest_path", ""}, {"output_path", "/abs"}});
  EXPECT_NE(refused_path, "<not a failure>");
  EXPECT_EQ(refused_path.find("Cargo.toml"), std::string::npos) << refused_path;
}

TEST(ManifestSearch, FindsTheFileInAParentOfARelativeDirectory) {
  TempDir dir;
  std::filesystem::create_directories(dir / "a/b");
  dir.write("Cargo.toml", "");
  InDirectory inside(dir.path());
  EXPECT_EQ(call("cargo_update", {{"working_dir", "a/b"}, {"precise", "1"}}), kReachedDispatch);
  EXPECT_EQ(call("cargo_update", {{"working_dir", ""}, {"precise", "1"}}), kReachedDispatch);
}

TEST(WorkingDirectoryAlias, StandsInForWorkingDir) {
  TempDir crate, empty;
  crate.write("Cargo.toml", "");
  EXPECT_EQ(call("cargo_update", {{"working_directory", empty.path()}}),
            not_found("cargo_update", empty.path(), false));
  EXPECT_EQ(call("cargo_update", {{"working_directory", crate.path()}, {"precise", "1"}}),
            kReachedDispatch);
  // A non-null working_dir wins silently; a null one is replaced.
  EXPECT_EQ(
      call("cargo_update",
           {{"working_dir", crate.path()}, {"working_directory", empty.path()}, {"precise", "1"}}),
      kReachedDispatch);
  EXPECT_EQ(call("cargo_update", {{"working_dir", nullptr}, {"working_directory", empty.path()}}),
            not_found("cargo_update", empty.path(), false));
}

TEST(EnvValidation, RefusesBadNamesAndValues) {
  TempDir crate;
  crate.write("Cargo.toml", "");
  auto with_env = [&crate](const json& env) {
    return call("cargo_update", {{"working_dir", crate.path()}, {"precise", "1"}, {"env", env}});
  };
  EXPECT_EQ(with_env(json::array()), "env must be an object mapping name to string|null, got []");
  EXPECT_EQ(with_env("A=1"), "env must be an object mapping name to string|null, got \"A=1\"");
  EXPECT_EQ(with_env({{"", nullptr}}), "env keys must be non-empty");
  EXPECT_EQ(with_env({{"A=B", "1"}}), "env key \"A=B\" must not contain '='");
  EXPECT_EQ(with_env({{std::string("A\0B", 3), "1"}}), "env key \"A\\0B\" must not contain NUL");
  EXPECT_EQ(with_env({{"K\t", std::string("a\0", 2)}}),
            "env value for \"K\\t\" must not contain NUL");
  EXPECT_EQ(with_env({{"N", 5}}), "env[\"N\"] must be a string or null, got 5");
  EXPECT_EQ(with_env({{"N", {{"x", true}}}}),
            "env[\"N\"] must be a string or null, got {\"x\":true}");
  // Walked in key order: the first fault in byte order is reported.
  EXPECT_EQ(with_env({{"B", 1}, {"A=", "x"}}), "env key \"A=\" must not contain '='");
  // Accepted shapes reach dispatch.
  EXPECT_EQ(with_env(nullptr), kReachedDispatch);
  EXPECT_EQ(with_env(json::object()), kReachedDispatch);
  EXPECT_EQ(with_env({{"lower case \u00e9", "v"}, {"GONE", nullptr}}), kReachedDispatch);
}

TEST(CallState, NothingIsLeftPublishedAfterAnyWayOut) {
  TempDir crate;
  crate.write("Cargo.toml", "");
  const json calls[] = {
      {{"bogus", 1}},                                         // unknown parameter
      {{"working_dir", crate / "missing"}},                   // no Cargo.toml
      {{"working_dir", crate.path()}, {"env", {{"", "x"}}}},  // bad env
      {{"working_dir", crate.path()}, {"env", {{"A", "1"}}}, {"precise", "1"}},  // dispatched
  };
  for (const json& arguments : calls) {
    set_env_overrides({{"STALE", "1"}});
    set_cancel_token(nullptr);
    ToolOutcome outcome = handle_tool_call("cargo_update", arguments, nullptr, make_cancel_flag());
    EXPECT_TRUE(std::holds_alternative<ToolFailed>(outcome));
    EXPECT_EQ(cancel_token(), nullptr) << arguments.dump();
  }
  // Dispatch clears the overrides it was given.
  EXPECT_TRUE(env_overrides().empty());
  set_env_overrides({});
}

TEST(Dispatch, UnknownNamesAreRefusedAsGiven) {
  const platform::WorkingDir here = platform::WorkingDir::open(std::nullopt);
  for (std::string name : {"cargo_Check", "cargo_check ", "cargo", "", "cargo_metadata_extra_long"})
    EXPECT_EQ(failure_text(dispatch_tool(name, json::object(), nullptr, here)),
              "unknown tool: " + name);
  EXPECT_EQ(failure_text(dispatch_tool("cargo_update", {{"package", 3}, {"precise", "1.2.3"}},
                                       nullptr, here)),
            kReachedDispatch);
}

TEST(Dispatch, ToolchainSelector) {
  EXPECT_EQ(toolchain_selector({{"toolchain", " +beta\t"}}), "+beta");
  EXPECT_EQ(toolchain_selector({{"toolchain", "nightly"}}), "+nightly");
  EXPECT_EQ(toolchain_selector({{"toolchain", "++x"}}), "++x");
  EXPECT_EQ(toolchain_selector({{"toolchain", "a b"}}), "+a b");
  EXPECT_EQ(toolchain_selector({{"toolchain", "+"}}), std::nullopt);
  EXPECT_EQ(toolchain_selector({{"toolchain", "   "}}), std::nullopt);
  EXPECT_EQ(toolchain_selector({{"toolchain", 1}}), std::nullopt);
  EXPECT_EQ(toolchain_selector(json::array()), std::nullopt);
}

TEST(ProgressTotal, CountsResolveNodesElsePackages) {
  EXPECT_EQ(progress_total_from_metadata(R"({"packages":[1,2,3],"resolve":{"nodes":[1,2]}})"), 2u);
  EXPECT_EQ(progress_total_from_metadata(R"({"packages":[1,2,3],"resolve":null})"), 3u);
  EXPECT_EQ(progress_total_from_metadata(R"({"packages":{},"resolve":null})"), std::nullopt);
  EXPECT_EQ(progress_total_from_metadata("{\"packages\":[]}\n{}"), std::nullopt);
  EXPECT_EQ(progress_total_from_metadata("error"), std::nullopt);
  EXPECT_EQ(progress_total_from_metadata(" [] "), std::nullopt);
}

}  // namespace
}  // namespace tarnwick
