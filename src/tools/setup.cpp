#include "tools/setup.h"

#include <optional>
#include <string_view>

#include "base/path_text.h"
#include "platform/file_status.h"
#include "tools/args.h"
#include "tools/nextest_args.h"
#include "tools/setup_guide_text.h"

namespace tarnwick {
namespace {

constexpr std::string_view kLeadIn =
    "Add the following section to the appropriate Pellimar instruction file in this repository. "
    "Adapt the wording to fit the project's existing conventions \u2014 the meaning matters, not "
    "the exact phrasing.\n\n";

constexpr std::string_view kOptionalSection =
    "\n### Optional: cargo-nextest\n\nWhen `cargo-nextest` is installed, prefer "
    "`cargo_nextest_run` over `cargo_test` for projects that opt into it (workspace has a "
    "`.config/nextest.toml`, the user asks for nextest, or the suite benefits from per-test "
    "process isolation / built-in retries / filter expressions). `cargo_test` remains the "
    "canonical tool, and is the ONLY way to run **doctests** (nextest does not support them).\n";

constexpr std::string_view kRecommendedSection =
    "\n### Recommended: cargo-nextest\n\nThis workspace contains a `.config/nextest.toml`, so "
    "prefer `cargo_nextest_run` over `cargo_test` for unit and integration tests. Use "
    "`cargo_test` only for **doctests** (nextest does not support them). `cargo_nextest_list` "
    "enumerates tests as structured JSON when you need discovery without execution.\n";

constexpr std::string_view kOptionalNote =
    "Optional: `cargo-nextest` is not installed. Install it to enable the `cargo_nextest_run` / "
    "`cargo_nextest_list` tools (per-test process isolation, built-in flaky-test retries, filter "
    "expressions):";

constexpr std::string_view kConfiguredNote =
    "This workspace is configured for cargo-nextest (`.config/nextest.toml` is present) but the "
    "`cargo-nextest` plugin is **not installed**. Install it to take advantage of the "
    "workspace's nextest configuration:";

/// Four backquotes, so the document's own three-backquote blocks stay inside.
constexpr std::string_view kOuterFence = "````";

struct WorkspaceFacts {
  bool nextest_config_present = false;
  bool nextest_installed = true;
};

WorkspaceFacts probe_workspace(const json& arguments) {
  std::optional<std::string> working_dir = string_arg(arguments, "working_dir");
  if (!working_dir) return {};
  WorkspaceFacts facts;
  facts.nextest_installed = !nextest_missing();
  const std::string config = join_path(join_path(*working_dir, ".config"), "nextest.toml");
  facts.nextest_config_present = platform::file_kind(config) == platform::FileKind::File;
  return facts;
}

}  // namespace

std::string handle_cargo_setup(const json& arguments) {
  const WorkspaceFacts facts = probe_workspace(arguments);
  std::string text(kLeadIn);
  text += kOuterFence;
  text += "markdown\n";
  text += kSetupGuideText;
  text += facts.nextest_config_present ? kRecommendedSection : kOptionalSection;
  text += kOuterFence;
  if (!facts.nextest_installed) {
    text += "\n\n";
    text += facts.nextest_config_present ? kConfiguredNote : kOptionalNote;
    text += "\n\n";
    text += nextest_install_blocks();
  }
  return text;
}

}  // namespace tarnwick
