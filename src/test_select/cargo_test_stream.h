#pragma once
/// The one ordered stream of a `cargo test` run whose standard error joins
/// its standard output, told apart into cargo's own lines and the output of
/// each test binary cargo ran. cargo names each binary in a "Running" line
/// before it starts it and, when it fails, says so in an "error: test failed,
/// to rerun pass `...`" line after it ends; everything between belongs to
/// that binary. A binary that ends without a line feed leaves cargo's next
/// line at the end of its own last one, so cargo's lines are also found
/// there.

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
  /// Index into the known binaries; empty for a binary the build did not list.
  std::optional<size_t> binary;
  std::string shown_path;  // as cargo's "Running" line shows it
  std::string output;      // its lines, each followed by its `line_end_for`
  StreamInstant started;
  /// When it ended; empty while it ran, and when the run was stopped during it.
  std::optional<StreamInstant> ended;
  std::optional<BinaryExit> exit;  // set with `ended`
};

/// A cargo "Running" line that starts a binary: at the start of a line, for
/// any binary, or at the end of a binary's unfinished last line, for a known
/// one. `binary` is empty for a binary the build did not list (cargo may run
/// such a one beside the known ones, such as the unit tests of a library
/// whose tests are off, which `--lib` still selects).
struct RunningLine {
  std::optional<size_t> binary;
  size_t at = 0;     // where cargo's line starts
  std::string path;  // as cargo shows it
};
std::optional<RunningLine> find_running_line(std::string_view line,
                                             const std::vector<KnownBinary>& known);

/// A test may print lines that look like cargo's own (a test that runs
/// cargo, say). The stream takes a "Running" line only for a test binary
/// that the run's own artifact messages name and that has not started yet,
/// and only when what follows is not more of the running binary's libtest
/// output; a failure or closing line only once cargo's next lines confirm it.
class CargoTestStream {
 public:
  explicit CargoTestStream(std::vector<KnownBinary> known) : known_(std::move(known)) {}

  /// Takes the next line of the stream, read at `at`.
  void take(std::string_view line, StreamInstant at);
  /// The stream ended at `at`. When cargo exited, the binary it ran last
  /// ended then too; when the run was stopped, that binary is left running.
  void finish(StreamInstant at, bool cargo_exited);

  const std::vector<KnownBinary>& known() const { return known_; }
  const std::vector<BinaryPart>& parts() const { return parts_; }
  /// cargo's JSON messages, each followed by its `line_end_for`.
  const std::string& cargo_json() const { return cargo_json_; }
  /// cargo's other lines (its status and error lines), each followed by its
  /// `line_end_for`.
  const std::string& cargo_text() const { return cargo_text_; }
  /// Paths from "Running" lines that name no known binary: cargo ran
  /// something the build did not list (their parts have no `binary`).
  std::vector<std::string> unknown_executables() const;

 private:
  enum class State { Cargo, Binary, Failed };

  /// How cargo's line that ends a binary's part goes on: its failure line,
  /// its closing line, or the next binary's "Running" line.
  enum class EndKind { Failure, Closing, Running };
  /// Such a line that what followed has not yet shown to be cargo's.
  struct UnconfirmedEnd {
    EndKind kind = EndKind::Failure;
    size_t output_size = 0;          // the part's output before the line
    size_t cut = 0;                  // where cargo's line starts in it
    std::vector<std::string> lines;  // the whole line, then the lines held since
    std::optional<RunningLine> running;
    StreamInstant at;
  };
  enum class HeldLine { Held, Confirms, Refutes };

  std::optional<RunningLine> starting_binary(std::string_view line) const;
  void start_part(const RunningLine& running, StreamInstant at);
  void end_part(StreamInstant at, BinaryExit exit);
  void take_binary_line(std::string_view line, StreamInstant at);
  HeldLine judge_held_line(std::string_view line) const;
  void resume_binary();
  void confirm_end();
  void take_cargo_line(std::string_view line);

  std::vector<KnownBinary> known_;
  std::vector<BinaryPart> parts_;
  std::string cargo_json_;
  std::string cargo_text_;
  /// Test executables the run's compiler-artifact messages named.
  std::vector<std::string> built_;
  std::optional<UnconfirmedEnd> unconfirmed_;
  State state_ = State::Cargo;
};

}  // namespace tarnwick
