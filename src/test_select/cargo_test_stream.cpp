#include "test_select/cargo_test_stream.h"

#include <re2/re2.h>

#include <algorithm>

#include "base/quoted.h"
#include "base/text_lines.h"
#include "runner/libtest_output.h"
#include "test_select/enumerate.h"

namespace tarnwick {
namespace {

/// cargo's status lines are right-aligned in twelve columns.
constexpr std::string_view kRunning = "     Running ";
constexpr std::string_view kError = "error: ";

/// The path a "Running" description shows: "unittests src/lib.rs (PATH)",
/// "tests/it.rs (PATH)", or, from older cargo, PATH alone.
std::string_view shown_path(std::string_view description) {
  description = trim_end(description);
  if (description.ends_with(')')) {
    size_t open = description.rfind(" (");
    if (open != std::string_view::npos)
      return description.substr(open + 2, description.size() - open - 3);
  }
  return description;
}

/// cargo shows a binary's path relative to its working directory when it
/// lies below it, else in full.
bool shows_binary(std::string_view shown, std::string_view executable) {
  if (shown.empty()) return false;
  if (shown == executable) return true;
  return !shown.starts_with('/') && executable.size() > shown.size() &&
         executable.ends_with(shown) && executable[executable.size() - shown.size() - 1] == '/';
}

std::optional<size_t> known_binary(std::string_view shown, const std::vector<KnownBinary>& known) {
  for (size_t i = 0; i < known.size(); ++i)
    if (shows_binary(shown, known[i].executable)) return i;
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

/// "error: test failed, to rerun pass `-p app --lib`" for the binary with
/// `selector` (any, when empty), at the end of `line`.
std::optional<size_t> failure_line_at(std::string_view line, std::string_view selector) {
  static const RE2 kFailed(R"(\w+ failed, to rerun pass `(.*)`)");
  return error_line_at(line, [&](std::string_view rest) {
    std::string hint;
    if (!RE2::FullMatch(rest, kFailed, &hint)) return false;
    std::string_view h(hint);
    return selector.empty() || h == selector ||
           (h.ends_with(selector) && h.size() > selector.size() &&
            h[h.size() - selector.size() - 1] == ' ');
  });
}

/// "error: 2 targets failed:", cargo's closing list, at the end of `line`.
std::optional<size_t> closing_line_at(std::string_view line) {
  static const RE2 kClosing(R"(\d+ targets? failed:)");
  return error_line_at(line, [](std::string_view rest) { return RE2::FullMatch(rest, kClosing); });
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

std::optional<RunningLine> find_running_line(std::string_view line,
                                             const std::vector<KnownBinary>& known) {
  size_t at = line.rfind(kRunning);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view path = shown_path(line.substr(at + kRunning.size()));
  std::optional<size_t> binary = known_binary(path, known);
  if (!binary && at != 0) return std::nullopt;
  return RunningLine{binary, at, std::string(path)};
}

std::optional<RunningLine> CargoTestStream::starting_binary(std::string_view line) const {
  std::optional<RunningLine> running = find_running_line(line, known_);
  if (!running) return std::nullopt;
  auto already_started = [&running](const BinaryPart& part) {
    return running->binary ? part.binary == running->binary : part.shown_path == running->path;
  };
  if (std::any_of(parts_.begin(), parts_.end(), already_started)) return std::nullopt;
  auto built = [&running](const std::string& executable) {
    return shows_binary(running->path, executable);
  };
  if (std::none_of(built_.begin(), built_.end(), built)) return std::nullopt;
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

void CargoTestStream::take_cargo_line(std::string_view line) {
  if (line.starts_with('{')) {
    append_line(cargo_json_, line);
    for (TestBinary& binary : parse_test_artifacts(line))
      built_.push_back(std::move(binary.executable));
    return;
  }
  append_line(cargo_text_, line);
}

void CargoTestStream::take_binary_line(std::string_view line, StreamInstant at) {
  BinaryPart& part = parts_.back();
  std::optional<RunningLine> running = starting_binary(line);
  std::optional<size_t> cut;
  UnconfirmedEnd end;
  end.kind = EndKind::Running;
  if (running) {
    cut = running->at;
  } else if ((cut = failure_line_at(line, part.binary ? known_[*part.binary].selector : ""))) {
    end.kind = EndKind::Failure;
  } else if ((cut = closing_line_at(line))) {
    end.kind = EndKind::Closing;
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
}

CargoTestStream::HeldLine CargoTestStream::judge_held_line(std::string_view line) const {
  std::string_view text = trim(line);
  if (text.empty()) return HeldLine::Held;
  switch (unconfirmed_->kind) {
    case EndKind::Running:  // the next binary's output never starts with these
      return is_libtest_continuation_line(text) ? HeldLine::Refutes : HeldLine::Confirms;
    case EndKind::Closing:  // cargo's list of the failed targets, then its exit
      return text.size() > 1 && text.starts_with('`') && text.ends_with('`') ? HeldLine::Held
                                                                             : HeldLine::Refutes;
    case EndKind::Failure:
      if (text == "Caused by:" || reported_exit(text) || text.starts_with("note: test exited"))
        return HeldLine::Held;
      if (text.starts_with("Doc-tests ") || closing_line_at(line) == size_t{0} ||
          starting_binary(line))
        return HeldLine::Confirms;
      return HeldLine::Refutes;
  }
  return HeldLine::Refutes;
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
  append_line(cargo_text_, std::string_view(end.lines.front()).substr(end.cut));
  if (end.kind == EndKind::Running) start_part(*end.running, end.at);
  for (size_t i = 1; i < end.lines.size(); ++i) {
    if (end.kind == EndKind::Running) {
      append_line(parts_.back().output, end.lines[i]);
      continue;
    }
    append_line(cargo_text_, end.lines[i]);
    if (auto exit = reported_exit(end.lines[i]); exit && end.kind == EndKind::Failure)
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
    append_line(cargo_text_, line);
    start_part(*running, at);
    return;
  }
  if (state_ == State::Failed) {
    append_line(cargo_text_, line);
    if (auto exit = reported_exit(line)) parts_.back().exit = std::move(*exit);
    if (closing_line_at(line)) state_ = State::Cargo;
    return;
  }
  take_cargo_line(line);
}

void CargoTestStream::finish(StreamInstant at, bool cargo_exited) {
  if (unconfirmed_) confirm_end();
  if (state_ == State::Binary && cargo_exited) end_part(at, BinaryExit{});
}

}  // namespace tarnwick
