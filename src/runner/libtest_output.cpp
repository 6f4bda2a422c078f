#include "runner/libtest_output.h"

#include <re2/re2.h>

#include <array>

#include "base/quoted.h"
#include "base/text_lines.h"

namespace tarnwick {
namespace {

constexpr std::string_view kResultMark = " ... ";
/// libtest marks #[should_panic] tests after their name.
constexpr std::string_view kShouldPanic = " - should panic";

/// A remainder after "test NAME ... " that is a whole result.
std::optional<TestOutcome> whole_result(std::string_view text) {
  text = trim_end(text);
  if (text == "ok") return TestOutcome::Passed;
  if (text == "FAILED" || text == "FAILED (time limit exceeded)") return TestOutcome::Failed;
  if (text == "ignored" || text.starts_with("ignored, ")) return TestOutcome::Ignored;
  return std::nullopt;
}

/// A result that ends a line after other output: libtest wrote it straight
/// after what the test printed without a line feed.
std::optional<TestOutcome> result_at_end(std::string_view line) {
  line = trim_end(line);
  if (line.ends_with("FAILED") || line.ends_with("FAILED (time limit exceeded)"))
    return TestOutcome::Failed;
  if (line.ends_with("ok")) return TestOutcome::Passed;
  if (line.ends_with("ignored")) return TestOutcome::Ignored;
  return std::nullopt;
}

/// "test NAME ... REST": the name (without the should-panic mark) and REST.
std::optional<std::pair<std::string_view, std::string_view>> result_line(std::string_view line) {
  if (!line.starts_with("test ")) return std::nullopt;
  size_t mark = line.find(kResultMark, 5);
  if (mark == std::string_view::npos) return std::nullopt;
  std::string_view name = line.substr(5, mark - 5);
  if (name.ends_with(kShouldPanic)) name.remove_suffix(kShouldPanic.size());
  return std::pair{name, line.substr(mark + kResultMark.size())};
}

std::optional<LibtestCounts> count_line(std::string_view line) {
  static const RE2 kCounts(
      R"(test result: (ok|FAILED)\. (\d+) passed; (\d+) failed; (\d+) ignored;)");
  std::string verdict;
  LibtestCounts counts;
  if (!RE2::PartialMatch(line, kCounts, &verdict, &counts.passed, &counts.failed, &counts.ignored))
    return std::nullopt;
  counts.ok = verdict == "ok";
  return counts;
}

std::optional<std::string> overflowed_thread(std::string_view line) {
  static const RE2 kOverflow(R"(thread '(.+?)'(?: \(\d+\))? has overflowed its stack)");
  std::string name;
  if (!RE2::PartialMatch(line, kOverflow, &name)) return std::nullopt;
  return name;
}

/// Reads a run line by line. A "test NAME ... " line of a given name whose
/// result did not follow on the same line stays open until the next such
/// line: its result is the last result that ends a line in between.
class RunReader {
 public:
  explicit RunReader(const std::set<std::string>& given) : given_(given) {}

  void take(std::string_view line) {
    if (auto counts = count_line(line)) run_.counts = *counts;
    if (auto thread = overflowed_thread(line); thread && given_.contains(*thread))
      run_.overflowed.push_back(std::move(*thread));
    auto reported = result_line(line);
    if (reported && given_.contains(std::string(reported->first))) {
      close_open();
      std::string name(reported->first);
      if (auto outcome = whole_result(reported->second)) {
        run_.results[name] = *outcome;
      } else {
        open_ = std::move(name);
        open_result_ = result_at_end(reported->second);
      }
      return;
    }
    if (!open_) return;
    if (auto outcome = result_at_end(line)) open_result_ = outcome;
  }

  LibtestRun finish() {
    if (open_ && !open_result_) run_.unfinished = *open_;
    close_open();
    return std::move(run_);
  }

 private:
  void close_open() {
    if (open_ && open_result_) run_.results[*open_] = *open_result_;
    open_.reset();
    open_result_.reset();
  }

  const std::set<std::string>& given_;
  LibtestRun run_;
  std::optional<std::string> open_;
  std::optional<TestOutcome> open_result_;
};

}  // namespace

TestListing read_libtest_listing(std::string_view output) {
  static const RE2 kCountLine(R"(\d+ tests?, \d+ benchmarks?)");
  TestListing listing;
  for (std::string_view line : split_lines(output)) {
    line = trim_end(line);
    if (line.empty()) continue;
    size_t colon = line.rfind(": ");
    if (colon != std::string_view::npos && trim(line.substr(colon + 2)) == "test") {
      listing.names.emplace_back(trim(line.substr(0, colon)));
    } else if (RE2::FullMatch(trim(line), kCountLine)) {
      listing.count_line = true;
    }
  }
  return listing;
}

LibtestRun read_libtest_run(std::string_view output, const std::set<std::string>& given) {
  RunReader reader(given);
  for (std::string_view line : split_lines(output)) reader.take(line);
  return reader.finish();
}

bool LibtestRun::accounts_for(const std::set<std::string>& expected) const {
  if (!counts) return false;
  std::array<uint64_t, 3> tally{};  // passed, failed, ignored
  for (const std::string& name : expected) {
    auto found = results.find(name);
    if (found == results.end()) return false;
    tally[static_cast<size_t>(found->second)] += 1;
  }
  return counts->passed == tally[0] && counts->failed == tally[1] && counts->ignored == tally[2];
}

bool is_libtest_progress_line(std::string_view line) {
  std::string_view text = trim(line);
  if (text.starts_with("running ")) return true;  // trimmed, so something follows
  return result_line(text).has_value();
}

}  // namespace tarnwick
