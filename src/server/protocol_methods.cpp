#include "server/protocol_methods.h"

#include <memory>
#include <string>

#include "base/quoted.h"
#include "catalogue/catalogue.h"

namespace tarnwick {
namespace {

constexpr const char* kSetupDescription =
    "Check whether this repository's Pellimar instruction files include the tarnwick section that "
    "directs Pellimar to use MCP tools instead of running cargo commands in a terminal. If "
    "anything "
    "is missing or incomplete, add it in the appropriate instruction file and commit the change.";

constexpr const char* kSetupMessage =
    "Run the cargo_setup tool and then, based on its output, check whether this repository's "
    "Pellimar instruction files already direct Pellimar to use the tarnwick MCP tools instead of "
    "running cargo commands in a terminal. If the instructions are missing or incomplete, add the "
    "tarnwick section to the appropriate instruction file (adapting the wording to fit the "
    "project's existing style) and commit the change.";

constexpr int32_t kMethodNotFound = -32601;

json initialize_result() {
  return json{{"capabilities", {{"prompts", json::object()}, {"tools", json::object()}}},
              {"protocolVersion", "2024-11-05"},
              {"serverInfo", {{"name", "tarnwick"}, {"version", "0.12.1"}}}};
}

json prompts_list_result() {
  json prompt = {
      {"arguments", json::array()}, {"description", kSetupDescription}, {"name", "setup"}};
  return json{{"prompts", json::array({prompt})}};
}

/// The "name" of the params when it is a string; the empty text otherwise.
std::string requested_prompt(const std::optional<json>& params) {
  if (!params || !params->is_object()) return "";
  auto it = params->find("name");
  if (it == params->end() || !it->is_string()) return "";
  return it->get<std::string>();
}

Outcome prompts_get(const std::optional<json>& params) {
  std::string name = requested_prompt(params);
  if (name != "setup")
    return Outcome::fail(kMethodNotFound, "unknown prompt: " + tarnwick::quoted(name));
  json message = {{"content", {{"text", kSetupMessage}, {"type", "text"}}}, {"role", "user"}};
  return Outcome::ok(
      json{{"description", kSetupDescription}, {"messages", json::array({message})}});
}

/// The tools/list result, built and written out once: it never changes.
const std::shared_ptr<const std::string>& tools_list_text() {
  static const std::shared_ptr<const std::string> text =
      std::make_shared<const std::string>(to_json_text(json{{"tools", tools_catalogue()}}));
  return text;
}

}  // namespace

Outcome handle_request(std::string_view method, const std::optional<json>& params) {
  if (method == "initialize") return Outcome::ok(initialize_result());
  if (method == "ping") return Outcome::ok(json::object());
  if (method == "shutdown") return Outcome::ok(json(nullptr));
  if (method == "tools/list") return Outcome::ok_text(tools_list_text());
  if (method == "prompts/list") return Outcome::ok(prompts_list_result());
  if (method == "prompts/get") return prompts_get(params);
  return Outcome::fail(kMethodNotFound, "method not found: " + std::string(method));
}

}  // namespace tarnwick
