#include "runner/libtest_output.h"

#include <re2/re2.h>

#include <algorithm>

#include "base/quoted.h"
#include "base/terminal_text.h"
#include "base/text_lines.h"

namespace tarnwick {
namespace {

constexpr std::string_view kTestMark = "test ";
constexpr std::string_view kResultMark = " ... ";
/// libtest names a test's mode after its name: "NAME - should panic".
constexpr std::string_view kModeMark = " - ";
/// Room for the longest mode libtest writes ("should panic", "compile fail").
constexpr size_t kModeRoom = 24;
/// libtest's list of failed tests in its closing section: a header, then
/// each name indented by four blanks.
constexpr std::string_view kFailuresHeader = "failures:";
constexpr std::string_view kListIndent = "    ";

/// The result libtest writes after a name, when `text` is exactly that (a
/// reported time included).
std::optional<TestOutcome> whole_result(std::string_view text) {
  text = trim_end(text);
  if (text.ends_with("s>")) {
    size_t open = text.rfind(" <");
    if (open != std::string_view::npos) text = text.substr(0, open);
  }
  if (text == "ok") return TestOutcome::Passed;
  if (text == "FAILED" || text == "FAILED (time limit exceeded)") return TestOutcome::Failed;
  if (text == "ignored" || text.starts_with("ignored, ")) return TestOutcome::Ignored;
  return std::nullopt;
}

/// The result word `text` starts with; more may follow it on the line.
std::optional<TestOutcome> leading_result(std::string_view text) {
  if (text.starts_with("ok")) return TestOutcome::Passed;
  if (text.starts_with("FAILED")) return TestOutcome::Failed;
  if (text.starts_with("ignored")) return TestOutcome::Ignored;
  return std::nullopt;
}

/// A result word that ends a line after other output: with one thread
/// libtest writes it after whatever the test printed without a line feed.
std::optional<TestOutcome> trailing_result(std::string_view line) {
  line = trim_end(line);
  if (line.ends_with("FAILED") || line.ends_with("FAILED (time limit exceeded)"))
    return TestOutcome::Failed;
  if (line.ends_with("ok")) return TestOutcome::Passed;
  return std::nullopt;
}

/// "test NAME ... REST" at the start of `line`: the name, without the mode
/// libtest may add after it, and REST.
std::optional<std::pair<std::string_view, std::string_view>> result_line(std::string_view line) {
  if (!line.starts_with(kTestMark)) return std::nullopt;
  size_t mark = line.find(kResultMark, kTestMark.size());
  if (mark == std::string_view::npos) return std::nullopt;
  std::string_view name = line.substr(kTestMark.size(), mark - kTestMark.size());
  if (size_t mode = name.rfind(kModeMark); mode != std::string_view::npos)
    name = name.substr(0, mode);
  return std::pair{name, line.substr(mark + kResultMark.size())};
}

struct CountLine {
  bool ok = false;  // libtest's word: "ok" or "FAILED"
  uint64_t passed = 0;
  uint64_t failed = 0;
  uint64_t ignored = 0;
};

/// libtest's count line, which it starts on a line of its own:
/// "test result: ok. 2 passed; 0 failed; 1 ignored; 0 measured; ...".
std::optional<CountLine> count_line(std::string_view line) {
  static const RE2 kCounts(
      R"(test result: (ok|FAILED)\. (\d+) passed; (\d+) failed; (\d+) ignored; \d+ measured;)");
  if (!line.starts_with("test result: ")) return std::nullopt;
  CountLine counts;
  std::string word;
  if (!RE2::PartialMatch(line, kCounts, &word, &counts.passed, &counts.failed, &counts.ignored))
    return std::nullopt;
  counts.ok = word == "ok";
  return counts;
}

std::optional<std::string> overflowed_thread(std::string_view line) {
  static const RE2 kOverflow(R"(thread '(.+?)'(?: \(\d+\))? has overflowed its stack)");
  if (!has_substring(line, "has overflowed its stack")) return std::nullopt;
  std::string name;
  if (!RE2::PartialMatch(line, kOverflow, &name)) return std::nullopt;
  return name;
}

/// Where libtest named an expected test: "test NAME ... " (or with a mode
/// after the name), at the start of a line or after output left without a
/// line feed.
struct Start {
  size_t line = 0;
  size_t at = 0;  // in the line
  std::string name;
  size_t rest = 0;  // where the text after the mark begins
};

/// libtest's closing section: the count line and, when tests failed, the
/// list of their names just above it.
struct Closing {
  size_t first_line = 0;  // the list's header, or the count line
  CountLine counts;
  std::vector<std::string> failed;
};

/// The results a closing section gives, by name.
using Account = std::map<std::string, TestOutcome>;

/// One run's output, line by line, with every place libtest (or something
/// imitating it) named an expected test.
class RunReader {
 public:
  RunReader(std::string_view output, const std::set<std::string>& expected) : expected_(expected) {
    for (const std::string& name : expected) longest_name_ = std::max(longest_name_, name.size());
    lines_ = split_lines(output);
    for (size_t i = 0; i < lines_.size(); ++i) find_starts(i);
  }

