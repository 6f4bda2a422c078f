#include "test_select/cargo_test_stream.h"

#include <re2/re2.h>

#include <algorithm>

#include "base/quoted.h"
#include "base/terminal_text.h"
#include "base/text_lines.h"
#include "runner/libtest_output.h"
#include "test_select/enumerate.h"

namespace tarnwick {
namespace {

/// cargo's status lines are right-aligned in twelve columns.
constexpr std::string_view kRunning = "     Running ";
constexpr std::string_view kError = "error: ";

/// What a terminal shows last of a line of cargo's: without escape
/// sequences, from its last carriage return on (a progress bar cargo ended
/// with one stands before it).
std::string shown_text(std::string_view line) {
  VisibleText visible(line);
  std::string_view text = visible.text();
  return std::string(text.substr(after_last_carriage_return(text)));
}

/// How a "Running" line's description ("unittests src/lib.rs (PATH)",
/// "tests/it.rs (PATH)", or PATH alone from older cargo) shows `executable`:
/// in full, or relative to cargo's working directory when it lies below it.
/// Paths may hold blanks and parentheses of their own, so the description is
/// matched against the path, never cut.
std::optional<std::string_view> shown_form(std::string_view description,
                                           std::string_view executable) {
  for (size_t from = 0; from < executable.size();) {
    std::string_view shown = executable.substr(from);
    if (description == shown) return shown;
    if (description.size() >= shown.size() + 2 && description.ends_with(')')) {
      std::string_view inner = description.substr(0, description.size() - 1);
      size_t open = inner.size() - shown.size() - 1;
      if (inner.ends_with(shown) && inner[open] == '(' && (open == 0 || inner[open - 1] == ' '))
        return shown;
    }
    size_t slash = executable.find('/', from);
    if (slash == std::string_view::npos) break;
    from = slash + 1;
  }
  return std::nullopt;
}

/// Where cargo's "error: ..." line at the end of `line` starts, when the
/// rest of it satisfies `rest_matches`.
template <typename Match>
std::optional<size_t> error_line_at(std::string_view line, Match rest_matches) {
  size_t at = line.rfind(kError);
  if (at == std::string_view::npos) return std::nullopt;
  if (!rest_matches(trim_end(line.substr(at + kError.size())))) return std::nullopt;
  return at;
}

/// "error: test failed, to rerun pass `-p alpha --lib`" for the binary with
/// `selector` (any, when empty), at the end of `line`; `hint` takes what it
/// says to pass.
std::optional<size_t> failure_line_at(std::string_view line, std::string_view selector,
                                      std::string* hint = nullptr) {
  static const RE2 kFailed(R"(\w+ failed, to rerun pass `(.*)`)");
  return error_line_at(line, [&](std::string_view rest) {
    std::string said;
    if (!RE2::FullMatch(rest, kFailed, &said)) return false;
    std::string_view h(said);
    bool matches = selector.empty() || h == selector ||
                   (h.ends_with(selector) && h.size() > selector.size() &&
                    h[h.size() - selector.size() - 1] == ' ');
    if (matches && hint) *hint = said;
    return matches;
  });
}

/// "error: 2 targets failed:", cargo's closing list, at the end of `line`.
std::optional<size_t> closing_line_at(std::string_view line) {
  static const RE2 kClosing(R"(\d+ targets? failed:)");
  return error_line_at(line, [](std::string_view rest) { return RE2::FullMatch(rest, kClosing); });
}

/// An entry of cargo's closing list: "    `-p alpha --lib`".
std::optional<std::string_view> closing_entry(std::string_view line) {
  std::string_view text = trim(line);
  if (text.size() < 2 || !text.starts_with('`') || !text.ends_with('`')) return std::nullopt;
  return text.substr(1, text.size() - 2);
}

/// The status in "process didn't exit successfully: `...` (exit status: 3)"
/// or "could not execute process `...` (never executed)".
std::optional<BinaryExit> reported_exit(std::string_view line) {
  line = trim(line);
  bool ran = line.starts_with("process didn't exit successfully: `");
  if (!ran && !line.starts_with("could not execute process `")) return std::nullopt;
  size_t open = line.rfind(" (");
  if (!line.ends_with(')') || open == std::string_view::npos) return std::nullopt;
  BinaryExit exit;
  exit.description = std::string(line.substr(open + 2, line.size() - open - 3));
  static const RE2 kStatus(R"(exit status: (-?\d+))");
  static const RE2 kSignal(R"(signal: (\d+)(?:,.*)?)");
  int number = 0;
  exit.code = -1;  // never started, or ended in a way cargo did not word
  if (ran && RE2::FullMatch(exit.description, kStatus, &number)) {
    exit.code = number;
  } else if (ran && RE2::FullMatch(exit.description, kSignal, &number)) {
    exit.code = 128 + number;
  }
  return exit;
}

}  // namespace

std::optional<CargoTestStream::RunningLine> CargoTestStream::running_line(
    std::string_view line) const {
  VisibleText visible(line);
  std::string_view text = visible.text();
  for (size_t at = text.rfind(kRunning); at != std::string_view::npos;
       at = at == 0 ? std::string_view::npos : text.rfind(kRunning, at - 1)) {
    std::string_view description = trim_end(text.substr(at + kRunning.size()));
    for (const std::string& executable : built_) {
      std::optional<std::string_view> shown = shown_form(description, executable);
      if (!shown) continue;
      RunningLine running;
      running.at = visible.line_offset(at);
      running.path = std::string(*shown);
      for (size_t i = 0; i < known_.size(); ++i)
        if (known_[i].executable == executable) running.binary = i;
      return running;
    }
  }
  return std::nullopt;
}

std::optional<CargoTestStream::RunningLine> CargoTestStream::starting_binary(
    std::string_view line) const {
  std::optional<RunningLine> running = running_line(line);
  if (!running) return std::nullopt;
  auto already_started = [&running](const BinaryPart& part) {
    return running->binary ? part.binary == running->binary : part.shown_path == running->path;
  };
  if (std::any_of(parts_.begin(), parts_.end(), already_started)) return std::nullopt;
  return running;
}

std::vector<std::string> CargoTestStream::unknown_executables() const {
  std::vector<std::string> paths;
  for (const BinaryPart& part : parts_)
    if (!part.binary) paths.push_back(part.shown_path);
  return paths;
}

void CargoTestStream::start_part(const RunningLine& running, StreamInstant at) {
  BinaryPart part;
  part.binary = running.binary;
  part.shown_path = running.path;
  part.started = at;
  parts_.push_back(std::move(part));
  state_ = State::Binary;
}

void CargoTestStream::end_part(StreamInstant at, BinaryExit exit) {
  parts_.back().ended = at;
  parts_.back().exit = std::move(exit);
  state_ = State::Cargo;
}

std::string CargoTestStream::append_cargo_text(std::string_view line) {
  append_line(cargo_text_, line);
  std::string text = shown_text(line);
  if (closing_line_at(text) == size_t{0}) {
    in_closing_list_ = true;
  } else if (std::optional<std::string_view> entry = closing_entry(text);
             entry && in_closing_list_) {
    failed_targets_.emplace_back(*entry);
  } else {
    in_closing_list_ = false;
  }
  return text;
}

void CargoTestStream::take_cargo_line(std::string_view line) {
  std::string text = shown_text(line);
  if (!text.starts_with('{')) {
    append_cargo_text(line);
    return;
  }
  append_line(cargo_json_, text);
  for (TestBinary& binary : parse_test_artifacts(text))
    built_.push_back(std::move(binary.executable));
}

void CargoTestStream::take_binary_line(std::string_view line, StreamInstant at) {
  BinaryPart& part = parts_.back();
  std::optional<RunningLine> running = starting_binary(line);
  std::optional<size_t> cut;
  UnconfirmedEnd end;
  end.kind = EndKind::Running;
  if (running) {
    cut = running->at;
  } else {
    VisibleText visible(line);
    std::string_view selector = part.binary ? std::string_view(known_[*part.binary].selector) : "";
    if ((cut = failure_line_at(visible.text(), selector, &end.rerun_hint))) {
      end.kind = EndKind::Failure;
    } else if ((cut = closing_line_at(visible.text()))) {
      end.kind = EndKind::Closing;
    }
    if (cut) cut = visible.line_offset(*cut);
  }
  if (!cut) {
    append_line(part.output, line);
    return;
  }
  // cargo's line, unless a test printed it: held until what follows shows
  // whose it was.
  end.output_size = part.output.size();
  end.lines.emplace_back(line);
  end.cut = *cut;
  end.running = std::move(running);
  end.at = at;
  if (*cut > 0) append_line(part.output, line.substr(0, *cut));
  BinaryExit exit;
  if (end.kind == EndKind::Failure) exit.code = 101;  // libtest's code; a detail may follow
  end_part(at, std::move(exit));
  if (end.kind == EndKind::Failure) state_ = State::Failed;
  unconfirmed_ = std::move(end);
  // No test code runs while binaries list their tests: nothing there
  // imitates cargo's lines.
  if (format_ == StreamFormat::Listing) confirm_end();
}

CargoTestStream::HeldLine CargoTestStream::judge_held_line(std::string_view line) {
  std::string shown = shown_text(line);
  std::string_view text = trim(shown);
  if (text.empty()) return HeldLine::Held;
  UnconfirmedEnd& end = *unconfirmed_;
  if (end.kind == EndKind::Running)  // the next binary's output never starts with these
    return is_libtest_continuation_line(text) ? HeldLine::Refutes : HeldLine::Confirms;
  // cargo's closing list of the failed targets, then its exit.
  if (end.kind == EndKind::Closing || end.closing_list)
    return closing_entry(text) ? HeldLine::Held : HeldLine::Refutes;
  if (text == "Caused by:" || reported_exit(text) || text.starts_with("note: test exited"))
    return HeldLine::Held;
  // The launches select their targets, so cargo runs no doctests after a
  // failure: only the next binary or the closing list follow.
  if (closing_line_at(shown) == size_t{0}) {
    end.closing_list = true;
    return HeldLine::Held;
  }
  return starting_binary(line) ? HeldLine::Confirms : HeldLine::Refutes;
}

void CargoTestStream::resume_binary() {
  BinaryPart& part = parts_.back();
  part.output.resize(unconfirmed_->output_size);
  for (const std::string& held : unconfirmed_->lines) append_line(part.output, held);
  part.ended.reset();
  part.exit.reset();
  unconfirmed_.reset();
  state_ = State::Binary;
}

void CargoTestStream::confirm_end() {
  UnconfirmedEnd end = std::move(*unconfirmed_);
  unconfirmed_.reset();
  append_cargo_text(std::string_view(end.lines.front()).substr(end.cut));
  if (end.kind == EndKind::Failure) parts_.back().rerun_hint = std::move(end.rerun_hint);
  if (end.kind == EndKind::Running) start_part(*end.running, end.at);
  for (size_t i = 1; i < end.lines.size(); ++i) {
    if (end.kind == EndKind::Running) {
      append_line(parts_.back().output, end.lines[i]);
      continue;
    }
    std::string text = append_cargo_text(end.lines[i]);
    if (auto exit = reported_exit(text); exit && end.kind == EndKind::Failure)
      parts_.back().exit = std::move(*exit);
  }
}

void CargoTestStream::take(std::string_view line, StreamInstant at) {
  if (unconfirmed_) {
    switch (judge_held_line(line)) {
      case HeldLine::Held:
        unconfirmed_->lines.emplace_back(line);
        return;
      case HeldLine::Confirms:
        confirm_end();
        break;
      case HeldLine::Refutes:
        resume_binary();
        break;
    }
  }
  if (state_ == State::Binary) {
    take_binary_line(line, at);
    return;
  }
  if (std::optional<RunningLine> running = starting_binary(line)) {
    append_cargo_text(line);
    start_part(*running, at);
    return;
  }
  if (state_ == State::Failed) {
    std::string text = append_cargo_text(line);
    if (auto exit = reported_exit(text)) parts_.back().exit = std::move(*exit);
    if (closing_line_at(text)) state_ = State::Cargo;
    return;
  }
  take_cargo_line(line);
}

void CargoTestStream::finish(StreamInstant at, bool cargo_exited) {
  if (unconfirmed_) confirm_end();
  if (state_ == State::Binary && cargo_exited) end_part(at, BinaryExit{});
}

}  // namespace tarnwick
