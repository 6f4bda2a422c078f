#include "catalogue/catalogue.h"
#include "catalogue/catalogue_entries.h"

/// The cargo_test tool and the bisection argument it shares with
/// cargo_nextest_run.

namespace tarnwick {

json bisect_property_schema() {
  using namespace catalogue;
  json settings = json::object();
  /// Bounds stay JSON integers, also on the number-typed settings.
  auto number_above_zero = [](const char* description) {
    return json::object(
        {{"type", "number"}, {"exclusiveMinimum", 0}, {"description", description}});
  };
  auto integer_from = [](long minimum, const char* description) {
    return json::object({{"type", "integer"}, {"minimum", minimum}, {"description", description}});
  };
  settings["group_timeout_secs"] = number_above_zero(
      R"(REQUIRED. Wall-clock kill-deadline (seconds) for each group run. A group exceeding it is terminated and treated as hung. Pick a value large enough that a legitimately long-but-finite test still completes (so it is classified `slow`, not `hung`).)");
  settings["slow_threshold_secs"] = number_above_zero(
      R"(Optional. Must be < group_timeout_secs. A group that completes but takes longer than this is `slow` and gets subdivided. Omit to detect only hangs (groups that hit the kill-deadline).)");
  settings["split_factor"] = integer_from(
      2,
      R"(Number of sub-groups to split an interesting group into. Default 2 (binary bisection). Mutually exclusive with split_percent.)");
  settings["split_percent"] = json::object(
      {{"type", "number"},
       {"exclusiveMinimum", 0},
       {"maximum", 100},
       {"description",
        R"(Alternative to split_factor: each subdivision yields ceil(100/percent) sub-groups (e.g. 25 -> 4, 50 -> 2). Mutually exclusive with split_factor.)"}});
  settings["min_group_size"] = integer_from(
      1,
      R"(Stop subdividing when an interesting group is this small; its members are reported as culprits. Default 1 (isolate a single test).)");
  settings["initial_group_size"] = integer_from(
      1,
      R"(Form the first-level groups with this many tests each (chunking). Use to start bisection from reasonably-sized groups on a large suite. Mutually exclusive with initial_groups.)");
  settings["initial_groups"] = integer_from(
      1,
      R"(Form this many roughly-equal first-level groups. Mutually exclusive with initial_group_size. Default (neither set): one group of all tests.)");
  settings["max_rounds"] = integer_from(
      1,
      R"(Safety cap on subdivision depth. When reached, the current group's members are reported as culprits without further splitting. Default 32.)");
  settings["pattern"] =
      string_property(
          "pattern",
          R"(Optional RE2-style regex (the `regex` crate). Only tests whose `module::path::test_name` matches participate in bisection.)")
          .second;
  settings["include_ignored"] =
      boolean_property(
          "include_ignored",
          R"(If true, `#[ignore]` tests are enumerated and run during bisection (via --include-ignored). Default false.)")
          .second;
  return json::object(
      {{"type", "object"},
       {"description",
        R"(Enable hang/slow-test BISECTION. When present, the tool ignores the normal execution path and instead builds once, enumerates every test, then runs groups of tests under a short `group_timeout_secs` kill-deadline (always with --test-threads 1). Groups that time out (hang) or exceed `slow_threshold_secs` (slow) are recursively split into `split_factor` sub-groups until isolated to `min_group_size` test(s) or `max_rounds` of subdivision. Reports culprit tests classified `hung` (exceeded the kill deadline) or `slow` (completed but over the threshold). Works identically on cargo_test and cargo_nextest_run (it runs the compiled libtest binaries directly). Standard selectors (package, target, features, manifest_path, release, profile, toolchain) scope the build. Not supported together with `doc: true` — bisection builds with `cargo test --no-run` and never adds `--doc`, so this combination is rejected rather than silently bisecting non-doctests.)"},
       {"properties", std::move(settings)},
       {"required", json::array({"group_timeout_secs"})}});
}

namespace catalogue {

Property bisect() { return {"bisect", bisect_property_schema()}; }

namespace {

/// cargo_test's own regex selection; the nextest tools word theirs differently.
Property cargo_test_filter() {
  json members = json::object();
  members["pattern"] =
      string_property(
          "pattern",
          R"(RE2-style regular expression (the `regex` crate's flavor: linear-time, no backreferences). Matched against the full `module::path::test_name` of every enumerated case — the same string libtest itself filters on, so a `cargo test <name>` invocation and this pattern see identical candidate strings. Use anchors (`^`/`$`) for exact matches and `|` for OR. Example: `^(my_mod::a|my_mod::b)$` selects exactly two cases. IMPORTANT: integration-test binaries (under `tests/`) enumerate tests *without* a `module::` prefix (just `test_name`), while unit tests inside the crate itself enumerate as `mod::sub::test_name`. A leading `^` anchor binds to that prefix difference — `^foo` matches an integration test named `foo` but NOT a unit test named `tools::tests::foo`. If you want to span both, either drop the anchor (substring match) or include both forms in the alternation (e.g. `^(foo|tools::tests::foo)$`).)")
          .second;
  members["include_ignored"] =
      boolean_property(
          "include_ignored",
          R"(If true, `#[ignore]` tests participate in both enumeration and execution (the matching invocation passes `--include-ignored` to libtest so the harness actually runs the matched ignored cases). Default: false — ignored tests are excluded from matching so a pattern cannot accidentally pick one up.)")
          .second;
  return {
      "test_filter",
      json::object(
          {{"type", "object"},
           {"description",
            R"(Regex-based test-case selection. When set, the tool builds the tests with `--no-run`, enumerates every libtest case across all compiled test binaries via `--list`, matches their full `module::path::test_name` strings against `pattern`, and runs ONLY the matching cases. Execution style depends on the `tarnwick.test.perTestExecution` server setting: OFF (default) — all matches for a binary run in one `cargo test -- --exact name1 name2 …` invocation, guarded by the `per_test_timeout_secs` idle watchdog; ON — each matched test gets its own `cargo test -- --exact <name>` invocation, so the hung test is directly identified in the `x-tarnwick-invocation` header. `timeout_secs` is a hard OVERALL wall-clock cap on the entire execution phase; `per_test_timeout_secs` is the per-invocation budget (idle watchdog in batched mode; simple wall-clock cap in per-test mode). Mutually meaningful with `package`, `manifest_path`, `target`, `features`, `release`, and `profile`. Mutually IGNORED: `test_name`, `exact`, `no_run`, and `no_fail_fast`. Mutually EXCLUSIVE with `doc: true` — doctests are not selectable via this mode in v1 and the call is rejected with an error rather than silently running non-doctests.)"},
           {"properties", std::move(members)},
           {"required", json::array({"pattern"})}})};
}

}  // namespace

json cargo_test_tool() {
  using namespace shared;
  return tool_entry(
      "cargo_test",
      R"(ALWAYS use this tool instead of running `cargo test` in a terminal when working in a Rust/Cargo project. Executes the project's test suite and returns an NDJSON stream containing: compilation diagnostics (reason=compiler-message), build outcome (reason=build-finished), libtest harness output and captured println! replays (reason=x-tarnwick-test-output, field: text), and any stderr from test code such as eprintln! (reason=x-tarnwick-stderr, field: text). Supports filtering by test name, running only library tests, targeting a specific integration-test file, and continuing past failures with no_fail_fast. ALWAYS pass `working_dir` set to the absolute path of your workspace root — the default is the tarnwick server's own working directory and will usually cause the call to fail.)",
      {working_dir(),
       toolchain(),
       env(),
       output_path(),
       string_property(
           "package",
           R"(Test only the named package within the workspace. Omit to test all workspace members.)"),
       string_property(
           "test_name",
           R"(Filter: only run tests whose name contains this string. Passed as a positional argument after `--` to the test harness. Not supported together with `filter` (see below).)"),
       string_property(
           "filter",
           R"(Alias for `test_name`, accepted here for cross-tool convenience since it is nextest's own substring-filter parameter name. Automatically treated as `test_name`. Not supported together with `test_name`.)"),
       boolean_property("release",
                        R"(If true, test with the release profile. Default: false (debug).)"),
       boolean_property(
           "no_fail_fast",
           R"(If true, run all tests even if some fail. Default: false (stop after first failure).)"),
       no_run(),
       boolean_property(
           "doc",
           R"(If true, run only documentation tests (--doc). Default: false. Doctests are compiled and run in a single rustdoc invocation with no build/run split, so `no_run` is not supported together with `doc: true`. `test_filter` and `bisect` are also not supported together with `doc: true` — doctests have no --list/--exact support and are always excluded from the filter/bisection pipelines, so the call is rejected rather than silently running non-doctests.)"),
       workspace(),
       exclude(),
       bins(),
       bin(),
       examples(),
       example(),
       tests(),
       benches(),
       bench(),
       all_targets(),
       profile(),
       jobs(),
       target(),
       target_dir(),
       timings(),
       ignore_rust_version(),
       manifest_path(),
       offline(),
       frozen(),
       features(),
       all_features(),
       no_default_features(),
       boolean_property("lib",
                        R"(If true, only run library tests (unit tests in src/). Default: false.)"),
       test_run(),
       boolean_property(
           "exact",
           R"(If true, the test_name filter must match exactly (not as substring). Default: false.)"),
       cargo_test_filter(),
       locked(),
       integer_property("timeout_secs",
                        0, R"(Hard OVERALL wall-clock budget in seconds, applied independently to each phase: first the build (--no-run), then test execution. Each phase gets its own clock, so a slow build never eats into the execution budget (and vice versa). When either phase's budget elapses, cargo and the entire subprocess tree are terminated. Same meaning in all modes (unfiltered, batched filter, per-test filter). Defaults: unfiltered — server setting (30 s via the Ostrel extension; none otherwise); filter mode — no default, omit to let a long matched run complete, or pass an explicit value to cap each phase. Pass 0 to disable for this call regardless of the server default.)"),
       integer_property(
           "test_timeout_secs", 0,
           R"(Overrides the EXECUTION phase's budget specifically, leaving the build phase governed by `timeout_secs` (or its default) independently. ONLY meaningful in the unfiltered path — not supported together with `doc: true` (single-phase, no build/execute split), `test_filter` (has its own `per_test_timeout_secs` model), or `bisect` (has its own `group_timeout_secs` model); the call is rejected rather than silently ignoring it. If `timeout_secs` is omitted, the build phase is left UNBOUNDED (supplying a test-specific budget signals you only want to bound execution). If `timeout_secs` is also set, this value is CLAMPED to never exceed it — it can only tighten the execution budget, not loosen it beyond the overall cap. Pass 0 to omit the override and fall back to `timeout_secs` (or its default) for both phases, same as leaving this unset.)"),
       integer_property(
           "per_test_timeout_secs", 0,
           R"(Per-test budget in seconds. ONLY meaningful when `test_filter` is set; ignored otherwise. Semantics depend on the `tarnwick.test.perTestExecution` server setting: OFF (batched, default) — idle watchdog: arms on each per-binary build-finished and resets on every libtest completion boundary (`test <name> ... ok|FAILED|ignored`). A long suite of fast tests never trips it; a single hung test does. The hung test is not named in the error — the last `x-tarnwick-test-output` line before the timeout is the closest indicator. One hung test does not block other matched binaries from running. ON (per-test) — simple wall-clock cap per invocation: arms on each single-test invocation's build-finished, never resets. The hung test IS named in the `x-tarnwick-invocation` `argv` field (`--exact <name>`). Default when omitted: server setting (30 s via the Ostrel extension); when that is also absent or 0, a hard-coded 30-second fallback still applies so hung-test protection is always on in filter mode. Pass 0 to fully disable for this call. May be combined with `timeout_secs`; whichever fires first terminates the affected invocation.)"),
       bisect()},
      {}, Effect::kReadOnly);
}

}  // namespace catalogue
}  // namespace tarnwick
