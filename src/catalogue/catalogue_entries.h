#pragma once
/// Building blocks of the tool catalogue: property entries, the entries that
/// several tools share word for word, and one builder per tool. Internal to
/// the catalogue; other modules read the finished document from
/// tools_catalogue().

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "base/json_text.h"

namespace tarnwick::catalogue {

/// One member of an inputSchema "properties" object: name and schema.
using Property = std::pair<std::string, json>;

/// {"type": "string", "description": ...}; likewise for the other types.
Property string_property(std::string name, std::string description);
Property boolean_property(std::string name, std::string description);
Property integer_property(std::string name, std::string description);
/// An integer property with an inclusive lower bound, kept a JSON integer.
Property integer_property(std::string name, long minimum, std::string description);
/// A string property restricted to `values`, in the given order.
Property enum_property(std::string name, std::initializer_list<const char*> values,
                       std::string description);

/// What a tool does to the project, as told to the client by its annotations.
enum class Effect {
  kReadOnly,     ///< readOnlyHint true, destructiveHint false
  kWrites,       ///< readOnlyHint false, destructiveHint false
  kDestructive,  ///< readOnlyHint false, destructiveHint true
};

/// A complete tool object: name, description, inputSchema (with the
/// properties in the order given and `required`, [] when empty) and annotations.
json tool_entry(std::string name, std::string description, const std::vector<Property>& properties,
                std::initializer_list<const char*> required, Effect effect);

/// The groups of properties in the order given, as one list.
std::vector<Property> joined(std::initializer_list<std::vector<Property>> groups);

/// The public package registry that cargo publish uploads to by default.
inline constexpr const char* kPublicRegistryDomain = "crates.io";

/// Entries served identically by every tool that carries them.
namespace shared {
// Invocation context
Property working_dir();
Property env();
Property toolchain();
Property output_path();
Property timeout_secs();
// Package and target selection
Property workspace();
Property exclude();
Property lib();
Property bins();
Property bin();
Property examples();
Property example();
Property tests();
Property test_target();  ///< `test` naming a target to build (check, build, clippy)
Property test_run();     ///< `test` naming an integration test to run (test, nextest run)
Property benches();
Property bench();
Property all_targets();
// Build settings
Property profile();
Property jobs();
Property keep_going();
Property target();
Property target_dir();
Property timings();
Property ignore_rust_version();
Property manifest_path();
// Dependency resolution and features
Property offline();
Property frozen();
Property locked();
Property features();
Property all_features();
Property no_default_features();
// Test runs
Property no_run();
}  // namespace shared

/// The `bisect` and nextest `test_filter` members, under their names.
Property bisect();
Property nextest_test_filter();

// One builder per tool, grouped by family in their own sources.
json cargo_check_tool();
json cargo_build_tool();
json cargo_clippy_tool();
json cargo_doc_tool();
json cargo_test_tool();
json cargo_nextest_run_tool();
json cargo_nextest_list_tool();
json cargo_metadata_tool();
json cargo_fmt_check_tool();
json cargo_fmt_tool();
json cargo_tree_tool();
json cargo_clean_tool();
json cargo_update_tool();
json cargo_fix_tool();
json cargo_add_tool();
json cargo_remove_tool();
json cargo_publish_tool();
json cargo_setup_tool();
json cargo_diagnostic_tool();

}  // namespace tarnwick::catalogue
