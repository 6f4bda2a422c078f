#include "base/settings.h"

#include <algorithm>

namespace tarnwick {
namespace {
RuntimeSettings g_runtime;
}

const char* elicitation_mode_name(ElicitationMode mode) {
  switch (mode) {
    case ElicitationMode::Prompt:
      return "Prompt";
    case ElicitationMode::AlwaysAccept:
      return "AlwaysAccept";
    case ElicitationMode::AlwaysSkip:
      return "AlwaysSkip";
  }
  return "AlwaysSkip";
}

void publish_settings(const ServerSettings& s) {
  g_runtime.retry_on_busy = s.retry_on_busy;
  g_runtime.retry_delay_ms = s.retry_delay_ms;
  g_runtime.retry_max_attempts = std::max<uint32_t>(1, s.retry_max_attempts);
  g_runtime.unsafe_windows_rm = s.unsafe_windows_rm;
  g_runtime.clear_incr_working = s.clear_incr_working;
  g_runtime.show_incremental_notes = s.show_incremental_notes;
  g_runtime.per_test_execution = s.per_test_execution;
  g_runtime.test_timeout_secs = s.test_timeout_secs.value_or(0);
}

const RuntimeSettings& runtime_settings() { return g_runtime; }

}  // namespace tarnwick
