#include "runner/libtest_output.h"

#include <re2/re2.h>

#include <algorithm>
#include <array>

#include "base/quoted.h"
#include "base/text_lines.h"

namespace tarnwick {
namespace {

constexpr std::string_view kResultMark = " ... ";
/// libtest marks #[should_panic] tests after their name.
constexpr std::string_view kShouldPanic = " - should panic";

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

/// The result a remainder after "test NAME ... " starts with: libtest's
/// result word, though more output may follow it on the line (a test's
/// stream written between libtest's word and its line feed).
std::optional<TestOutcome> leading_result(std::string_view text) {
  if (text.starts_with("ok")) return TestOutcome::Passed;
  if (text.starts_with("FAILED")) return TestOutcome::Failed;
  if (text.starts_with("ignored")) return TestOutcome::Ignored;
  return std::nullopt;
}

std::optional<LibtestCounts> count_line(std::string_view line) {
  static const RE2 kCounts(
      R"(test result: (?:ok|FAILED)\. (\d+) passed; (\d+) failed; (\d+) ignored;)");
  LibtestCounts counts;
  if (!RE2::PartialMatch(line, kCounts, &counts.passed, &counts.failed, &counts.ignored))
    return std::nullopt;
  return counts;
}

std::optional<std::string> overflowed_thread(std::string_view line) {
  static const RE2 kOverflow(R"(thread '(.+?)'(?: \(\d+\))? has overflowed its stack)");
  std::string name;
  if (!RE2::PartialMatch(line, kOverflow, &name)) return std::nullopt;
  return name;
}

/// Reads a run line by line. Each "test NAME ... " line of a given name
/// makes NAME the current test; its result is what ends that line or any
/// line before the next such line (one test thread: the test's own output
/// stands between its name and its result). A result line of a given name
/// is also found inside other output (several threads: libtest writes each
/// result line when its test ends, and what other tests or children leave
/// without a line feed stands around it). Every such report counts; where a
/// name has several, libtest's count line settles which were its own.
class RunReader {
 public:
  explicit RunReader(const std::set<std::string>& given) : given_(given) {
    for (const std::string& name : given) longest_name_ = std::max(longest_name_, name.size());
  }

  void take(std::string_view line) {
    if (auto counts = count_line(line)) run_.counts = *counts;
    if (auto thread = overflowed_thread(line); thread && given_.contains(*thread))
      run_.overflowed.push_back(std::move(*thread));
    for (size_t at = line.find("test ", 1); at != std::string_view::npos;
         at = line.find("test ", at + 1)) {
      auto inside = given_result_line(line.substr(at));
      if (!inside) continue;
      if (auto outcome = leading_result(inside->second)) report(inside->first, *outcome);
    }
    if (auto reported = given_result_line(line)) {
      current_ = std::move(reported->first);
      current_reported_ = false;
      if (auto outcome = leading_result(reported->second)) report_current(*outcome);
      if (auto outcome = result_at_end(reported->second)) report_current(*outcome);
      return;
    }
    if (auto outcome = current_ ? result_at_end(line) : std::nullopt) report_current(*outcome);
  }

  LibtestRun finish() {
    for (const auto& [name, outcomes] : reports_) run_.results[name] = outcomes.back();
    if (current_ && !current_reported_) run_.unfinished = *current_;
    if (!take_uniform_count()) settle_with_count_line();
    return std::move(run_);
  }

 private:
  void report(const std::string& name, TestOutcome outcome) {
    std::vector<TestOutcome>& outcomes = reports_[name];
    std::erase(outcomes, outcome);
    outcomes.push_back(outcome);  // the latest last
  }

  void report_current(TestOutcome outcome) {
    report(*current_, outcome);
    current_reported_ = true;
  }

  /// A count line that gives every given name one outcome (all passed, say)
  /// says each one's result, whatever other output imitated or hid.
  bool take_uniform_count() {
    if (!run_.counts || given_.empty()) return false;
    const LibtestCounts& counts = *run_.counts;
    std::optional<TestOutcome> outcome;
    if (counts.passed == given_.size()) outcome = TestOutcome::Passed;
    if (counts.failed == given_.size()) outcome = TestOutcome::Failed;
    if (counts.ignored == given_.size()) outcome = TestOutcome::Ignored;
    if (!outcome || counts.passed + counts.failed + counts.ignored != given_.size()) return false;
    for (const std::string& name : given_) run_.results[name] = *outcome;
    return true;
  }

  /// A name reported with different results was imitated by some test's
  /// output (a child printing "test NAME ... FAILED"), and output written
  /// around libtest's lines can hide a name's result line whole. libtest's
  /// count line tells which reports were its own: the choice that agrees
  /// with it wins, the later reports first, and names without a report
  /// passed when the count leaves exactly them as passes.
  void settle_with_count_line() {
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
    constexpr size_t kMostConflicts = 12;
    if (conflicting.size() > kMostConflicts) return;
    const std::array<uint64_t, 3> unreported{given_.size() - reports_.size(), 0, 0};
    std::vector<TestOutcome> chosen(conflicting.size());
    auto choose = [&](auto& self, size_t i, std::array<uint64_t, 3> left) -> bool {
      if (i == conflicting.size()) return left == unreported;
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
    for (const std::string& name : given_) run_.results.try_emplace(name, TestOutcome::Passed);
  }

  /// "test NAME ... REST" at the start of `line` for a given NAME.
  std::optional<std::pair<std::string, std::string_view>> given_result_line(
      std::string_view line) const {
    // The mark follows a given name closely; looking no further keeps long
    // lines of other output linear.
    auto reported =
        result_line(line.substr(0, 5 + longest_name_ + kShouldPanic.size() + kResultMark.size()));
    if (!reported || !given_.contains(std::string(reported->first))) return std::nullopt;
    size_t rest = reported->second.data() - line.data();
    return std::pair{std::string(reported->first), line.substr(rest)};
  }

  const std::set<std::string>& given_;
  size_t longest_name_ = 0;
  LibtestRun run_;
  std::optional<std::string> current_;
  bool current_reported_ = false;
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

bool is_libtest_continuation_line(std::string_view line) {
  std::string_view text = trim(line);
  return result_line(text) || count_line(text) || text == "ok" || text == "FAILED" ||
         text.starts_with("ignored");
}

bool is_libtest_progress_line(std::string_view line) {
  std::string_view text = trim(line);
  if (text.starts_with("running ")) return true;  // trimmed, so something follows
  return result_line(text).has_value();
}

}  // namespace tarnwick
