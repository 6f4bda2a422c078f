#include "tools/dispatch.h"

#include "base/quoted.h"
#include "tools/bisect_call.h"
#include "tools/build_tools.h"
#include "tools/cargo_test.h"
#include "tools/nextest_tools.h"
#include "tools/setup.h"

namespace tarnwick {

std::optional<std::string> toolchain_selector(const json& arguments) {
  if (!arguments.is_object()) return std::nullopt;
  auto toolchain = arguments.find("toolchain");
  if (toolchain == arguments.end() || !toolchain->is_string()) return std::nullopt;
  std::string_view name = trim(toolchain->get_ref<const std::string&>());
  if (name.starts_with('+')) name.remove_prefix(1);
  if (name.empty()) return std::nullopt;
  return "+" + std::string(name);
}

ToolOutcome dispatch_tool(std::string_view name, const json& arguments, const ProgressSink* sink) {
  // Tools whose handlers live in modules of their own join this switch as
  // those modules arrive; until then they are refused like any unknown name.
  if (name == "cargo_check") return run_build_tool("check", arguments, sink);
  if (name == "cargo_build") return run_build_tool("build", arguments, sink);
  if (name == "cargo_test" && bisect_requested(arguments)) {
    return run_bisect_call(arguments, sink, /*check_doc=*/true);
  }
  if (name == "cargo_test") return route_cargo_test(arguments, sink);
  if (name == "cargo_clippy") return run_build_tool("clippy", arguments, sink);
  if (name == "cargo_doc") return run_cargo_doc(arguments, sink);
  if (name == "cargo_tree") return run_cargo_tree(arguments);
  if (name == "cargo_update") return run_cargo_update(arguments);
  if (name == "cargo_publish") return run_cargo_publish(arguments);
  if (name == "cargo_setup") return ToolText{handle_cargo_setup(arguments), false};
  if (name == "cargo_nextest_run") return run_cargo_nextest_run(arguments, sink);
  if (name == "cargo_nextest_list") return run_cargo_nextest_list(arguments);
  return ToolFailed{make_error("unknown tool: " + std::string(name))};
}

}  // namespace tarnwick
