#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <thread>

#include "base/call_context.h"
#include "base/settings.h"
#include "base/text_lines.h"
#include "runner/busy_files.h"
#include "runner/invoke.h"
#include "runner/restart_manager.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

constexpr Duration kWaitSlice{0, 50'000'000};
/// How many holders the retry message names before it only counts the rest.
constexpr size_t kHolderLabels = 4;

Duration since(SteadyInstant start) { return Duration::from_chrono(Clock::now() - start); }

/// The call's one deadline across attempts and waits; none when phased
/// (each attempt then gets the whole timeout from its own build-finished).
std::optional<SteadyInstant> overall_deadline_of(const RunRequest &request, SteadyInstant start) {
  if (request.phased || !request.timeout) return std::nullopt;
  return instant_after(start, *request.timeout);
}

uint32_t attempts_for(const RunRequest &request) {
  const RuntimeSettings &settings = runtime_settings();
  if (request.busy_retry == BusyRetry::Never || !settings.retry_on_busy ||
      !is_retryable_subcommand(request.argv))
    return 1;
  return std::max<uint32_t>(settings.retry_max_attempts, 1);
}

}  // namespace

std::string holder_summary(const std::vector<PathHolders> &list) {
  std::vector<std::string> labels;
  for (const PathHolders &path : list) {
    for (const FileHolder &holder : path.holders) {
      std::string image = holder.image_path ? fmt::format(" ({})", *holder.image_path) : "";
      labels.push_back(fmt::format("{}{} (PID {})", holder.app_name, image, holder.pid));
    }
  }
  std::sort(labels.begin(), labels.end());
  labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
  size_t shown = std::min(labels.size(), kHolderLabels);
  std::string text = fmt::format(
      "{}", fmt::join(labels.begin(), labels.begin() + static_cast<std::ptrdiff_t>(shown), ", "));
  if (labels.size() > shown) text += fmt::format(" (+{} more)", labels.size() - shown);
  return text;
}

namespace {

/// Names the holders of the busy files in the sink and in the standard error.
void report_holders(RunOutput &output, const ProgressSink &sink) {
  std::vector<PathHolders> list = find_file_holders(output.stderr_text, output.stdout_text);
  if (list.empty()) return;
  std::string summary = holder_summary(list);
  if (!summary.empty()) sink(fmt::format("tarnwick: file held by: {}", summary));
  format_busy_report(output.stderr_text, list);
}

void append_give_up(RunOutput &output, uint32_t attempts, const ProgressSink &sink) {
  std::string message = fmt::format(
      "tarnwick: gave up after {} attempts on transient file-busy "
      "error; cargo last exited with code {}",
      attempts, output.exit_code);
  sink(message);
  if (!output.stderr_text.empty() && !output.stderr_text.ends_with('\n'))
    output.stderr_text.push_back('\n');
  output.stderr_text.append(message).push_back('\n');
}

/// Sleeps `delay_ms` in short slices, giving up early on cancellation or
/// when the call's deadline passes.
Status wait_before_retry(uint64_t delay_ms, const std::optional<SteadyInstant> &overall_deadline,
                         SteadyInstant start) {
  Duration left = Duration::from_millis(delay_ms);
  while (!left.is_zero()) {
    if (cancel_requested()) return CancelledError{};
    Duration slice = std::min(left, kWaitSlice);
    if (overall_deadline) {
      Duration to_deadline = Duration::from_chrono(*overall_deadline - Clock::now());
      if (to_deadline.is_zero()) return TimeoutError{since(start)};
      slice = std::min(slice, to_deadline);
    }
    if (slice.is_zero()) slice = Duration::from_millis(1);
    SteadyInstant before = Clock::now();
    std::this_thread::sleep_for(slice.to_chrono());
    left = saturating_sub(left, since(before));
  }
  return ok_status();
}

}  // namespace

bool is_transient_busy_error(std::string_view text) {
  constexpr std::array<std::string_view, 3> kAdvisory = {
      "finalizing incremental", "finalize incremental", "incremental compilation session"};
  for (std::string_view line : split_lines(text)) {
    bool advisory = std::any_of(kAdvisory.begin(), kAdvisory.end(), [&](std::string_view a) {
      return line.find(a) != std::string_view::npos;
    });
    if (!advisory && contains_busy_marker(line)) return true;
  }
  return false;
}

bool is_retryable_subcommand(const std::vector<std::string> &argv) {
  constexpr std::array<std::string_view, 9> kRetryable = {
      "fmt", "doc", "test", "tree", "check", "build", "clean", "clippy", "metadata"};
  size_t at = !argv.empty() && argv[0].starts_with('+') ? 1 : 0;
  if (at >= argv.size()) return false;
  return std::find(kRetryable.begin(), kRetryable.end(), argv[at]) != kRetryable.end();
}

RunResult run_cargo_with_retry(const RunRequest &request) {
  const SteadyInstant start =
      request.phased ? Clock::now() : request.clock_start.value_or(Clock::now());
  const std::optional<SteadyInstant> overall_deadline = overall_deadline_of(request, start);
  const uint32_t attempts = attempts_for(request);
  const ProgressSink &sink = *request.sink;

  for (uint32_t attempt = 1;; ++attempt) {
    // A call cancelled before its run (while it counted packages) starts no cargo.
    if (cancel_requested()) return CancelledError{};
    RunClocks clocks;
    if (request.phased) {
      if (request.timeout && request.timeout->is_zero()) return TimeoutError{since(start)};
      clocks.timeout = request.timeout;
      clocks.phase_boundary = is_build_finished_line;
    } else if (overall_deadline) {
      Duration left = Duration::from_chrono(*overall_deadline - Clock::now());
      if (left.is_zero()) return TimeoutError{since(start)};
      clocks.timeout = left;
    }

    RunResult result = run_cargo_once(request, clocks);
    if (!result) {
      if (!request.phased && is_error_kind<TimeoutError>(result.error()))
        return TimeoutError{since(start)};
      return result;
    }
    RunOutput &output = result.value();
    if (output.exit_code == 0) return result;
    if (!is_transient_busy_error(output.stderr_text) &&
        !is_transient_busy_error(output.stdout_text))
      return result;

    report_holders(output, sink);
    if (attempt >= attempts) {
      if (attempts > 1) append_give_up(output, attempts, sink);
      return result;
    }
    uint64_t delay_ms = runtime_settings().retry_delay_ms;
    sink(fmt::format("tarnwick: transient file-busy error; retrying in {}ms (attempt {}/{})",
                     delay_ms, attempt + 1, attempts));
    if (auto waited = wait_before_retry(delay_ms, overall_deadline, start); !waited)
      return waited.error();
  }
}

}  // namespace tarnwick
