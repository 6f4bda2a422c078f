#include "test_select/test_listing.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "base/quoted.h"

namespace tarnwick {
namespace {

Result<TestListing> listing_of(const LaunchRun& run, size_t index, const TestBinary& binary,
                               const std::vector<TestBinary>& binaries) {
  const BinaryRun* ran = run.run_of(index);
  if (!ran) {
    if (run.stopped && !run.seen.runs.empty()) {
      return make_error(fmt::format(
          "test binary {} was not listed: cargo stopped at {}, whose `--list` did not finish",
          binary.executable, binaries[run.seen.runs.back().binary].executable));
    }
    return make_error(fmt::format("cargo test did not run test binary {} for `--list`: {}",
                                  binary.executable, why_not_started(run, binary)));
  }
  if (ran->start_error)
    return make_error(fmt::format("test binary {} could not be started for --list: {}",
                                  binary.executable, *ran->start_error));
  if (!ran->status) return run.stopped ? *run.stopped : make_error("the listing was cut short");
  if (!ran->status->success()) {
    return make_error(fmt::format(
        "test binary {} {} during --list enumeration: {}", binary.executable,
        ran->status->signalled ? "was ended by " + describe_exit(*ran->status)
                               : "exited with code " + std::to_string(ran->status->value),
        trim(ran->out + ran->err)));
  }
  return read_libtest_listing(ran->own_out());
}

/// Lists every binary of `binaries` ("--list", and "--ignored" after it when
/// `ignored_only`) and returns one listing or failure per binary, in order.
/// A listing that did not finish in time is a `TimeoutError`; a binary that
/// exited non-zero, or that cargo did not start, is a message naming it.
/// Fails as a whole only when the client cancels or cargo cannot start.
Result<std::vector<Result<TestListing>>> list_test_binaries(const TestRunBase& base,
                                                            const std::vector<TestBinary>& binaries,
                                                            bool ignored_only) {
  std::vector<Result<TestListing>> listings;
  if (binaries.empty()) return listings;
  std::vector<std::string> args{"--list"};
  if (ignored_only) args.emplace_back("--ignored");
  LaunchClocks clocks;
  clocks.per_binary = kListTimeout;
  Result<LaunchRun> run = run_test_launch(base, binaries, std::vector<bool>(binaries.size(), true),
                                          args, clocks, null_sink());
  if (!run) return std::move(run).error();
  for (size_t i = 0; i < binaries.size(); ++i)
    listings.push_back(listing_of(*run, i, binaries[i], binaries));
  return listings;
}

}  // namespace
Result<std::vector<Result<TestListing>>> list_tests(const TestRunBase& base,
                                                    const std::vector<TestBinary>& binaries,
                                                    bool include_ignored) {
  auto listings = list_test_binaries(base, binaries, false);
  if (!listings) return listings;
  if (!include_ignored) {
    auto ignored = list_test_binaries(base, binaries, true);
    if (!ignored) return std::move(ignored).error();
    for (size_t i = 0; i < binaries.size(); ++i) {
      Result<TestListing>& listing = (*listings)[i];
      if (listing && !(*ignored)[i]) listing = std::move((*ignored)[i]).error();
      if (!listing) continue;
      std::set<std::string> skipped((*ignored)[i]->names.begin(), (*ignored)[i]->names.end());
      std::erase_if(listing->names,
                    [&](const std::string& name) { return skipped.contains(name); });
    }
  }
  for (Result<TestListing>& listing : *listings) {
    if (!listing) continue;
    std::vector<std::string>& names = listing->names;
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
  }
  return listings;
}

}  // namespace tarnwick
