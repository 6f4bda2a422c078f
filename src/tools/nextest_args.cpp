#include "tools/nextest_args.h"

#include <fmt/format.h>

#include "base/quoted.h"
#include "catalogue/catalogue.h"
#include "runner/captured.h"
#include "runner/toolchain.h"
#include "test_select/pattern.h"
#include "tools/args.h"

namespace tarnwick {
namespace {

constexpr std::string_view kInstallBlocks =
    "```pwsh\n"
    "cargo install cargo-nextest --locked\n"
    "```\n"
    "\n"
    "Or, for a much faster install of a pre-built binary:\n"
    "\n"
    "```pwsh\n"
    "cargo binstall cargo-nextest\n"
    "```\n";

constexpr std::string_view kInstallPageAddress =
    "https://nexte.st/docs/installation/pre-built-binaries/";

/// `name` with ')', ',', '/' and '\' escaped for nextest's `test(=...)`.
std::string escape_exact_test_name(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (c == ')' || c == ',' || c == '/' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

NextestArgs read_nextest_args(const json& arguments) {
  NextestArgs n;
  n.cargo_profile = string_arg(arguments, "cargo_profile");
  n.nextest_profile = string_arg(arguments, "nextest_profile");
  n.build_jobs = int64_text_arg(arguments, "build_jobs");
  n.test_threads = int64_text_arg(arguments, "test_threads");
  n.retries = int64_text_arg(arguments, "retries");
  n.filter_expr = string_arg(arguments, "filter_expr");
  n.filter = string_arg(arguments, "filter");
  n.run_ignored = string_arg(arguments, "run_ignored");
  n.list_type = string_arg(arguments, "list_type");
  return n;
}

Status parse_test_filter_arg(NextestArgs& nextest, const json& arguments) {
  const json* filter = given_arg(arguments, "test_filter");
  if (!filter) return ok_status();
  Result<std::string> read = read_test_filter_pattern(*filter);
  if (!read) return std::move(read).error();
  const std::string& pattern = *read;
  // The pattern goes on nextest's command line, which cannot carry a NUL.
  if (pattern.find('\0') != std::string::npos)
    return make_error("test_filter.pattern must not contain NUL");
  if (pattern.find('/') != std::string::npos)
    return make_error(fmt::format(
        "test_filter.pattern {} contains `/`, which nextest's `test(/regex/)` filterset syntax "
        "uses as an unescapable delimiter. Pass the equivalent `filter_expr` directly instead "
        "(see {}).",
        tarnwick::quoted(pattern), kFiltersetDocsAddress));

  // Only checked here: nextest itself does the matching.
  if (auto compiled = compile_test_pattern(pattern); !compiled) return std::move(compiled).error();

  const bool include_ignored = parse_bool_arg(*filter, "include_ignored");
  std::string expression = "test(/" + pattern + "/)";
  if (nextest.filter_expr)
    return make_error(
        "test_filter is not supported together with filter_expr on "
        "cargo_nextest_run/cargo_nextest_list; test_filter is automatically translated into an "
        "equivalent filter_expr, so supplying both is ambiguous. Use just one.");
  if (nextest.filter)
    return make_error(
        "test_filter is not supported together with filter on "
        "cargo_nextest_run/cargo_nextest_list; use just one selection mechanism.");
  if (nextest.run_ignored)
    return make_error(
        "test_filter is not supported together with run_ignored on "
        "cargo_nextest_run/cargo_nextest_list; test_filter.include_ignored already derives the "
        "equivalent `--run-ignored` value automatically.");
  nextest.filter_expr = std::move(expression);
  if (include_ignored) nextest.run_ignored = "all";
  return ok_status();
}

Status translate_test_name(NextestArgs& nextest, const json& arguments) {
  std::optional<std::string> name = string_arg(arguments, "test_name");
  if (!name) return ok_status();
  const bool exact = parse_bool_arg(arguments, "exact");
  if (nextest.filter)
    return make_error(
        "test_name is not supported together with filter on "
        "cargo_nextest_run/cargo_nextest_list; test_name is automatically translated into "
        "filter, so supplying both is ambiguous. Use just one.");
  if (nextest.filter_expr)
    return make_error(
        "test_name is not supported together with filter_expr or test_filter on "
        "cargo_nextest_run/cargo_nextest_list; use just one selection mechanism.");
  if (exact)
    nextest.filter_expr = "test(=" + escape_exact_test_name(*name) + ")";
  else
    nextest.filter = std::move(*name);
  return ok_status();
}

Result<NextestArgs> read_nextest_selection(const json& arguments) {
  NextestArgs nextest = read_nextest_args(arguments);
  if (Status translated = parse_test_filter_arg(nextest, arguments); !translated)
    return std::move(translated).error();
  if (Status translated = translate_test_name(nextest, arguments); !translated)
    return std::move(translated).error();
  return nextest;
}

NextestProbe probe_nextest(Duration limit, Deadline deadline) {
  ResolvedProgram cargo = resolve_toolchain_program("cargo", "CARGO");
  ChildCommand probe;
  probe.program = cargo.path;
  probe.args = {"nextest", "--version"};
  // A probe stopped by the call's deadline says nothing about the plugin.
  const Duration left = deadline.remaining();
  const bool call_ends_first = left < limit;
  Result<int32_t> code = run_command_silently(std::move(probe), call_ends_first ? left : limit);
  if (code) return *code == 0 ? NextestProbe::Installed : NextestProbe::Missing;
  if (is_error_kind<CancelledError>(code.error())) return NextestProbe::Cancelled;
  if (is_error_kind<TimeoutError>(code.error()))
    return call_ends_first ? NextestProbe::OutOfTime : NextestProbe::Hung;
  return NextestProbe::Missing;  // it could not start
}

std::string_view nextest_install_blocks() { return kInstallBlocks; }

std::string nextest_not_installed_message() {
  return fmt::format(
      "cargo-nextest is not installed (looked for the `cargo-nextest` plugin via `cargo nextest "
      "--version`).\n\n"
      "Install with one of:\n\n"
      "{}\n"
      "See <{}> for platform-specific pre-built binaries. Re-run this tool after installation.\n",
      kInstallBlocks, kInstallPageAddress);
}

std::string nextest_hung_message(Duration limit) {
  return fmt::format(
      "cargo-nextest did not answer: `cargo nextest --version` did not finish within {} s and "
      "was stopped. A plugin that hangs is not a missing one: it may be waiting for a lock or a "
      "slow disk, or its installation may be broken.\n\n"
      "To install or reinstall it, use one of:\n\n"
      "{}\n"
      "See <{}> for platform-specific pre-built binaries. Re-run this tool after installation.\n",
      limit.secs, kInstallBlocks, kInstallPageAddress);
}

}  // namespace tarnwick
