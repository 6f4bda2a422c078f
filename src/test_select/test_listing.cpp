#include "test_select/test_listing.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "base/quoted.h"

namespace tarnwick {
namespace {

/// "exited with code 3", or cargo's words for a signal.
std::string how_it_ended(const BinaryExit& exit) {
  if (exit.signalled()) return "was ended by " + exit.description;
  return fmt::format("exited with code {}", exit.code);
}

/// Why a binary that has no part in the run was not listed.
Error not_started(const LaunchRun& run, const TestBinary& binary) {
  const CargoTestStream& stream = run.stream;
  if (run.stopped && !stream.parts().empty()) {
    return make_error(
        fmt::format("test binary {} was not listed: cargo stopped at {}, whose "
                    "`--list` did not finish",
                    binary.executable, stream.parts().back().shown_path));
  }
  return make_error(fmt::format("cargo test did not run test binary {} for `--list`: {}",
                                binary.executable, why_not_started(run)));
}

Result<TestListing> listing_of(const LaunchRun& run, size_t index, const TestBinary& binary) {
  BinaryReport report = report_binary(run, index, {}, TestThreads::Unknown);
  if (!report.part) return not_started(run, binary);
  if (!report.ended()) return *run.stopped;
  if (report.part->exit->code != 0) {
    return make_error(fmt::format("test binary {} {} during --list enumeration: {}",
                                  binary.executable, how_it_ended(*report.part->exit),
                                  trim(report.part->output)));
  }
  return read_libtest_listing(report.part->output);
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
  std::vector<const TestBinary*> all;
  all.reserve(binaries.size());
  for (const TestBinary& binary : binaries) all.push_back(&binary);
  std::vector<std::string> args{"--list"};
  if (ignored_only) args.emplace_back("--ignored");
  LaunchClocks clocks;
  clocks.per_binary = kListTimeout;
  Result<LaunchRun> run = run_test_launch(base, known_binaries(binaries), selectors_of(all), args,
                                          clocks, null_sink(), StreamFormat::Listing);
  if (!run) return std::move(run).error();
  for (size_t i = 0; i < binaries.size(); ++i) listings.push_back(listing_of(*run, i, binaries[i]));
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
