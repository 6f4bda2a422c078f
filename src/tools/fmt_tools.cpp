#include "tools/fmt_tools.h"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "base/path_text.h"
#include "runner/records.h"
#include "tools/args.h"
#include "tools/build_tools.h"
#include "tools/dispatch.h"
#include "tools/flags.h"
#include "tools/plain_run.h"

namespace tarnwick {
namespace {

/// What one call formats: where, with which toolchain, and which package.
struct FmtCall {
  std::optional<std::string> cwd;
  std::optional<std::string> selector;
  std::optional<std::string> package;
  bool check = false;
};

struct FmtPass {
  RunOutput run;
  ArgList argv;
};

Result<FmtPass> run_fmt_pass(const FmtCall& call, const std::optional<std::string>& package) {
  ArgList argv{"fmt"};
  if (call.check) argv.push_back("--check");
  if (package) argv.insert(argv.end(), {"--package", *package});
  argv = with_selector(call.selector, std::move(argv));
  RunResult run = run_quietly(argv, call.cwd);
  if (!run) return std::move(run).error();
  return FmtPass{std::move(*run), std::move(argv)};
}

std::string pass_text(const FmtPass& pass, const FmtCall& call) {
  return plain_run_result(pass.run, pass.argv, call.cwd, /*strip_ansi=*/call.check);
}

bool worth_per_member_retry(const FmtPass& pass, const FmtCall& call) {
  if (call.package || pass.run.exit_code == 0) return false;
  return !call.check || is_command_line_too_long(pass.run.stdout_text) ||
         is_command_line_too_long(pass.run.stderr_text);
}

std::set<std::string> workspace_member_ids(const json& metadata) {
  std::set<std::string> ids;
  const json* members = find_member(metadata, "workspace_members");
  if (!members || !members->is_array()) return ids;
  for (const json& id : *members)
    if (id.is_string()) ids.insert(id.get<std::string>());
  return ids;
}

/// The workspace's member names, sorted and each once; nothing when cargo
/// cannot tell them.
std::optional<std::vector<std::string>> workspace_member_names(const FmtCall& call) {
  ArgList argv = with_selector(call.selector, {"metadata", "--format-version=1", "--no-deps"});
  RunResult run = run_quietly(argv, call.cwd);
  if (!run || run->exit_code != 0) return std::nullopt;
  json metadata = json::parse(run->stdout_text, nullptr, /*allow_exceptions=*/false);
  if (metadata.is_discarded()) return std::nullopt;
  const json* packages = find_member(metadata, "packages");
  if (!packages || !packages->is_array()) return std::nullopt;
  std::vector<std::string> names = package_names_for_ids(*packages, workspace_member_ids(metadata));
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

ToolOutcome run_per_member(const FmtCall& call, const std::vector<std::string>& names) {
  std::vector<std::string> sections;
  bool any_failed = false;
  for (const std::string& name : names) {
    Result<FmtPass> pass = run_fmt_pass(call, name);
    if (!pass) return ToolFailed{std::move(pass).error()};
    any_failed = any_failed || pass->run.exit_code != 0;
    sections.push_back(fmt::format("tarnwick fmt [{}]:\n{}", name, pass_text(*pass, call)));
  }
  std::string text = fmt::format(
      "tarnwick: the single workspace-wide {} pass exceeded the OS command-line length limit, so "
      "it was re-run per-crate across {} workspace members.\n",
      call.check ? "cargo fmt --check" : "cargo fmt", names.size());
  text += "\n";
  text += fmt::format("{}", fmt::join(sections, "\n\n"));
  return ToolText{std::move(text), any_failed};
}

}  // namespace

bool is_command_line_too_long(std::string_view text) {
  std::string lower = ascii_lower(text);
  for (std::string_view marker :
       {"os error 206", "filename or extension is too long", "argument list too long"})
    if (lower.find(marker) != std::string::npos) return true;
  return false;
}

std::vector<std::string> package_names_for_ids(const json& packages,
                                               const std::set<std::string>& ids) {
  std::vector<std::string> names;
  for (const json& package : packages) {
    const json* id = find_member(package, "id");
    const json* name = find_member(package, "name");
    if (!id || !id->is_string() || !name || !name->is_string()) continue;
    if (ids.count(id->get<std::string>())) names.push_back(name->get<std::string>());
  }
  return names;
}

ToolOutcome fmt_with_per_crate_fallback(const json& arguments, bool check) {
  FmtCall call{string_arg(arguments, "working_dir"), toolchain_selector(arguments),
               string_arg(arguments, "package"), check};
  Result<FmtPass> first = run_fmt_pass(call, call.package);
  if (!first) return ToolFailed{std::move(first).error()};
  ToolText single{pass_text(*first, call), first->run.exit_code != 0};
  if (!worth_per_member_retry(*first, call)) return single;

  std::optional<std::vector<std::string>> names = workspace_member_names(call);
  if (!names || names->size() < 2) return single;
  return run_per_member(call, *names);
}

}  // namespace tarnwick
