#include "tools/flags.h"

namespace tarnwick {

void push_value(ArgList& args, std::string_view flag, std::optional<std::string_view> value) {
  if (!value) return;
  args.emplace_back(flag);
  args.emplace_back(*value);
}

bool push_switch(ArgList& args, const json& arguments, std::string_view key,
                 std::string_view flag) {
  if (!parse_bool_arg(arguments, key)) return false;
  args.emplace_back(flag);
  return true;
}

void push_package_selection_args(ArgList& args, const json& arguments, const SelectionArgs& sel) {
  push_value(args, "--package", sel.package);
  if (parse_bool_arg(arguments, "workspace")) {
    args.emplace_back("--workspace");
    // cargo accepts --exclude only beside --workspace.
    push_value(args, "--exclude", sel.exclude);
  }
}

void push_target_selection_args(ArgList& args, const json& arguments, const SelectionArgs& sel) {
  push_switch(args, arguments, "lib", "--lib");
  push_switch(args, arguments, "bins", "--bins");
  push_value(args, "--bin", sel.bin);
  push_switch(args, arguments, "examples", "--examples");
  push_value(args, "--example", sel.example);
  push_switch(args, arguments, "tests", "--tests");
  push_value(args, "--test", sel.test);
  push_switch(args, arguments, "benches", "--benches");
  push_value(args, "--bench", sel.bench);
  push_switch(args, arguments, "all_targets", "--all-targets");
}

void push_feature_args(ArgList& args, const json& arguments, const SelectionArgs& sel) {
  push_value(args, "--features", sel.features);
  push_switch(args, arguments, "all_features", "--all-features");
  push_switch(args, arguments, "no_default_features", "--no-default-features");
}

void push_build_profile_args(ArgList& args, const json& arguments, const SelectionArgs& sel,
                             bool allow_keep_going) {
  // A named profile wins; `release` is then not read, so it cannot warn.
  if (sel.profile)
    push_value(args, "--profile", sel.profile);
  else
    push_switch(args, arguments, "release", "--release");
  push_value(args, "--jobs", sel.jobs);
  if (allow_keep_going) push_switch(args, arguments, "keep_going", "--keep-going");
  push_value(args, "--target", sel.target);
  push_value(args, "--target-dir", sel.target_dir);
  push_switch(args, arguments, "timings", "--timings");
}

void push_nextest_build_args(ArgList& args, const json& arguments,
                             std::optional<std::string_view> cargo_profile,
                             std::optional<std::string_view> build_jobs,
                             std::optional<std::string_view> target,
                             std::optional<std::string_view> target_dir) {
  if (cargo_profile)
    push_value(args, "--cargo-profile", cargo_profile);
  else
    push_switch(args, arguments, "release", "--release");
  push_value(args, "--build-jobs", build_jobs);
  push_value(args, "--target", target);
  push_value(args, "--target-dir", target_dir);
}

LockSwitches push_manifest_args(ArgList& args, const json& arguments, const SelectionArgs& sel,
                                bool allow_ignore_rust_version) {
  push_value(args, "--manifest-path", sel.manifest_path);
  if (allow_ignore_rust_version)
    push_switch(args, arguments, "ignore_rust_version", "--ignore-rust-version");
  LockSwitches locks;
  locks.locked = push_switch(args, arguments, "locked", "--locked");
  locks.offline = push_switch(args, arguments, "offline", "--offline");
  locks.frozen = push_switch(args, arguments, "frozen", "--frozen");
  return locks;
}

void push_lock_args(ArgList& args, const LockSwitches& locks) {
  if (locks.locked) args.emplace_back("--locked");
  if (locks.offline) args.emplace_back("--offline");
  if (locks.frozen) args.emplace_back("--frozen");
}

ArgList append_test_name_args(const ArgList& base, std::optional<std::string_view> test_name,
                              bool exact) {
  ArgList args = base;
  if (test_name) {
    args.emplace_back("--");
    args.emplace_back(*test_name);
    if (exact) args.emplace_back("--exact");
  }
  return args;
}

}  // namespace tarnwick