  LibtestRun read(TestThreads threads, std::optional<int> exit_code) {
    std::optional<Closing> closing = find_closing();
    if (closing) run_.last_count_ok = closing->counts.ok;
    std::optional<Account> account;
    if (closing) account = closing_account(*closing, exit_code);
    // libtest writes its closing section, then exits with the code its word
    // stands for.
    if (account && exit_code && (*exit_code == 0) == closing->counts.ok) return adopt(*account);
    // Otherwise only libtest's order proves results; a closing section the
    // order before it confirms is libtest's, and the binary died after it.
    if (account) {
      size_t section = closing_start(*closing);
      read_order(threads, section);
      if (order_confirms(*account, section)) return adopt(*account);
    }
    read_order(threads, lines_.size());
    return std::move(run_);
  }

 private:
  std::string_view text(size_t line) const { return lines_[line]; }
  /// The line without escape sequences: libtest colours the words of its
  /// closing section when it writes to a terminal (a runner may make it).
  std::string shown(size_t line) const { return std::string(VisibleText(lines_[line]).text()); }

  void find_starts(size_t line) {
    // libtest writes a name plain and whole, whatever output stands around it.
    std::string_view raw = text(line);
    for (size_t at = raw.find(kTestMark); at != std::string_view::npos;
         at = raw.find(kTestMark, at + 1)) {
      // The mark follows a name closely; looking no further keeps long lines
      // of other output linear.
      std::string_view head =
          raw.substr(at + kTestMark.size(), longest_name_ + kModeRoom + kResultMark.size());
      size_t mark = head.find(kResultMark);
      if (mark == std::string_view::npos) continue;
      std::optional<std::string> name = expected_name(head.substr(0, mark));
      if (!name) continue;
      starts_.push_back(
          Start{line, at, std::move(*name), at + kTestMark.size() + mark + kResultMark.size()});
    }
  }

  /// The expected name `named` stands for, a mode after it left out.
  std::optional<std::string> expected_name(std::string_view named) const {
    std::string name(named);
    if (expected_.contains(name)) return name;
    size_t mode = named.rfind(kModeMark);
    if (mode == std::string_view::npos) return std::nullopt;
    name.resize(mode);
    if (expected_.contains(name)) return name;
    return std::nullopt;
  }

  /// The last count line of the output, with the failure list above it.
  std::optional<Closing> find_closing() const {
    for (size_t i = lines_.size(); i-- > 0;) {
      if (!has_substring(text(i), "test result: ")) continue;
      std::optional<CountLine> counts = count_line(shown(i));
      if (!counts) continue;
      Closing closing{i, *counts, {}};
      if (counts->failed > 0) read_failure_list(closing);
      return closing;
    }
    return std::nullopt;
  }

  /// libtest writes "\nfailures:\n", the names, then "\ntest result: ".
  void read_failure_list(Closing& closing) const {
    size_t end = closing.first_line;
    if (end == 0 || !trim_end(shown(end - 1)).empty()) return;
    size_t names_end = end - 1;
    size_t first = names_end;
    while (first > 0 && is_list_entry(shown(first - 1))) --first;
    if (first == names_end || first == 0 || trim_end(shown(first - 1)) != kFailuresHeader) return;
    for (size_t i = first; i < names_end; ++i)
      closing.failed.emplace_back(trim_end(std::string_view(shown(i)).substr(kListIndent.size())));
    closing.first_line = first - 1;
  }

  static bool is_list_entry(std::string_view line) {
    return line.starts_with(kListIndent) && line.size() > kListIndent.size() &&
           line[kListIndent.size()] != ' ';
  }

