#include <string>

#include "catalogue/catalogue.h"
#include "catalogue/catalogue_entries.h"

/// The two tools that go through cargo-nextest, and their regex selection.

namespace tarnwick {

json nextest_test_filter_schema() {
  using namespace catalogue;
  json members = json::object();
  members["pattern"] =
      string_property(
          "pattern",
          R"(RE2-style regular expression (the `regex` crate's flavor), matched by nextest against each test's full name. Must not contain a literal `/` (see above). Example: `^(my_mod::a|my_mod::b)$`.)")
          .second;
  members["include_ignored"] =
      boolean_property(
          "include_ignored",
          R"(If true, translated to `--run-ignored all` (run both ignored and non-ignored tests). Default: false (nextest's default `--run-ignored` behavior, i.e. ignored tests are skipped).)")
          .second;
  return json::object(
      {{"type", "object"},
       {"description",
        R"(Regex-based test selection, same shape as `cargo_test`'s `test_filter`. Automatically translated into an equivalent nextest filterset expression (`test(/pattern/)`, passed via `-E`) plus `--run-ignored all` when `include_ignored` is true — nextest itself performs the regex matching, so no separate enumerate/match step is needed. Not supported together with `filter_expr`, `filter`, or `run_ignored`: `test_filter` is already translated into all of those internally, so supplying one directly as well is ambiguous and the call is rejected. Prefer `filter_expr` directly if you need nextest's fuller filterset DSL (AND/OR, `kind()`, `binary()`, etc.) or if `pattern` must contain a literal `/`, which this translation cannot express (nextest's `/regex/` delimiter has no escape for it).)"},
       {"properties", std::move(members)},
       {"required", json::array({"pattern"})}});
}

namespace catalogue {
namespace {

/// Platform, target directory, manifest and resolution, in the order both
/// nextest tools list them.
std::vector<Property> platform_manifest_and_resolution() {
  using namespace shared;
  return {target(), target_dir(), manifest_path(), ignore_rust_version(), offline(), frozen()};
}

}  // namespace

Property nextest_test_filter() { return {"test_filter", nextest_test_filter_schema()}; }

json cargo_nextest_run_tool() {
  using namespace shared;
  return tool_entry(
      "cargo_nextest_run",
      R"(Run the project's test suite via cargo-nextest (`cargo nextest run`). Prefer this over `cargo_test` when the workspace contains a `.config/nextest.toml`, when the user asks for nextest, or when you want per-test process isolation, built-in flaky-test retries, or nextest's filter expressions. Use `filter` (substring) or `filter_expr` (the nextest `-E` filterset DSL) to select tests; `test_filter` and `test_name`/`exact` (the same shapes `cargo_test` uses) are ALSO accepted here and automatically translated into the equivalent `filter_expr`/`filter` — use whichever you already have in mind. NOTE: nextest does NOT support doctests — use `cargo_test` with `doc: true` for those. If cargo-nextest is not installed the tool returns an error whose body contains fenced install commands; Ostrel Pellimar Chat will render those with **Copy** and **Run in Terminal** buttons. Output is a strict NDJSON stream: cargo build diagnostics (reason=compiler-message, reason=build-finished) followed by nextest's human reporter output wrapped one-line-per-record (reason=x-tarnwick-nextest-output, field: text) and a final status trailer. Per-test enforcement (slow-timeout, terminate-after) is delegated to nextest's profile config; tarnwick adds only the OVERALL `timeout_secs` wall-clock cap (deferred-armed on `build-finished`, same as `cargo_test`). ALWAYS pass `working_dir` set to the absolute path of your workspace root.)",
      joined({{
                  working_dir(),
                  toolchain(),
                  env(),
                  output_path(),
                  string_property(
                      "package",
                      R"(Test only the named package within the workspace. Omit to test all members.)"),
                  workspace(),
                  exclude(),
                  boolean_property("lib",
                                   R"(If true, only run library tests (--lib). Default: false.)"),
                  bins(),
                  bin(),
                  examples(),
                  example(),
                  tests(),
                  test_run(),
                  benches(),
                  bench(),
                  all_targets(),
                  features(),
                  boolean_property(
                      "all_features",
                      R"(If true, activate all features of all selected packages. Default: false.)"),
                  boolean_property(
                      "no_default_features",
                      R"(If true, do not activate the `default` feature. Default: false.)"),
                  boolean_property(
                      "release",
                      R"(If true, build artifacts in release mode (--release). Mutually exclusive with `cargo_profile`; `cargo_profile` wins when both are supplied.)"),
                  string_property(
                      "cargo_profile",
                      R"(Cargo build profile (passed to nextest as `--cargo-profile`). NOTE: this is different from `nextest_profile`, which selects per-test nextest config. Mutually exclusive with `release`; `cargo_profile` wins.)"),
                  string_property(
                      "nextest_profile",
                      R"(Nextest profile to use, defined in `.config/nextest.toml` (passed as `--profile`). Selects per-test settings like slow-timeout, retries, and JUnit emission. NOT the cargo build profile.)"),
                  integer_property(
                      "build_jobs", 1,
                      R"(Number of build jobs (passed as `--build-jobs`). Cargo build parallelism.)"),
                  integer_property(
                      "test_threads", 1,
                      R"(Number of test threads (passed as `--test-threads`). Test execution parallelism.)"),
                  integer_property(
                      "retries", 0,
                      R"(Retry each failing test up to N times (passed as `--retries N`). Useful for flaky tests; nextest reports the per-test retry count in its summary.)"),
                  boolean_property("no_capture",
                                   R"(If true, do not capture test stdout/stderr (passes `--no-capture`). Streams test output live as the tests run. Unlike `cargo test`'s `--nocapture`, nextest's `--no-capture` does NOT force single-threaded execution — use `test_threads: 1` explicitly if you also want that. Default: false.)"),
                  enum_property(
                      "run_ignored", {"default", "only", "all"},
                      R"(Which ignored tests to run: `default` (skip ignored), `only` (run only ignored tests), `all` (run both ignored and non-ignored). Default: `default`.)"),
                  string_property(
                      "filter_expr",
                      std::string(R"(Nextest filter expression (passed as `-E '<expr>'`). See )") +
                          kFiltersetDocsAddress +
                          R"( for the DSL. STRICTLY MORE EXPRESSIVE than `cargo_test`'s `test_name` substring or `test_filter` regex. Examples: `test(my_test)`, `kind(lib) + binary(my-bin)`, `test(=my::exact::name)`, `not test(slow_)`.)"),
                  string_property(
                      "filter",
                      R"(Bare positional test-name substring filter (cargo-test-compatible). Combined with `filter_expr` when both are supplied (both apply).)"),
                  nextest_test_filter(),
                  string_property(
                      "test_name",
                      R"(Same shape as `cargo_test`'s `test_name`, accepted here for cross-tool convenience. Automatically translated: alone it becomes the `filter` substring argument; combined with `exact: true` it becomes `test(=name)`. Not supported together with `filter`, `filter_expr`, or `test_filter`.)"),
                  boolean_property(
                      "exact",
                      R"(Only meaningful together with `test_name` (silently ignored otherwise, matching `cargo_test`'s own behavior): if true, the translated selection matches the test name exactly instead of as a substring. Default: false.)"),
              },
              platform_manifest_and_resolution(),
              {boolean_property(
                   "locked",
                   R"(If true, require an up-to-date Cargo.lock (passes --locked). Default: false.)"),
               boolean_property("no_fail_fast", R"(If true, run all tests even if some fail (passes --no-fail-fast). Default: false.)"), no_run(), integer_property("timeout_secs", 0, R"(OVERALL wall-clock cap, applied independently to each phase: first the build (--no-run), then the test execution phase. Same three-state semantics as `cargo_test`: omit to use the server default, pass 0 to disable, pass N to cap each phase at N seconds. PER-TEST enforcement is the job of nextest's profile config (`slow-timeout`, `terminate-after`); tarnwick does NOT expose a per-test-timeout knob for nextest.)"), integer_property("test_timeout_secs", 0, R"(Overrides the EXECUTION phase's budget specifically, leaving the build phase governed by `timeout_secs` (or its default) independently. Not supported together with `bisect` (which has its own `group_timeout_secs` model); the call is rejected rather than silently ignoring it. If `timeout_secs` is omitted, the build phase is left UNBOUNDED. If `timeout_secs` is also set, this value is CLAMPED to never exceed it. Pass 0 to omit the override, same as leaving this unset.)"),
               bisect()}}),
      {}, Effect::kReadOnly);
}

json cargo_nextest_list_tool() {
  using namespace shared;
  return tool_entry(
      "cargo_nextest_list",
      R"(Enumerate test cases via cargo-nextest (`cargo nextest list`). Returns nextest's stable JSON discovery output (default) so the agent can inspect the per-binary test catalogue programmatically. If cargo-nextest is not installed the tool returns an error whose body contains fenced install commands. ALWAYS pass `working_dir` set to the absolute path of your workspace root.)",
      joined(
          {{
               working_dir(),
               toolchain(),
               env(),
               string_property(
                   "package",
                   R"(List tests only for the named package. Omit to list all workspace members.)"),
               workspace(),
               exclude(),
               boolean_property("lib",
                                R"(If true, only list library tests (--lib). Default: false.)"),
               bins(),
               bin(),
               examples(),
               example(),
               tests(),
               string_property("test", R"(List only the integration test target with this name.)"),
               benches(),
               bench(),
               all_targets(),
               features(),
               boolean_property("all_features",
                                R"(If true, activate all features. Default: false.)"),
               boolean_property("no_default_features",
                                R"(If true, do not activate the default feature. Default: false.)"),
               boolean_property(
                   "release",
                   R"(If true, build artifacts in release mode. Mutually exclusive with `cargo_profile`; `cargo_profile` wins.)"),
               string_property(
                   "cargo_profile",
                   R"(Cargo build profile (passed as `--cargo-profile`). NOT the nextest profile.)"),
               string_property(
                   "nextest_profile",
                   R"(Nextest profile to use (passed as `--profile`). Selects per-test config from `.config/nextest.toml`. Affects which tests are enumerated when the profile defines a default filter.)"),
               integer_property("build_jobs", 1,
                                R"(Number of build jobs (passed as `--build-jobs`).)"),
               enum_property("run_ignored", {"default", "only", "all"},
                             R"(Which ignored tests to enumerate. Default: `default`.)"),
               string_property(
                   "filter_expr",
                   std::string(R"(Nextest filter expression (passed as `-E '<expr>'`). See )") +
                       kFiltersetDocsAddress + "."),
               string_property("filter", R"(Bare positional test-name substring filter.)"),
               nextest_test_filter(),
               string_property(
                   "test_name",
                   R"(Same shape as `cargo_test`'s `test_name`, translated the same way as on `cargo_nextest_run` (see that tool's description). Not supported together with `filter`, `filter_expr`, or `test_filter`.)"),
               boolean_property(
                   "exact",
                   R"(Only meaningful together with `test_name`; if true, matches exactly instead of as a substring. Default: false.)"),
               enum_property(
                   "list_type", {"full", "binaries-only"},
                   R"(Type of listing: `full` (every test name; default) or `binaries-only` (just the test binary list, no per-test enumeration).)"),
           },
           platform_manifest_and_resolution(),
           {boolean_property("locked",
                             R"(If true, require an up-to-date Cargo.lock. Default: false.)")}}),
      {}, Effect::kReadOnly);
}

}  // namespace catalogue
}  // namespace tarnwick
