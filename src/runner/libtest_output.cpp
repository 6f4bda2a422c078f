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

/// The last "test NAME ... RESULT" of a given name, whole to the end of
/// `line`, that follows other output on the line. With several test threads
/// libtest writes each result line whole when its test ends, so output
/// another test (or a child) left without a line feed stands before it.
std::optional<std::pair<std::string, TestOutcome>> whole_result_after_output(
    std::string_view line, const std::set<std::string>& given) {
  for (size_t at = line.rfind("test "); at != std::string_view::npos && at > 0;
       at = line.rfind("test ", at - 1)) {
    auto reported = result_line(line.substr(at));
    if (!reported || !given.contains(std::string(reported->first))) continue;
    if (auto outcome = whole_result(reported->second))
      return std::pair{std::string(reported->first), *outcome};
  }
  return std::nullopt;
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
/// result did not follow on the same line (one test thread, and the test
/// printed without a line feed) stays open until the next such line: its
/// result is the last result that ends a line in between. While no line is
/// open, a whole result line of a given name is found after other output.
class RunReader {
 public:
  explicit RunReader(const std::set<std::string>& given) : given_(given) {}

  void take(std::string_view line) {
    if (auto counts = count_line(line)) run_.counts = *counts;
    if (auto thread = overflowed_thread(line); thread && given_.contains(*thread))
      run_.overflowed.push_back(std::move(*thread));
    auto reported = result_line(line);
    if (reported && !given_.contains(std::string(reported->first))) reported.reset();
    if (!open_ && !(reported && whole_result(reported->second))) {
      if (auto glued = whole_result_after_output(line, given_)) {
        report(glued->first, glued->second);
        return;
      }
    }
    if (reported) {
      close_open();
      std::string name(reported->first);
      if (auto outcome = whole_result(reported->second)) {
        report(name, *outcome);
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
    settle_conflicting_reports();
    return std::move(run_);
  }

 private:
  void report(const std::string& name, TestOutcome outcome) {
    run_.results[name] = outcome;
    std::vector<TestOutcome>& outcomes = reports_[name];
    std::erase(outcomes, outcome);
    outcomes.push_back(outcome);  // the latest last
  }

  void close_open() {
    if (open_ && open_result_) report(*open_, *open_result_);
    open_.reset();
    open_result_.reset();
  }

  /// A name reported with different results was imitated by some test's
  /// output (a child printing "test NAME ... FAILED"). libtest's count line
  /// tells which reports were its own: the choice that agrees with it wins,
  /// the later reports first.
  void settle_conflicting_reports() {
    if (!run_.counts) return;
    std::array<uint64_t, 3> target{run_.counts->passed, run_.counts->failed, run_.counts->ignored};
    std::vector<std::pair<std::string, const std::vector<TestOutcome>*>> conflicting;
    for (const auto& [name, outcomes] : reports_) {
      if (outcomes.size() > 1) {
        conflicting.emplace_back(name, &outcomes);
      } else if (target[static_cast<size_t>(outcomes.front())]-- == 0) {
        return;  // the count line cannot be met
      }
    }
    constexpr size_t kMostConflicts = 8;
    if (conflicting.empty() || conflicting.size() > kMostConflicts) return;
    std::vector<TestOutcome> chosen(conflicting.size());
    auto choose = [&](auto& self, size_t i, std::array<uint64_t, 3> left) -> bool {
      if (i == conflicting.size()) return left == std::array<uint64_t, 3>{};
      const std::vector<TestOutcome>& outcomes = *conflicting[i].second;
      for (auto it = outcomes.rbegin(); it != outcomes.rend(); ++it) {
        size_t kind = static_cast<size_t>(*it);
        if (left[kind] == 0) continue;
        left[kind] -= 1;
        chosen[i] = *it;
        if (self(self, i + 1, left)) return true;
        left[kind] += 1;
      }
      return false;
    };
    if (!choose(choose, 0, target)) return;
    for (size_t i = 0; i < conflicting.size(); ++i) run_.results[conflicting[i].first] = chosen[i];
  }

  const std::set<std::string>& given_;
  LibtestRun run_;
  std::optional<std::string> open_;
  std::optional<TestOutcome> open_result_;
  /// Each name's distinct reported results, in the order last reported.
  std::map<std::string, std::vector<TestOutcome>> reports_;
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
  listing.listable = listing.count_line || !listing.names.empty();
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
