#pragma once
/// The server's settings, read from the command line once at start-up.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

enum class ElicitationMode { Prompt, AlwaysAccept, AlwaysSkip };

/// "Prompt", "AlwaysAccept" or "AlwaysSkip".
const char* elicitation_mode_name(ElicitationMode mode);

struct ServerSettings {
  ElicitationMode elicitation_mode = ElicitationMode::AlwaysSkip;
  bool retry_on_busy = true;
  uint64_t retry_delay_ms = 500;
  uint32_t retry_max_attempts = 3;
  uint64_t progress_delay_ms = 0;
  bool unsafe_windows_rm = false;
  std::optional<uint64_t> test_timeout_secs;
  bool per_test_execution = false;
  bool clear_incr_working = false;
  bool show_incremental_notes = false;
  /// One entry per rejected option value, in command-line order.
  std::vector<std::string> warnings;
};

/// The values the runner and the tool handlers read. Written once by start-up
/// before any other thread exists and only read afterwards.
struct RuntimeSettings {
  bool retry_on_busy = true;
  uint64_t retry_delay_ms = 500;
  uint32_t retry_max_attempts = 3;  // at least 1
  bool unsafe_windows_rm = false;
  bool clear_incr_working = false;
  bool show_incremental_notes = false;
  bool per_test_execution = false;
  uint64_t test_timeout_secs = 0;  // 0 means none
};

/// Publishes the process-wide values of `settings`. Called once by start-up;
/// tests call it to set up a scenario.
void publish_settings(const ServerSettings& settings);

/// The published values (the defaults until `publish_settings` runs).
const RuntimeSettings& runtime_settings();

}  // namespace tarnwick
