#include "tools/dispatch.h"

#include "base/quoted.h"
#include "tools/build_tools.h"
#include "tools/cargo_test.h"
#include "tools/diagnostic_tool.h"
#include "tools/fmt_tools.h"
#include "tools/maintenance_tools.h"
#include "tools/metadata_tool.h"
#include "tools/nextest_tools.h"
#include "tools/setup.h"

namespace tarnwick {
namespace {

/// The answer of a tool the server answers itself: its text, or its failure.
ToolOutcome text_or_failed(Result<std::string> text) {
  if (!text) return ToolFailed{std::move(text).error()};
  return ToolText{std::move(*text)};
}

}  // namespace

std::optional<std::string> toolchain_selector(const json& arguments) {
  if (!arguments.is_object()) return std::nullopt;
  auto toolchain = arguments.find("toolchain");
  if (toolchain == arguments.end() || !toolchain->is_string()) return std::nullopt;
  std::string_view name = trim(toolchain->get_ref<const std::string&>());
  if (name.starts_with('+')) name.remove_prefix(1);
  if (name.empty()) return std::nullopt;
  return "+" + std::string(name);
}

ToolOutcome dispatch_tool(std::string_view name, const json& arguments, const ProgressSink* sink,
                          const platform::WorkingDir& working_dir) {
  if (name == "cargo_check") return run_build_tool("check", arguments, sink, working_dir);
  if (name == "cargo_build") return run_build_tool("build", arguments, sink, working_dir);
  if (name == "cargo_test") return route_cargo_test(arguments, sink, working_dir);
  if (name == "cargo_clippy") return run_build_tool("clippy", arguments, sink, working_dir);
  if (name == "cargo_doc") return run_cargo_doc(arguments, sink, working_dir);
  if (name == "cargo_tree") return run_cargo_tree(arguments);
  if (name == "cargo_update") return run_cargo_update(arguments);
  if (name == "cargo_publish") return run_cargo_publish(arguments);
  if (name == "cargo_metadata") return handle_cargo_metadata(arguments, working_dir);
  if (name == "cargo_clean") return run_cargo_clean(arguments);
  if (name == "cargo_add") return handle_cargo_add(arguments);
  if (name == "cargo_remove") return handle_cargo_remove(arguments);
  if (name == "cargo_fix") return handle_cargo_fix(arguments);
  if (name == "cargo_fmt") return fmt_with_per_crate_fallback(arguments, /*check=*/false);
  if (name == "cargo_fmt_check") return fmt_with_per_crate_fallback(arguments, /*check=*/true);
  if (name == "cargo_diagnostic") return text_or_failed(handle_cargo_diagnostic(arguments));
  if (name == "cargo_setup") return text_or_failed(handle_cargo_setup(arguments));
  if (name == "cargo_nextest_run") return run_cargo_nextest_run(arguments, sink, working_dir);
  if (name == "cargo_nextest_list") return run_cargo_nextest_list(arguments);
  return ToolFailed{make_error("unknown tool: " + std::string(name))};
}

}  // namespace tarnwick
