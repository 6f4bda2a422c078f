#include "catalogue/catalogue.h"

#include <utility>

#include "catalogue/catalogue_entries.h"

namespace tarnwick {
namespace catalogue {
namespace {

Property typed_property(const char* type, std::string name, std::string description) {
  return {std::move(name), json::object({{"type", type}, {"description", std::move(description)}})};
}

json annotations_for(Effect effect) {
  return json::object({{"readOnlyHint", effect == Effect::kReadOnly},
                       {"destructiveHint", effect == Effect::kDestructive}});
}

}  // namespace

Property string_property(std::string name, std::string description) {
  return typed_property("string", std::move(name), std::move(description));
}

Property boolean_property(std::string name, std::string description) {
  return typed_property("boolean", std::move(name), std::move(description));
}

Property integer_property(std::string name, std::string description) {
  return typed_property("integer", std::move(name), std::move(description));
}

Property integer_property(std::string name, long minimum, std::string description) {
  return {std::move(name), json::object({{"type", "integer"},
                                         {"minimum", minimum},
                                         {"description", std::move(description)}})};
}

Property enum_property(std::string name, std::initializer_list<const char*> values,
                       std::string description) {
  json allowed = json::array();
  for (const char* value : values) allowed.push_back(value);
  return {std::move(name), json::object({{"type", "string"},
                                         {"enum", std::move(allowed)},
                                         {"description", std::move(description)}})};
}

std::vector<Property> joined(std::initializer_list<std::vector<Property>> groups) {
  std::vector<Property> all;
  for (const std::vector<Property>& group : groups)
    all.insert(all.end(), group.begin(), group.end());
  return all;
}

json tool_entry(std::string name, std::string description, const std::vector<Property>& properties,
                std::initializer_list<const char*> required, Effect effect) {
  json members = json::object();
  for (const Property& property : properties) members[property.first] = property.second;
  json required_names = json::array();
  for (const char* parameter : required) required_names.push_back(parameter);
  json input_schema = json::object({{"type", "object"},
                                    {"properties", std::move(members)},
                                    {"required", std::move(required_names)}});
  return json::object({{"name", std::move(name)},
                       {"description", std::move(description)},
                       {"inputSchema", std::move(input_schema)},
                       {"annotations", annotations_for(effect)}});
}

}  // namespace catalogue

json tools_catalogue() {
  using namespace catalogue;
  json tools = json::array();
  tools.push_back(cargo_metadata_tool());
  tools.push_back(cargo_check_tool());
  tools.push_back(cargo_build_tool());
  tools.push_back(cargo_test_tool());
  tools.push_back(cargo_clippy_tool());
  tools.push_back(cargo_fmt_check_tool());
  tools.push_back(cargo_fmt_tool());
  tools.push_back(cargo_tree_tool());
  tools.push_back(cargo_doc_tool());
  tools.push_back(cargo_clean_tool());
  tools.push_back(cargo_update_tool());
  tools.push_back(cargo_fix_tool());
  tools.push_back(cargo_add_tool());
  tools.push_back(cargo_remove_tool());
  tools.push_back(cargo_publish_tool());
  tools.push_back(cargo_setup_tool());
  tools.push_back(cargo_diagnostic_tool());
  tools.push_back(cargo_nextest_run_tool());
  tools.push_back(cargo_nextest_list_tool());
  return tools;
}

}  // namespace tarnwick
