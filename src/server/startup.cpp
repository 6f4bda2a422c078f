#include "server/startup.h"

#include <fmt/format.h>

#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>

#include "base/output.h"
#include "base/quoted.h"
#include "platform/stdio.h"
#include "platform/write_file.h"
#include "server/line_reader.h"
#include "server/server_loop.h"

namespace tarnwick {
namespace {

/// The advertised tool names; a fixed list of the server's own, in catalogue order.
constexpr const char* kToolNames[] = {
    "cargo_metadata",   "cargo_check",       "cargo_build",       "cargo_test",
    "cargo_clippy",     "cargo_fmt_check",   "cargo_fmt",         "cargo_tree",
    "cargo_doc",        "cargo_clean",       "cargo_update",      "cargo_fix",
    "cargo_add",        "cargo_remove",      "cargo_publish",     "cargo_setup",
    "cargo_diagnostic", "cargo_nextest_run", "cargo_nextest_list"};

constexpr const char* kBoolForms = " (expected one of: true/false, 1/0, yes/no, on/off)";
constexpr const char* kNonNegative = " (expected a non-negative integer)";

std::string warning(std::string_view option, std::string_view value, std::string_view expected) {
  return "ignoring invalid " + std::string(option) + " value: " + tarnwick::quoted(value) +
         std::string(expected);
}

std::optional<ElicitationMode> parse_elicitation_mode(std::string_view value) {
  if (value == "prompt") return ElicitationMode::Prompt;
  if (value == "always-accept") return ElicitationMode::AlwaysAccept;
  if (value == "always-skip") return ElicitationMode::AlwaysSkip;
  return std::nullopt;
}

/// Applies one "--name=value" argument; returns false when the name is not an option.
bool apply_option(ServerSettings& s, std::string_view arg) {
  auto take = [&](std::string_view prefix, std::string_view& value) {
    if (arg.substr(0, prefix.size()) != prefix) return false;
    value = arg.substr(prefix.size());
    return true;
  };
  auto reject = [&](std::string_view prefix, std::string_view value, std::string_view expected) {
    s.warnings.push_back(warning(prefix.substr(0, prefix.size() - 1), value, expected));
  };
  auto boolean = [&](std::string_view prefix, bool& field) {
    std::string_view value;
    if (!take(prefix, value)) return false;
    if (auto parsed = parse_bool(value)) {
      field = *parsed;
    } else {
      reject(prefix, value, kBoolForms);
    }
    return true;
  };
  auto u64 = [&](std::string_view prefix, uint64_t& field) {
    std::string_view value;
    if (!take(prefix, value)) return false;
    if (auto parsed = parse_unsigned(value, std::numeric_limits<uint64_t>::max())) {
      field = *parsed;
    } else {
      reject(prefix, value, kNonNegative);
    }
    return true;
  };

  std::string_view value;
  if (take("--elicitation-mode=", value)) {
    if (auto mode = parse_elicitation_mode(value)) {
      s.elicitation_mode = *mode;
    } else {
      reject("--elicitation-mode=", value, " (expected: prompt, always-accept, always-skip)");
    }
    return true;
  }
  if (take("--retry-max-attempts=", value)) {
    auto parsed = parse_unsigned(value, std::numeric_limits<uint32_t>::max());
    if (parsed && *parsed != 0) {
      s.retry_max_attempts = static_cast<uint32_t>(*parsed);
    } else {
      reject("--retry-max-attempts=", value, " (expected a positive integer)");
    }
    return true;
  }
  if (take("--test-timeout-secs=", value)) {
    if (auto parsed = parse_unsigned(value, std::numeric_limits<uint64_t>::max())) {
      s.test_timeout_secs = *parsed == 0 ? std::nullopt : std::optional<uint64_t>(*parsed);
    } else {
      reject("--test-timeout-secs=", value,
             " (expected a non-negative integer; 0 disables the default timeout)");
    }
    return true;
  }
  return boolean("--retry-on-busy=", s.retry_on_busy) ||
         u64("--retry-delay-ms=", s.retry_delay_ms) ||
         u64("--progress-delay-ms=", s.progress_delay_ms) ||
         boolean("--unsafe-windows-rm=", s.unsafe_windows_rm) ||
         boolean("--per-test-execution=", s.per_test_execution) ||
         boolean("--clear-incr-working=", s.clear_incr_working) ||
         boolean("--show-incremental-notes=", s.show_incremental_notes);
}

}  // namespace

std::optional<bool> parse_bool(std::string_view value) {
  std::string lower(value);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower == "1" || lower == "on" || lower == "yes" || lower == "true") return true;
  if (lower == "0" || lower == "no" || lower == "off" || lower == "false") return false;
  return std::nullopt;
}

ServerSettings parse_options(const std::vector<std::string>& args) {
  ServerSettings settings;
  for (const std::string& arg : args) apply_option(settings, arg);
  return settings;
}

std::vector<std::string> startup_lines(const ServerSettings& s, long pid) {
  std::vector<std::string> lines;
  lines.push_back(fmt::format("tarnwick 0.12.1 starting (pid={})", pid));
  std::string names;
  for (const char* name : kToolNames) {
    if (!names.empty()) names += ", ";
    names += fmt::format("'{}'", name);
  }
  lines.push_back(fmt::format("advertising {} tools: {}", std::size(kToolNames), names));
  lines.push_back(fmt::format("elicitation mode: {}", elicitation_mode_name(s.elicitation_mode)));
  if (s.progress_delay_ms != 0) {
    lines.push_back(fmt::format("progress delay: {}ms (developer mode)", s.progress_delay_ms));
  }
  if (s.retry_on_busy) {
    lines.push_back(
        fmt::format("retry on transient busy errors: enabled (delay={}ms, max attempts={})",
                    s.retry_delay_ms, s.retry_max_attempts));
  } else {
    lines.push_back("retry on transient busy errors: disabled");
  }
  if (s.unsafe_windows_rm) {
    lines.push_back("Restart Manager process lookup: ENABLED (uses unsafe Win32 FFI in src/rm/)");
  }
  if (s.clear_incr_working) {
    lines.push_back(
        "incremental -working cleanup: ENABLED (stale *-working dirs removed before each cargo "
        "invocation)");
  }
  if (s.show_incremental_notes) {
    lines.push_back(
        "incremental compilation session notes: SHOWN (rustc's incremental-compilation-session "
        "finalize advisory is harmless and the build is idempotent; suppressed by default)");
  }
  return lines;
}

int run_server(int argc, char** argv, const ToolsCallHandler& tools_call) {
  platform::ignore_broken_pipes();
  // Past `ulimit -f` a write then fails and is answered; the server lives on.
  platform::ignore_file_size_signal();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(to_valid_utf8(argv[i]));
  ServerSettings settings = parse_options(args);
  publish_settings(settings);

  // Shared with the detached reader thread, which may outlive this frame
  // until the process ends.
  auto slot = std::make_shared<InFlightSlot>();
  auto channel = std::make_shared<LineChannel>();
  if (Status started = start_input_reader(channel, slot); !started) {
    std::fputs(fmt::format("failed to spawn thread: {}\n", error_text(started.error())).c_str(),
               stderr);
    platform::exit_process(101);
  }

  {
    std::unique_lock output(stdout_lock());
    for (const std::string& line : startup_lines(settings, platform::current_pid())) log_info(line);
    for (const std::string& text : settings.warnings) log_warning(text);
    run_server_loop(*channel, *slot,
                    ServerLoopSettings{settings.elicitation_mode, settings.progress_delay_ms},
                    tools_call);
  }
  platform::exit_process(0);
}

}  // namespace tarnwick
