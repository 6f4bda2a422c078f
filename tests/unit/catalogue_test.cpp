#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "base/json_text.h"
#include "catalogue/catalogue_entries.h"

namespace tarnwick {
namespace {

using catalogue::Property;

const char kEmDash[] = "\xE2\x80\x94";
const char kEllipsis[] = "\xE2\x80\xA6";

size_t count_of(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

const json& tool_named(const json& tools, const std::string& name) {
  for (const json& tool : tools) {
    if (tool.at("name") == name) return tool;
  }
  ADD_FAILURE() << "no tool " << name;
  static const json missing = json::object();
  return missing;
}

const json& properties_of(const json& tools, const std::string& name) {
  return tool_named(tools, name).at("inputSchema").at("properties");
}

std::vector<std::string> keys_in_wire_order(const nlohmann::ordered_json& object) {
  std::vector<std::string> keys;
  for (const auto& item : object.items()) keys.push_back(item.key());
  return keys;
}

struct FrameRow {
  const char* name;
  bool read_only;
  bool destructive;
  std::vector<std::string> required;
  size_t property_count;
};

TEST(Catalogue, FrameOrderAnnotationsRequiredAndPropertyCounts) {
  const std::vector<FrameRow> rows = {
      {"cargo_metadata", false, false, {}, 4},
      {"cargo_check", true, false, {}, 33},
      {"cargo_build", true, false, {}, 33},
      {"cargo_test", true, false, {}, 42},
      {"cargo_clippy", true, false, {}, 32},
      {"cargo_fmt_check", true, false, {}, 4},
      {"cargo_fmt", false, false, {}, 4},
      {"cargo_tree", true, false, {}, 17},
      {"cargo_doc", true, false, {}, 28},
      {"cargo_clean", false, true, {}, 4},
      {"cargo_update", false, false, {}, 4},
      {"cargo_fix", false, false, {}, 6},
      {"cargo_add", false, false, {"dependency"}, 7},
      {"cargo_remove", false, false, {"dependency"}, 6},
      {"cargo_publish", false, true, {}, 5},
      {"cargo_setup", true, false, {}, 1},
      {"cargo_diagnostic", true, false, {}, 1},
      {"cargo_nextest_run", true, false, {}, 45},
      {"cargo_nextest_list", true, false, {}, 37},
  };
  const json tools = tools_catalogue();
  ASSERT_TRUE(tools.is_array());
  ASSERT_EQ(tools.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const json& tool = tools[i];
    const FrameRow& row = rows[i];
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(tool.is_object());
    EXPECT_EQ(tool.size(), 4u);
    EXPECT_EQ(tool.at("name"), row.name);
    EXPECT_TRUE(tool.at("description").is_string());
    const json& schema = tool.at("inputSchema");
    EXPECT_EQ(schema.size(), 3u);
    EXPECT_EQ(schema.at("type"), "object");
    ASSERT_TRUE(schema.at("properties").is_object());
    EXPECT_EQ(schema.at("properties").size(), row.property_count);
    ASSERT_TRUE(schema.at("required").is_array());
    EXPECT_EQ(schema.at("required"), json(row.required));
    for (const json& required : schema.at("required")) {
      EXPECT_TRUE(schema.at("properties").contains(required.get<std::string>()));
    }
    EXPECT_EQ(tool.at("annotations"),
              json({{"readOnlyHint", row.read_only}, {"destructiveHint", row.destructive}}));
  }
  EXPECT_EQ(to_json_text(tools_catalogue()), to_json_text(tools));
}

/// Walks every property entry, nested ones included.
template <typename Visit>
void for_each_entry(const json& properties, const Visit& visit) {
  for (const auto& [name, entry] : properties.items()) {
    visit(name, entry);
    if (entry.contains("properties")) for_each_entry(entry.at("properties"), visit);
  }
}

TEST(Catalogue, KeywordsTypesAndBounds) {
  const std::set<std::string> allowed = {
      "type", "description",          "minimum",    "exclusiveMinimum", "maximum",
      "enum", "additionalProperties", "properties", "required"};
  const std::map<std::string, long> expected_minimum = {{"jobs", 1},
                                                        {"build_jobs", 1},
                                                        {"test_threads", 1},
                                                        {"min_group_size", 1},
                                                        {"initial_group_size", 1},
                                                        {"initial_groups", 1},
                                                        {"max_rounds", 1},
                                                        {"split_factor", 2},
                                                        {"timeout_secs", 0},
                                                        {"test_timeout_secs", 0},
                                                        {"per_test_timeout_secs", 0},
                                                        {"retries", 0}};
  const std::set<std::string> exclusive_minimum = {"group_timeout_secs", "slow_threshold_secs",
                                                   "split_percent"};
  const json tools = tools_catalogue();
  for (const json& tool : tools) {
    SCOPED_TRACE(tool.at("name").get<std::string>());
    EXPECT_FALSE(tool.at("inputSchema").contains("description"));
    for_each_entry(
        tool.at("inputSchema").at("properties"), [&](const std::string& name, const json& entry) {
          SCOPED_TRACE(name);
          ASSERT_TRUE(entry.at("type").is_string());
          ASSERT_TRUE(entry.at("description").is_string());
          for (const auto& [keyword, value] : entry.items()) {
            EXPECT_TRUE(allowed.count(keyword)) << keyword;
            (void)value;
          }
          if (entry.contains("minimum")) {
            ASSERT_TRUE(expected_minimum.count(name));
            EXPECT_TRUE(entry.at("minimum").is_number_integer());
            EXPECT_EQ(entry.at("minimum"), expected_minimum.at(name));
          } else if (entry.at("type") == "integer") {
            EXPECT_EQ(name, "depth");
          }
          EXPECT_EQ(entry.contains("exclusiveMinimum"), exclusive_minimum.count(name) == 1);
          if (entry.contains("exclusiveMinimum")) {
            EXPECT_TRUE(entry.at("exclusiveMinimum").is_number_integer());
            EXPECT_EQ(entry.at("exclusiveMinimum"), 0);
            EXPECT_EQ(entry.at("type"), "number");
          }
          EXPECT_EQ(entry.contains("maximum"), name == "split_percent");
          if (entry.contains("maximum")) {
            EXPECT_TRUE(entry.at("maximum").is_number_integer());
            EXPECT_EQ(entry.at("maximum"), 100);
          }
          if (name == "run_ignored") {
            EXPECT_EQ(entry.at("enum"), json({"default", "only", "all"}));
          } else if (name == "list_type") {
            EXPECT_EQ(entry.at("enum"), json({"full", "binaries-only"}));
          } else {
            EXPECT_FALSE(entry.contains("enum"));
          }
          EXPECT_EQ(entry.contains("additionalProperties"), name == "env");
          if (name == "env") {
            EXPECT_EQ(entry.at("additionalProperties"), json({{"type", {"string", "null"}}}));
          }
          if (entry.contains("properties") || entry.contains("required")) {
            ASSERT_TRUE(name == "test_filter" || name == "bisect");
            EXPECT_EQ(entry.at("required"),
                      json::array({name == "bisect" ? "group_timeout_secs" : "pattern"}));
          }
        });
  }
}

TEST(Catalogue, DescriptionLengthsAndDashes) {
  const size_t domain = std::strlen(catalogue::kPublicRegistryDomain);
  const std::map<std::string, std::pair<size_t, size_t>> expected = {
      {"cargo_check", {575, 2}},    {"cargo_build", {479, 1}},
      {"cargo_clippy", {518, 1}},   {"cargo_doc", {447, 1}},
      {"cargo_metadata", {543, 1}}, {"cargo_fmt_check", {518, 1}},
      {"cargo_fmt", {447, 1}},      {"cargo_tree", {527, 1}},
      {"cargo_clean", {453, 1}},    {"cargo_update", {476, 1}},
      {"cargo_fix", {489, 1}},      {"cargo_add", {454, 1}},
      {"cargo_remove", {345, 1}},   {"cargo_publish", {482 + 2 * domain, 2}},
      {"cargo_setup", {782, 1}},    {"cargo_diagnostic", {547, 1}},
  };
  const json tools = tools_catalogue();
  for (const auto& [name, size_and_dashes] : expected) {
    SCOPED_TRACE(name);
    const std::string text = tool_named(tools, name).at("description");
    EXPECT_EQ(text.size(), size_and_dashes.first);
    EXPECT_EQ(count_of(text, kEmDash), size_and_dashes.second);
  }
  EXPECT_EQ(count_of(tool_named(tools, "cargo_nextest_run").at("description"), kEmDash), 2u);
  EXPECT_EQ(count_of(nextest_test_filter_schema().at("description"), kEmDash), 1u);
  EXPECT_EQ(
      count_of(properties_of(tools, "cargo_test").at("test_filter").at("description"), kEllipsis),
      1u);
  // The registry's name stands twice in the tool text and once in dry_run.
  const std::string registry = catalogue::kPublicRegistryDomain;
  EXPECT_EQ(count_of(tool_named(tools, "cargo_publish").at("description"), registry), 2u);
  EXPECT_EQ(
      count_of(properties_of(tools, "cargo_publish").at("dry_run").at("description"), registry),
      1u);
  EXPECT_NE(std::string(tool_named(tools, "cargo_publish").at("description"))
                .find("from " + registry + ". Always run"),
            std::string::npos);
}

TEST(Catalogue, DescriptionOpeningsAndClosings) {
  const json tools = tools_catalogue();
  const std::string opening = "ALWAYS use this tool instead of running";
  const std::string check_text = tools[1].at("description");
  const std::string closing = check_text.substr(check_text.find("ALWAYS pass `working_dir`"));
  EXPECT_EQ(closing.rfind("ALWAYS pass `working_dir` set to the absolute path of your workspace "
                          "root",
                          0),
            0u);
  for (size_t i = 0; i < 15; ++i) {
    const std::string text = tools[i].at("description");
    SCOPED_TRACE(text.substr(0, 60));
    EXPECT_EQ(text.rfind(opening, 0), 0u);
    EXPECT_TRUE(text.ends_with(closing));
  }
  const std::string setup = tool_named(tools, "cargo_setup").at("description");
  EXPECT_NE(setup.rfind(opening, 0), 0u);
  EXPECT_EQ(setup.find("ALWAYS pass"), std::string::npos);
  const std::string setup_dir =
      properties_of(tools, "cargo_setup").at("working_dir").at("description");
  EXPECT_EQ(setup_dir.rfind("Optional", 0), 0u);
  const std::string diagnostic = tool_named(tools, "cargo_diagnostic").at("description");
  EXPECT_NE(diagnostic.rfind(opening, 0), 0u);
  EXPECT_TRUE(diagnostic.ends_with(closing));

  const std::string address = kFiltersetDocsAddress;
  const std::string run_filter =
      properties_of(tools, "cargo_nextest_run").at("filter_expr").at("description");
  EXPECT_NE(run_filter.find("See " + address + " for the DSL."), std::string::npos);
  const std::string list_filter =
      properties_of(tools, "cargo_nextest_list").at("filter_expr").at("description");
  EXPECT_TRUE(list_filter.ends_with("See " + address + "."));
  EXPECT_NE(list_filter.find("`-E '<expr>'`"), std::string::npos);
}

struct SharedEntry {
  const char* label;
  Property property;
};

TEST(Catalogue, SharedEntriesAreCarriedIdentically) {
  using namespace catalogue::shared;
  const std::vector<SharedEntry> entries = {
      {"working_dir", working_dir()},
      {"env", env()},
      {"toolchain", toolchain()},
      {"output_path", output_path()},
      {"timeout_secs", timeout_secs()},
      {"workspace", workspace()},
      {"exclude", exclude()},
      {"lib", lib()},
      {"bins", bins()},
      {"bin", bin()},
      {"examples", examples()},
      {"example", example()},
      {"tests", tests()},
      {"test/target", test_target()},
      {"test/run", test_run()},
      {"benches", benches()},
      {"bench", bench()},
      {"all_targets", all_targets()},
      {"profile", profile()},
      {"jobs", jobs()},
      {"keep_going", keep_going()},
      {"target", target()},
      {"target_dir", target_dir()},
      {"timings", timings()},
      {"ignore_rust_version", ignore_rust_version()},
      {"manifest_path", manifest_path()},
      {"offline", offline()},
      {"frozen", frozen()},
      {"locked", locked()},
      {"features", features()},
      {"all_features", all_features()},
      {"no_default_features", no_default_features()},
      {"no_run", no_run()},
      {"bisect", catalogue::bisect()},
      {"test_filter", catalogue::nextest_test_filter()},
  };
  const std::vector<std::string> build_lint = {"working_dir",   "toolchain",
                                               "env",           "output_path",
                                               "workspace",     "exclude",
                                               "lib",           "bins",
                                               "bin",           "examples",
                                               "example",       "tests",
                                               "test/target",   "benches",
                                               "bench",         "profile",
                                               "jobs",          "keep_going",
                                               "target",        "target_dir",
                                               "timings",       "ignore_rust_version",
                                               "manifest_path", "offline",
                                               "frozen",        "features",
                                               "all_features",  "no_default_features",
                                               "locked",        "timeout_secs"};
  const std::vector<std::string> maintenance = {"working_dir", "env"};
  const std::vector<std::string> formatting = {"working_dir", "toolchain", "env"};
  const std::map<std::string, std::vector<std::string>> carried = {
      {"cargo_metadata", {"env"}},
      {"cargo_check", build_lint},
      {"cargo_build", build_lint},
      {"cargo_clippy", build_lint},
      {"cargo_test", {"working_dir",   "toolchain",    "env",
                      "output_path",   "no_run",       "workspace",
                      "exclude",       "bins",         "bin",
                      "examples",      "example",      "tests",
                      "benches",       "bench",        "all_targets",
                      "profile",       "jobs",         "target",
                      "target_dir",    "timings",      "ignore_rust_version",
                      "manifest_path", "offline",      "frozen",
                      "features",      "all_features", "no_default_features",
                      "test/run",      "locked",       "bisect"}},
      {"cargo_fmt_check", formatting},
      {"cargo_fmt", formatting},
      {"cargo_tree",
       {"working_dir", "toolchain", "env", "workspace", "exclude", "manifest_path", "offline",
        "frozen", "features", "all_features", "no_default_features"}},
      {"cargo_doc", {"working_dir",   "toolchain",    "env",
                     "output_path",   "workspace",    "exclude",
                     "lib",           "bins",         "bin",
                     "examples",      "example",      "profile",
                     "jobs",          "keep_going",   "target",
                     "target_dir",    "timings",      "ignore_rust_version",
                     "manifest_path", "offline",      "frozen",
                     "features",      "all_features", "no_default_features",
                     "locked"}},
      {"cargo_clean", maintenance},
      {"cargo_update", maintenance},
      {"cargo_fix", maintenance},
      {"cargo_add", maintenance},
      {"cargo_remove", maintenance},
      {"cargo_publish", maintenance},
      {"cargo_setup", {}},
      {"cargo_diagnostic", {}},
      {"cargo_nextest_run", {"working_dir", "toolchain",     "env",
                             "output_path", "workspace",     "exclude",
                             "bins",        "bin",           "examples",
                             "example",     "tests",         "test/run",
                             "benches",     "bench",         "all_targets",
                             "features",    "test_filter",   "target",
                             "target_dir",  "manifest_path", "ignore_rust_version",
                             "offline",     "frozen",        "no_run",
                             "bisect"}},
      {"cargo_nextest_list",
       {"working_dir",
        "toolchain",
        "env",
        "workspace",
        "exclude",
        "bins",
        "bin",
        "examples",
        "example",
        "tests",
        "benches",
        "bench",
        "all_targets",
        "features",
        "test_filter",
        "target",
        "target_dir",
        "manifest_path",
        "ignore_rust_version",
        "offline",
        "frozen"}},
  };
  for (const json& tool : tools_catalogue()) {
    const std::string name = tool.at("name");
    SCOPED_TRACE(name);
    const json& properties = tool.at("inputSchema").at("properties");
    std::set<std::string> found;
    for (const SharedEntry& entry : entries) {
      const auto& [key, schema] = entry.property;
      if (properties.contains(key) && properties.at(key) == schema) found.insert(entry.label);
    }
    ASSERT_TRUE(carried.count(name));
    const auto& listed = carried.at(name);
    EXPECT_EQ(found, std::set<std::string>(listed.begin(), listed.end()));
  }
}

TEST(Catalogue, NestedObjectsAreSharedWhereTheyShouldBe) {
  const json tools = tools_catalogue();
  const json& test_bisect = properties_of(tools, "cargo_test").at("bisect");
  const json& run_bisect = properties_of(tools, "cargo_nextest_run").at("bisect");
  EXPECT_EQ(test_bisect, run_bisect);
  EXPECT_EQ(test_bisect, bisect_property_schema());

  const json& run_filter = properties_of(tools, "cargo_nextest_run").at("test_filter");
  const json& list_filter = properties_of(tools, "cargo_nextest_list").at("test_filter");
  EXPECT_EQ(run_filter, list_filter);
  EXPECT_EQ(run_filter, nextest_test_filter_schema());
  const json& test_filter = properties_of(tools, "cargo_test").at("test_filter");
  EXPECT_NE(test_filter, run_filter);
  // Same shape, other words.
  for (const char* key : {"pattern", "include_ignored"}) {
    EXPECT_EQ(test_filter.at("properties").at(key).at("type"),
              run_filter.at("properties").at(key).at("type"));
    EXPECT_NE(test_filter.at("properties").at(key).at("description"),
              run_filter.at("properties").at(key).at("description"));
  }
  EXPECT_EQ(test_filter.at("properties").size(), 2u);
  EXPECT_EQ(test_filter.at("required"), run_filter.at("required"));
  EXPECT_EQ(properties_of(tools, "cargo_nextest_run").at("run_ignored").at("enum"),
            properties_of(tools, "cargo_nextest_list").at("run_ignored").at("enum"));
}

/// Every object on the wire must list its keys in byte order.
void expect_sorted_keys(const nlohmann::ordered_json& value) {
  if (value.is_object()) {
    const std::vector<std::string> keys = keys_in_wire_order(value);
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  }
  if (value.is_structured()) {
    for (const auto& child : value) expect_sorted_keys(child);
  }
}

TEST(Catalogue, WireTextHasSortedKeysIntegerBoundsAndRawUtf8) {
  const std::string text = to_json_text(tools_catalogue());
  EXPECT_GT(text.size(), 90000u);
  EXPECT_LT(text.size(), 95000u);
  const auto wire = nlohmann::ordered_json::parse(text);
  expect_sorted_keys(wire);
  ASSERT_EQ(wire.size(), 19u);
  // Key order follows from the sorted walk above; these pin the property names.
  EXPECT_EQ(keys_in_wire_order(wire[0].at("inputSchema").at("properties")),
            (std::vector<std::string>{"env", "no_deps", "output_file", "working_dir"}));

  const auto& test_properties = wire[3].at("inputSchema").at("properties");
  EXPECT_EQ(keys_in_wire_order(test_properties), (std::vector<std::string>{"all_features",
                                                                           "all_targets",
                                                                           "bench",
                                                                           "benches",
                                                                           "bin",
                                                                           "bins",
                                                                           "bisect",
                                                                           "doc",
                                                                           "env",
                                                                           "exact",
                                                                           "example",
                                                                           "examples",
                                                                           "exclude",
                                                                           "features",
                                                                           "filter",
                                                                           "frozen",
                                                                           "ignore_rust_version",
                                                                           "jobs",
                                                                           "lib",
                                                                           "locked",
                                                                           "manifest_path",
                                                                           "no_default_features",
                                                                           "no_fail_fast",
                                                                           "no_run",
                                                                           "offline",
                                                                           "output_path",
                                                                           "package",
                                                                           "per_test_timeout_secs",
                                                                           "profile",
                                                                           "release",
                                                                           "target",
                                                                           "target_dir",
                                                                           "test",
                                                                           "test_filter",
                                                                           "test_name",
                                                                           "test_timeout_secs",
                                                                           "tests",
                                                                           "timeout_secs",
                                                                           "timings",
                                                                           "toolchain",
                                                                           "working_dir",
                                                                           "workspace"}));
  EXPECT_EQ(keys_in_wire_order(test_properties.at("bisect").at("properties")),
            (std::vector<std::string>{"group_timeout_secs", "include_ignored", "initial_group_size",
                                      "initial_groups", "max_rounds", "min_group_size", "pattern",
                                      "slow_threshold_secs", "split_factor", "split_percent"}));
  EXPECT_EQ(keys_in_wire_order(wire[7].at("inputSchema").at("properties")),
            (std::vector<std::string>{"all_features", "depth", "duplicates", "env", "exclude",
                                      "features", "frozen", "invert", "locked", "manifest_path",
                                      "no_default_features", "offline", "package", "target",
                                      "toolchain", "working_dir", "workspace"}));
  EXPECT_EQ(keys_in_wire_order(wire[12].at("inputSchema").at("properties")),
            (std::vector<std::string>{"build", "dependency", "dev", "env", "features", "package",
                                      "working_dir"}));
  EXPECT_EQ(keys_in_wire_order(wire[11].at("inputSchema").at("properties")),
            (std::vector<std::string>{"allow_dirty", "allow_staged", "clippy", "env", "package",
                                      "working_dir"}));

  // Bounds are written as integers; the texts go out as raw UTF-8 with only
  // the double quotes escaped.
  const std::regex bound(R"re("(minimum|exclusiveMinimum|maximum)":(-?[0-9.eE+]+))re");
  size_t bounds = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), bound);
       it != std::sregex_iterator(); ++it) {
    ++bounds;
    EXPECT_EQ((*it)[2].str().find_first_of(".eE"), std::string::npos) << (*it)[0].str();
  }
  // jobs 5, timeout_secs 5, test_timeout_secs 2, per_test_timeout_secs 1,
  // build_jobs 2, test_threads 1, retries 1, and nine in each bisect object.
  EXPECT_EQ(bounds, 5u + 5 + 2 + 1 + 2 + 1 + 1 + 2 * 9);
  EXPECT_EQ(text.find("\\u"), std::string::npos);
  EXPECT_NE(text.find(kEmDash), std::string::npos);
  EXPECT_NE(text.find(R"(such as \"nightly\", \"stable\", \"1.78\")"), std::string::npos);
  EXPECT_NE(text.find(R"((e.g. \"serde@1.0\"))"), std::string::npos);
}

}  // namespace
}  // namespace tarnwick
