#pragma once
/// Progress notifications of one tools/call: turns the output lines of the
/// running tool into `notifications/progress` messages for the client.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/call_context.h"
#include "base/json_line.h"
#include "base/json_text.h"

namespace tarnwick {

/// What gives the progress messages of one call their wording. Lives for the
/// whole call, across all of its cargo runs.
struct ProgressState {
  std::string label;          // tool name without "cargo_"
  std::string profile_label;  // "[dev]", "[release]" or "[<profile>]"
  std::optional<std::string> target;
  std::optional<std::string> phase;  // from the last phase marker
  bool has_total = false;
  uint32_t total = 0;  // meaningful only with `has_total`
  uint32_t artifacts_seen = 0;
};

/// The start state for a call of `tool_name` with `arguments`.
ProgressState make_progress_state(std::string_view tool_name, const json& arguments);

/// The message one output line gives, or none; updates `state` on the way.
std::optional<std::string> progress_message(ProgressState& state, std::string_view line);
/// The same, with `reader` reading the compiler messages (most lines of a
/// run) far quicker than the library's parser.
std::optional<std::string> progress_message(ProgressState& state, std::string_view line,
                                            JsonLineReader& reader);

/// The short name of the registry a package id comes from, or none when the
/// id does not name a registry.
std::optional<std::string> registry_short_name(std::string_view package_id);

/// The package name and version of a package id; `record` supplies the name
/// when the id lacks one.
std::pair<std::string, std::string> split_package_id(std::string_view package_id,
                                                     const json& record);

/// Sends one notification whose params are `params_text` (compact JSON);
/// false when it was dropped because the client could not take it now.
/// Production sends through `write_notification_without_waiting`.
using NotificationWriter =
    std::function<bool(std::string_view method, std::string_view params_text)>;

/// The progress reporter of one call that carried a progress token.
class ProgressReporter {
 public:
  /// `progress_token_text` is the token as the client wrote it (compact
  /// JSON), echoed as it came; `cancel` ends the progress delay early.
  ProgressReporter(std::string_view tool_name, const json& arguments,
                   std::string progress_token_text, uint64_t progress_delay_ms,
                   NotificationWriter writer, CancelFlag cancel = nullptr);

  /// Handles one output line: sends at most one notification, then waits for
  /// the progress delay, or until the call is cancelled, when one was sent.
  /// Progress is advisory: a notification the writer drops is not counted,
  /// so the numbers sent still run from 0 without gaps. Does nothing once
  /// closed.
  void report_cargo_progress(std::string_view line);

  /// Ends reporting: the call's response is about to be sent, and no progress
  /// may follow it.
  void close() { closed_ = true; }

  const ProgressState& state() const { return state_; }

 private:
  ProgressState state_;
  std::string progress_token_text_;
  uint32_t counter_ = 0;
  uint64_t progress_delay_ms_ = 0;
  NotificationWriter writer_;
  CancelFlag cancel_;
  bool closed_ = false;
  JsonLineReader reader_;
};

}  // namespace tarnwick
