#include "tools/flags.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/args.h"

namespace tarnwick {
namespace {

/// How many log lines were written to standard output while `fn` ran.
template <class Fn>
size_t log_lines_while(Fn fn) {
  testing::internal::CaptureStdout();
  fn();
  std::string out = testing::internal::GetCapturedStdout();
  size_t lines = 0;
  for (char c : out) lines += c == '\n';
  return lines;
}

/// Runs one builder on fresh arguments, appending to a started list.
template <class Build>
ArgList built(const char* args_text, Build build) {
  json args = json::parse(args_text);
  SelectionArgs sel = read_selection_args(args);
  ArgList list = {"check"};
  build(list, args, sel);
  return list;
}

auto package_group = [](ArgList& l, const json& a, const SelectionArgs& s) {
  push_package_selection_args(l, a, s);
};
auto target_group = [](ArgList& l, const json& a, const SelectionArgs& s) {
  push_target_selection_args(l, a, s);
};
auto feature_group = [](ArgList& l, const json& a, const SelectionArgs& s) {
  push_feature_args(l, a, s);
};
auto build_group = [](ArgList& l, const json& a, const SelectionArgs& s) {
  push_build_profile_args(l, a, s, /*allow_keep_going=*/true);
};
auto test_build_group = [](ArgList& l, const json& a, const SelectionArgs& s) {
  push_build_profile_args(l, a, s, /*allow_keep_going=*/false);
};
auto manifest_group = [](ArgList& l, const json& a, const SelectionArgs& s) {
  push_manifest_args(l, a, s, /*allow_ignore_rust_version=*/true);
};
auto tree_manifest_group = [](ArgList& l, const json& a, const SelectionArgs& s) {
  push_manifest_args(l, a, s, /*allow_ignore_rust_version=*/false);
};

TEST(PackageSelection, ExcludeOnlyBesideWorkspace) {
  EXPECT_EQ(built(R"({"workspace":true,"exclude":"a"})", package_group),
            (ArgList{"check", "--workspace", "--exclude", "a"}));
  EXPECT_EQ(built(R"({"exclude":"a"})", package_group), (ArgList{"check"}));
  EXPECT_EQ(built(R"({"workspace":"yes","package":""})", package_group),
            (ArgList{"check", "--package", "", "--workspace"}));
  EXPECT_EQ(built(R"({"package":7})", package_group), (ArgList{"check"}));
}

TEST(TargetSelection, FollowsTheFixedOrderNotTheKeyOrder) {
  EXPECT_EQ(built(R"({"all_targets":true,"bin":"cli","lib":true})", target_group),
            (ArgList{"check", "--lib", "--bin", "cli", "--all-targets"}));
  EXPECT_EQ(built(R"({"benches":1,"bench":"b","tests":"on","test":"t","examples":true,
                      "example":"e","bins":true,"bin":"c","lib":true,"all_targets":true})",
                  target_group),
            (ArgList{"check", "--lib", "--bins", "--bin", "c", "--examples", "--example", "e",
                     "--tests", "--test", "t", "--benches", "--bench", "b", "--all-targets"}));
}

TEST(Features, PassTheListAsOneElement) {
  EXPECT_EQ(
      built(R"({"no_default_features":true,"all_features":true,"features":"a, b"})", feature_group),
      (ArgList{"check", "--features", "a, b", "--all-features", "--no-default-features"}));
}

TEST(BuildProfile, ProfileWinsOverReleaseWithoutReadingIt) {
  EXPECT_EQ(built(R"({"profile":"bench","release":true})", build_group),
            (ArgList{"check", "--profile", "bench"}));
  EXPECT_EQ(built(R"({"release":true})", build_group), (ArgList{"check", "--release"}));
  // `release` beside a profile is never read, so a bad value cannot warn.
  EXPECT_EQ(log_lines_while([] { built(R"({"profile":"dev","release":"maybe"})", build_group); }),
            0u);
  EXPECT_EQ(log_lines_while([] { built(R"({"release":"maybe"})", build_group); }), 1u);
}