  /// The results a closing section gives, when it is an account of exactly
  /// the expected names: its word agrees with its counts (and, with exit
  /// code 0, is "ok"), it lists as many failed names as it counts, all
  /// expected, and every other expected name was named by libtest before it.
  /// Where passes and ignored tests mix, only lines a test can imitate tell
  /// them apart, so those names get no result.
  std::optional<Account> closing_account(const Closing& closing,
                                         std::optional<int> exit_code) const {
    const CountLine& counts = closing.counts;
    if (counts.ok != (counts.failed == 0) || closing.failed.size() != counts.failed ||
        counts.passed + counts.failed + counts.ignored != expected_.size())
      return std::nullopt;
    if (exit_code == 0 && !counts.ok) return std::nullopt;
    std::set<std::string> failed;
    for (const std::string& name : closing.failed)
      if (!expected_.contains(name) || !failed.insert(name).second) return std::nullopt;
    std::set<std::string> named;
    for (const Start& start : starts_)
      if (start.line < closing.first_line) named.insert(start.name);
    Account account;
    for (const std::string& name : expected_) {
      if (failed.contains(name)) {
        account[name] = TestOutcome::Failed;
        continue;
      }
      if (!named.contains(name)) return std::nullopt;
      if (counts.ignored == 0) account[name] = TestOutcome::Passed;
      if (counts.passed == 0) account[name] = TestOutcome::Ignored;
    }
    return account;
  }

  /// The results libtest's order proves among the names it gave before
  /// line `end`.
  void read_order(TestThreads threads, size_t end) {
    run_.results.clear();
    run_.unfinished.reset();
    if (threads == TestThreads::One) {
      read_one_thread_starts(end);
    } else {
      read_result_lines(end);
    }
  }

  /// Where libtest's closing section begins: with the count line, or with
  /// the list of failed tests, or with the "failures:" header above the
  /// captured output of those of them that printed.
  size_t closing_start(const Closing& closing) const {
    if (closing.failed.empty()) return closing.first_line;
    auto opens_output = [&closing](std::string_view line) {
      return std::any_of(
          closing.failed.begin(), closing.failed.end(),
          [line](const std::string& name) { return line == "---- " + name + " stdout ----"; });
    };
    for (size_t i = 0; i + 2 <= closing.first_line; ++i) {
      if (trim_end(shown(i)) == kFailuresHeader &&
          (i + 2 == closing.first_line || opens_output(trim_end(shown(i + 2)))))
        return i;
    }
    return closing.first_line;
  }

  LibtestRun adopt(Account account) {
    run_.closed = true;
    run_.results = std::move(account);
    run_.unfinished.reset();
    return std::move(run_);
  }

  /// Whether the results read from libtest's order (already in `run_`)
  /// bear out the account for every expected name: the test named last
  /// with one thread by the word that ends its output before the closing
  /// section, which begins at line `section`.
  bool order_confirms(const Account& account, size_t section) const {
    for (const std::string& name : expected_) {
      std::optional<TestOutcome> seen;
      if (auto found = run_.results.find(name); found != run_.results.end())
        seen = found->second;
      else if (run_.unfinished == name)
        seen = word_before(name, section);
      if (!seen) return false;
      auto claimed = account.find(name);
      if (claimed != account.end() ? claimed->second != *seen : *seen == TestOutcome::Failed)
        return false;
    }
    return true;
  }

  /// The word that ends what the test `name` (named last, one thread) and
  /// its children wrote before line `section`.
  std::optional<TestOutcome> word_before(const std::string& name, size_t section) const {
    const Start* start = nullptr;
    for (const Start& each : starts_)
      if (each.at == 0 && each.name == name && each.line < section) start = &each;
    if (!start) return std::nullopt;
    size_t last = section - 1;
    while (last > start->line && trim_end(shown(last)).empty()) --last;
    std::string_view words = text(last);
    if (last == start->line) words = words.substr(std::min(start->rest, words.size()));
    if (trim(words).ends_with("ignored")) return TestOutcome::Ignored;
    return trailing_result(words);
  }

  /// Without a closing section, and only with one test thread: libtest
  /// starts each test's line with its name, then writes its result after
  /// all the test printed, and only then names the next test. A result is
  /// libtest's own once the next test was named; a name that comes before
  /// the running test's word is that test's output; the test named last is
  /// the one that was running.
  void read_one_thread_starts(size_t end) {
    std::map<std::string, std::optional<TestOutcome>> found;
    const Start* running = nullptr;
    for (const Start& next : starts_) {
      if (next.at != 0 || next.line >= end) continue;
      if (!running) {
        running = &next;
        continue;
      }
      std::optional<TestOutcome> outcome = word_before_line(*running, next.line);
      if (!outcome) continue;
      // A name libtest started twice cannot be told from an imitation.
      auto [it, first] = found.try_emplace(running->name, outcome);
      if (!first) it->second.reset();
      running = &next;
    }
    if (running && !found.contains(running->name)) run_.unfinished = running->name;
    for (const auto& [name, outcome] : found)
      if (outcome) run_.results[name] = *outcome;
  }

