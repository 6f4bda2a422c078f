#include "tools/setup.h"

#include <fmt/format.h>

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

constexpr std::string_view kHungNote =
    "`cargo nextest --version` did not finish within {} s and was stopped, so whether "
    "`cargo-nextest` works is not known: a plugin that hangs is not a missing one (it may be "
    "waiting for a lock or a slow disk). If it is not installed, or its installation is broken, "
    "install it to enable the `cargo_nextest_run` / `cargo_nextest_list` tools:";

/// Four backquotes, so the document's own three-backquote blocks stay inside.
constexpr std::string_view kOuterFence = "````";

struct WorkspaceFacts {
  bool nextest_config_present = false;
  /// Without a working directory no probe runs and the runner counts as there.
  NextestProbe nextest = NextestProbe::Installed;
};

WorkspaceFacts probe_workspace(const json& arguments, Duration probe_limit) {
  std::optional<std::string> working_dir = string_arg(arguments, "working_dir");
  if (!working_dir) return {};
  WorkspaceFacts facts;
  facts.nextest = probe_nextest(probe_limit);
  const std::string config = join_path(join_path(*working_dir, ".config"), "nextest.toml");
  facts.nextest_config_present = platform::file_kind(config) == platform::FileKind::File;
  return facts;
}

/// The note before the install commands when the runner is not known to work.
std::string install_note(const WorkspaceFacts& facts, Duration probe_limit) {
  if (facts.nextest == NextestProbe::Hung)
    return fmt::format(fmt::runtime(kHungNote), probe_limit.secs);
  return std::string(facts.nextest_config_present ? kConfiguredNote : kOptionalNote);
}

}  // namespace

Result<std::string> handle_cargo_setup(const json& arguments, Duration probe_limit) {
  const WorkspaceFacts facts = probe_workspace(arguments, probe_limit);
  if (facts.nextest == NextestProbe::Cancelled) return CancelledError{};
  std::string text(kLeadIn);
  text += kOuterFence;
  text += "markdown\n";
  text += kSetupGuideText;
  text += facts.nextest_config_present ? kRecommendedSection : kOptionalSection;
  text += kOuterFence;
  if (facts.nextest != NextestProbe::Installed) {
    text += "\n\n";
    text += install_note(facts, probe_limit);
    text += "\n\n";
    text += nextest_install_blocks();
  }
  return text;
}

}  // namespace tarnwick