TEST(BuildProfile, KeepGoingSitsAfterJobsOnlyWhereAllowed) {
  const char* all = R"({"timings":true,"target_dir":"td","target":"x86","keep_going":true,
                        "jobs":8,"release":true})";
  EXPECT_EQ(built(all, build_group),
            (ArgList{"check", "--release", "--jobs", "8", "--keep-going", "--target", "x86",
                     "--target-dir", "td", "--timings"}));
  EXPECT_EQ(built(all, test_build_group), (ArgList{"check", "--release", "--jobs", "8", "--target",
                                                   "x86", "--target-dir", "td", "--timings"}));
  EXPECT_EQ(built(R"({"jobs":"8"})", build_group), (ArgList{"check"}));
  EXPECT_EQ(built(R"({"jobs":-1})", build_group), (ArgList{"check", "--jobs", "-1"}));
  EXPECT_EQ(log_lines_while([] { built(R"({"keep_going":"bad"})", test_build_group); }), 0u);
}

TEST(Manifest, IgnoreRustVersionFollowsTheManifestPath) {
  const char* all = R"({"frozen":true,"offline":true,"locked":true,"ignore_rust_version":true,
                        "manifest_path":"a/Cargo.toml"})";
  EXPECT_EQ(built(all, manifest_group),
            (ArgList{"check", "--manifest-path", "a/Cargo.toml", "--ignore-rust-version",
                     "--locked", "--offline", "--frozen"}));
  EXPECT_EQ(built(all, tree_manifest_group), (ArgList{"check", "--manifest-path", "a/Cargo.toml",
                                                      "--locked", "--offline", "--frozen"}));
  EXPECT_EQ(log_lines_while([] { built(R"({"ignore_rust_version":"bad"})", tree_manifest_group); }),
            0u);
}

TEST(Manifest, HandsBackTheLockSwitchesItRead) {
  json args = json::parse(R"({"locked":"maybe","offline":"on","frozen":false})");
  ArgList list = {"check"}, again = {"metadata"};
  LockSwitches locks;
  // A bad value warns once, when the builder reads it; replaying it reads nothing.
  EXPECT_EQ(log_lines_while([&] {
              locks = push_manifest_args(list, args, read_selection_args(args), true);
              push_lock_args(again, locks);
            }),
            1u);
  EXPECT_EQ(locks, (LockSwitches{false, true, false}));
  EXPECT_EQ(list, (ArgList{"check", "--offline"}));
  EXPECT_EQ(again, (ArgList{"metadata", "--offline"}));
  again = {};
  push_lock_args(again, LockSwitches{true, true, true});
  EXPECT_EQ(again, (ArgList{"--locked", "--offline", "--frozen"}));
}

TEST(NextestBuild, CargoProfileWinsOverRelease) {
  json args = json::parse(R"({"release":true})");
  ArgList list = {"nextest", "run"};
  push_nextest_build_args(list, args, "ci", std::nullopt, std::nullopt, std::nullopt);
  EXPECT_EQ(list, (ArgList{"nextest", "run", "--cargo-profile", "ci"}));

  list = {"nextest", "run"};
  std::optional<std::string> jobs = "4", target = "x86", target_dir = "td";
  push_nextest_build_args(list, args, std::nullopt, jobs, target, target_dir);
  EXPECT_EQ(list, (ArgList{"nextest", "run", "--release", "--build-jobs", "4", "--target", "x86",
                           "--target-dir", "td"}));
}

TEST(TestNameArgs, AddNameAndExactAfterTheSeparator) {
  const ArgList base = {"test", "--doc"};
  EXPECT_EQ(append_test_name_args(base, "mod::case", true),
            (ArgList{"test", "--doc", "--", "mod::case", "--exact"}));
  EXPECT_EQ(append_test_name_args(base, "case", false), (ArgList{"test", "--doc", "--", "case"}));
  EXPECT_EQ(append_test_name_args(base, "", false), (ArgList{"test", "--doc", "--", ""}));
  EXPECT_EQ(append_test_name_args(base, std::nullopt, true), base);
}

TEST(SharedGroups, AppendInCallerOrder) {
  json args = json::parse(R"({"workspace":true,"exclude":"x","lib":true,"features":"f",
                              "release":true,"manifest_path":"Cargo.toml","locked":true})");
  SelectionArgs sel = read_selection_args(args);
  ArgList list = {"+nightly", "check", "--message-format=json"};
  push_package_selection_args(list, args, sel);
  push_target_selection_args(list, args, sel);
  push_feature_args(list, args, sel);
  push_build_profile_args(list, args, sel, true);
  push_manifest_args(list, args, sel, true);
  EXPECT_EQ(list, (ArgList{"+nightly", "check", "--message-format=json", "--workspace", "--exclude",
                           "x", "--lib", "--features", "f", "--release", "--manifest-path",
                           "Cargo.toml", "--locked"}));
}

}  // namespace
}  // namespace tarnwick