  /// The word that ends what `start`'s test wrote before line `line`.
  std::optional<TestOutcome> word_before_line(const Start& start, size_t line) const {
    size_t last = line - 1;
    if (last != start.line) return trailing_result(text(last));
    std::string_view rest = text(start.line).substr(start.rest);
    std::optional<TestOutcome> outcome = whole_result(rest);
    return outcome ? outcome : trailing_result(rest);
  }

  /// Without a closing section, and with threads unknown: libtest names a
  /// test with its result, right after it, and writes nothing else of its
  /// own before it names the next test. A word straight after the name is
  /// libtest's; when other output came between, the result is the one word
  /// that the text up to the next name holds, if it holds only one kind. The
  /// name written last may have lost its word to the binary's end, so it
  /// counts only with its word straight after it.
  void read_result_lines(size_t end) {
    std::map<std::string, size_t> times_named;
    for (const Start& start : starts_)
      if (start.line < end) times_named[start.name] += 1;
    // Text ends where libtest's closing section begins, when it is known.
    const Start section{end, 0, "", 0};
    for (size_t k = 0; k < starts_.size() && starts_[k].line < end; ++k) {
      const Start& start = starts_[k];
      if (times_named[start.name] != 1) continue;
      const Start* next = k + 1 < starts_.size() && starts_[k + 1].line < end ? &starts_[k + 1]
                          : end < lines_.size()                               ? &section
                                                                              : nullptr;
      std::string_view rest = text(start.line).substr(start.rest);
      if (next && next->line == start.line) rest = rest.substr(0, next->at - start.rest);
      std::optional<TestOutcome> outcome = leading_result(rest);
      if (!outcome && next) outcome = only_word_until(start, *next);
      if (outcome) run_.results[start.name] = *outcome;
    }
  }

  /// The one kind of result word in the text from `start`'s mark up to
  /// `next`, when there is exactly one.
  std::optional<TestOutcome> only_word_until(const Start& start, const Start& next) const {
    std::set<TestOutcome> words;
    for (size_t line = start.line; line <= next.line; ++line) {
      std::string_view piece = text(line);
      if (line == next.line) piece = piece.substr(0, next.at);
      if (line == start.line) piece = piece.substr(std::min(start.rest, piece.size()));
      if (has_substring(piece, "ok")) words.insert(TestOutcome::Passed);
      if (has_substring(piece, "FAILED")) words.insert(TestOutcome::Failed);
      if (has_substring(piece, "ignored")) words.insert(TestOutcome::Ignored);
    }
    if (words.size() != 1) return std::nullopt;
    return *words.begin();
  }

  const std::set<std::string>& expected_;
  size_t longest_name_ = 0;
  std::vector<std::string_view> lines_;
  std::vector<Start> starts_;
  LibtestRun run_;
};

}  // namespace

TestListing read_libtest_listing(std::string_view output) {
  static const RE2 kCountLine(R"(\d+ tests?, \d+ benchmarks?)");
  TestListing listing;
  for (std::string_view raw : split_lines(output)) {
    VisibleText visible(raw);
    std::string_view line = trim_end(visible.text());
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

LibtestRun read_libtest_run(std::string_view output, const std::set<std::string>& expected,
                            TestThreads threads, std::optional<int> exit_code) {
  return RunReader(output, expected).read(threads, exit_code);
}

TestThreads test_threads_of(const std::vector<std::string>& args,
                            const std::optional<std::string>& threads_env) {
  std::optional<std::string> count = threads_env;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") break;
    if (args[i] == "--test-threads" && i + 1 < args.size()) count = args[i + 1];
    if (args[i].starts_with("--test-threads=")) count = args[i].substr(15);
  }
  return count && trim(*count) == "1" ? TestThreads::One : TestThreads::Unknown;
}

std::vector<std::string> overflowed_tests(std::string_view err,
                                          const std::set<std::string>& expected) {
  std::vector<std::string> names;
  for (std::string_view line : split_lines(err))
    if (auto thread = overflowed_thread(line); thread && expected.contains(*thread))
      names.push_back(std::move(*thread));
  return names;
}

bool is_libtest_progress_line(std::string_view line, const std::set<std::string>* names) {
  std::string_view text = trim(line);
  if (text.starts_with("running ")) return true;  // trimmed, so something follows
  auto result = result_line(text);
  return result && (!names || names->contains(std::string(result->first)));
}

}  // namespace tarnwick
