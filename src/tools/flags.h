#pragma once
/// Builders of the cargo flags that many tools share. Each builder appends
/// one group; callers append the groups in a fixed order: package selection,
/// target selection, features, build profile (or the nextest build options),
/// then manifest and lock flags. A flag with a value is two elements, and
/// values pass unchanged.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_text.h"
#include "tools/args.h"

namespace tarnwick {

/// cargo's arguments without the program.
using ArgList = std::vector<std::string>;

/// `flag` and the value, when there is a value.
void push_value(ArgList& args, std::string_view flag, std::optional<std::string_view> value);

/// `flag` when the boolean argument `key` is true; tells whether it was.
bool push_switch(ArgList& args, const json& arguments, std::string_view key, std::string_view flag);

/// --package, --workspace, --exclude (only together with --workspace).
void push_package_selection_args(ArgList& args, const json& arguments, const SelectionArgs& sel);

/// --lib, --bins, --bin, --examples, --example, --tests, --test, --benches,
/// --bench, --all-targets.
void push_target_selection_args(ArgList& args, const json& arguments, const SelectionArgs& sel);

/// --features, --all-features, --no-default-features.
void push_feature_args(ArgList& args, const json& arguments, const SelectionArgs& sel);

/// --profile (or --release), --jobs, --keep-going (when allowed), --target,
/// --target-dir, --timings.
void push_build_profile_args(ArgList& args, const json& arguments, const SelectionArgs& sel,
                             bool allow_keep_going);

/// --cargo-profile (or --release), --build-jobs, --target, --target-dir for
/// the cargo-nextest tools.
void push_nextest_build_args(ArgList& args, const json& arguments,
                             std::optional<std::string_view> cargo_profile,
                             std::optional<std::string_view> build_jobs,
                             std::optional<std::string_view> target,
                             std::optional<std::string_view> target_dir);

/// The lock switches of one call as `push_manifest_args` read them.
struct LockSwitches {
  bool locked = false;
  bool offline = false;
  bool frozen = false;

  auto operator<=>(const LockSwitches&) const = default;
};

/// --manifest-path, --ignore-rust-version (when allowed), --locked,
/// --offline, --frozen. Returns the lock switches it read, so that a second
/// command line of the same call carries them without reading (and warning
/// about) them again.
LockSwitches push_manifest_args(ArgList& args, const json& arguments, const SelectionArgs& sel,
                                bool allow_ignore_rust_version);

/// --locked, --offline, --frozen from switches read before.
void push_lock_args(ArgList& args, const LockSwitches& locks);

/// `base` followed by "--" and the test name, and "--exact" when asked;
/// without a name, `base` unchanged.
ArgList append_test_name_args(const ArgList& base, std::optional<std::string_view> test_name,
                              bool exact);

}  // namespace tarnwick
