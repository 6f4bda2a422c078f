#pragma once
/// The one ordered stream of a `cargo test` run whose standard error joins
/// its standard output, told apart into cargo's own lines and the output of
/// each test binary cargo ran. cargo names each binary in a "Running" line
/// before it starts it and, when it fails, says so in an "error: test failed,
/// to rerun pass `...`" line after it ends; everything between belongs to
/// that binary. A binary that ends without a line feed leaves cargo's next
/// line at the end of its own last one, so cargo's lines are also found
/// there. cargo's lines are read as a terminal would show them: without
/// escape sequences, and from the last carriage return on.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

using StreamInstant = std::chrono::steady_clock::time_point;

/// A test binary the stream may show: its path as the build reported it and
/// its cargo target selector ("--lib", "--test it", ...).
struct KnownBinary {
  std::string executable;
  std::string selector;
};

/// What the binaries print: the names of a `--list` run, in which no test
/// code runs, or the output of running tests, which a test can shape.
enum class StreamFormat { Listing, Tests };

/// How a test binary ended, as cargo reported it.
struct BinaryExit {
  int32_t code = 0;  // 128 + N for signal N; -1 when it never started
  /// cargo's words after the command ("exit status: 3", "signal: 6,
  /// SIGABRT: process abort signal"); empty for 0 and for libtest's 101.
  std::string description;

  bool signalled() const { return description.starts_with("signal:"); }
};

/// One binary's part of the run.
struct BinaryPart {
  /// Index into the known binaries; empty for a binary the build did not
  /// list (cargo may run such a one beside the known ones, such as the unit
  /// tests of a library whose tests are off, which `--lib` still selects).
  std::optional<size_t> binary;
  std::string shown_path;  // as cargo's "Running" line shows it
  std::string output;      // its lines, each followed by its `line_end_for`
  StreamInstant started;
  /// When it ended; empty while it ran, and when the run was stopped during it.
  std::optional<StreamInstant> ended;
  std::optional<BinaryExit> exit;  // set with `ended`
  /// What cargo's failure line says to pass to rerun it ("-p app --lib");
  /// empty unless cargo reported it failed.
  std::string rerun_hint;
};

/// A test may print lines that look like cargo's own (a test that runs
/// cargo, say). The stream takes a "Running" line only for a test binary
/// that the run's own artifact messages name and that has not started yet,
/// and, for running tests, only when what follows is not more of the
/// running binary's libtest output; a failure or closing line only once
/// cargo's next lines confirm it: the next binary's start, or the end of the
/// stream after cargo's closing list, which it prints last.
class CargoTestStream {
 public:
  CargoTestStream(std::vector<KnownBinary> known, StreamFormat format)
      : known_(std::move(known)), format_(format) {}

  /// Takes the next line of the stream, read at `at`.
  void take(std::string_view line, StreamInstant at);
  /// The stream ended at `at`. When cargo exited, the binary it ran last
  /// ended then too; when the run was stopped, that binary is left running.
  void finish(StreamInstant at, bool cargo_exited);

  /// Whether `line` holds cargo's line starting a binary this run built and
  /// has not started, as far as the lines so far tell.
  bool starts_binary(std::string_view line) const { return starting_binary(line).has_value(); }

  const std::vector<KnownBinary>& known() const { return known_; }
  StreamFormat format() const { return format_; }
  const std::vector<BinaryPart>& parts() const { return parts_; }
  /// cargo's JSON messages, each followed by its `line_end_for`.
  const std::string& cargo_json() const { return cargo_json_; }
  /// cargo's other lines (its status and error lines), each followed by its
  /// `line_end_for`.
  const std::string& cargo_text() const { return cargo_text_; }
  /// The targets cargo's closing list names as failed ("-p app --lib").
  const std::vector<std::string>& failed_targets() const { return failed_targets_; }
  /// Paths of the binaries cargo ran that the build did not list (their
  /// parts have no `binary`).
  std::vector<std::string> unknown_executables() const;

 private:
  enum class State { Cargo, Binary, Failed };

  /// How cargo's line that ends a binary's part goes on: its failure line,
  /// its closing line, or the next binary's "Running" line.
  enum class EndKind { Failure, Closing, Running };
  /// A "Running" line: where cargo's line starts in the line, and the
  /// binary it names.
  struct RunningLine {
    std::optional<size_t> binary;
    size_t at = 0;
    std::string path;  // as cargo shows it
  };
  /// Such a line that what followed has not yet shown to be cargo's.
  struct UnconfirmedEnd {
    EndKind kind = EndKind::Failure;
    size_t output_size = 0;          // the part's output before the line
    size_t cut = 0;                  // where cargo's line starts in it
    std::vector<std::string> lines;  // the whole line, then the lines held since
    std::optional<RunningLine> running;
    std::string rerun_hint;
    /// A failure line was followed by cargo's closing list, which cargo
    /// prints last: only its entries and the end of the stream may follow.
    bool closing_list = false;
    StreamInstant at;
  };
  enum class HeldLine { Held, Confirms, Refutes };

  std::optional<RunningLine> running_line(std::string_view line) const;
  std::optional<RunningLine> starting_binary(std::string_view line) const;
  void start_part(const RunningLine& running, StreamInstant at);
  void end_part(StreamInstant at, BinaryExit exit);
  void take_binary_line(std::string_view line, StreamInstant at);
  HeldLine judge_held_line(std::string_view line);
  void resume_binary();
  void confirm_end();
  void take_cargo_line(std::string_view line);
  /// Appends one of cargo's lines to its text; returns the line as shown.
  std::string append_cargo_text(std::string_view line);

  std::vector<KnownBinary> known_;
  StreamFormat format_;
  std::vector<BinaryPart> parts_;
  std::string cargo_json_;
  std::string cargo_text_;
  std::vector<std::string> failed_targets_;
  bool in_closing_list_ = false;
  /// Test executables the run's compiler-artifact messages named.
  std::vector<std::string> built_;
  std::optional<UnconfirmedEnd> unconfirmed_;
  State state_ = State::Cargo;
};

}  // namespace tarnwick
