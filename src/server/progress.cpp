#include "server/progress.h"

#include <fmt/format.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "base/duration.h"
#include "base/quoted.h"
#include "tools/args.h"

namespace tarnwick {
namespace {

/// The public registry's index, and the name users know it by.
constexpr std::string_view kPublicIndexName = "crates.io-index";
constexpr std::string_view kPublicShortName = "crates.io";

/// Compiler messages are cut to this many characters.
constexpr size_t kMessageChars = 120;

std::optional<std::string> string_member(const json& object, const char* key) {
  const json* value = find_member(object, key);
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::string target_suffix(const ProgressState& state) {
  return state.target ? fmt::format(" ({})", *state.target) : std::string();
}

std::string build_finished_message(const ProgressState& state, const json& record) {
  const json* success_value = find_member(record, "success");
  bool success = success_value && success_value->is_boolean() && success_value->get<bool>();
  const char* status = success ? "finished" : "failed";
  std::string suffix = target_suffix(state);
  const std::string& label = state.label;
  const std::string& profile = state.profile_label;
  if (state.phase == "build")
    return fmt::format("Cargo {}: build phase {}{} {}", label, profile, suffix, status);
  if (state.phase == "doc test")
    return fmt::format("Cargo {}: doc test {}{} {}", label, profile, suffix, status);
  if (state.phase == "test execution") {
    if (success)
      return fmt::format("Cargo {}: build cached {}{} \u2014 executing tests now", label, profile,
                         suffix);
    return fmt::format("Cargo {}: unexpected build failure before test execution {}{}", label,
                       profile, suffix);
  }
  return fmt::format("Cargo {} {}{} {}", label, profile, suffix, status);
}

std::optional<std::string> compiler_message(const ProgressState& state, const json& record) {
  const json* diagnostic = find_member(record, "message");
  if (!diagnostic) return std::nullopt;
  std::string text = string_member(*diagnostic, "message").value_or("");
  if (text.empty()) return std::nullopt;
  std::string level = string_member(*diagnostic, "level").value_or("note");
  return fmt::format("Cargo {}: [{}] {}", state.label, level, first_chars(text, kMessageChars));
}

std::optional<std::string> compiler_message(const ProgressState& state, const JsonNode& record) {
  std::optional<JsonNode> diagnostic = record.find("message");
  if (!diagnostic) return std::nullopt;
  std::string text_scratch, level_scratch;
  std::optional<JsonNode> text = diagnostic->find("message");
  std::string_view message = text && text->is_string() ? text->string_value(text_scratch) : "";
  if (message.empty()) return std::nullopt;
  std::optional<JsonNode> level = diagnostic->find("level");
  std::string_view level_text =
      level && level->is_string() ? level->string_value(level_scratch) : "note";
  return fmt::format("Cargo {}: [{}] {}", state.label, level_text,
                     first_chars(message, kMessageChars));
}

std::optional<std::string> artifact_message(ProgressState& state, const json& record) {
  ++state.artifacts_seen;
  const json* fresh = find_member(record, "fresh");
  if (!fresh || !fresh->is_boolean() || fresh->get<bool>()) return std::nullopt;
  std::string package_id = string_member(record, "package_id").value_or("");
  std::optional<std::string> registry = registry_short_name(package_id);
  auto [name, version] = split_package_id(package_id, record);
  uint32_t denominator =
      state.has_total ? std::max(state.total, state.artifacts_seen) : state.artifacts_seen;
  std::string counter = fmt::format("({}/{})", state.artifacts_seen, denominator);
  if (registry)
    return fmt::format("Cargo {}: Building {} v{} {} {} [{}]", state.label, name, version, counter,
                       state.profile_label, *registry);
  return fmt::format("Cargo {}: Building {} v{} {} {}", state.label, name, version, counter,
                     state.profile_label);
}

void take_progress_total(ProgressState& state, const json& record) {
  const json* units = find_member(record, "total_units");
  // Only a plain non-negative integer counts; -1, 1.5 and strings change nothing.
  if (!units || !units->is_number_unsigned()) return;
  uint64_t n = units->get<uint64_t>();
  state.has_total = n <= UINT32_MAX;
  state.total = static_cast<uint32_t>(n);
}

/// Waits `ms` milliseconds, or less when `cancel` is set meanwhile: a
/// cancelled call is not held up by the delay.
void wait_unless_cancelled(uint64_t ms, const CancelFlag& cancel) {
  std::mutex mutex;
  std::condition_variable woken;
  bool cancelled = false;
  CancelWakeScope wake(cancel, [&] {
    std::lock_guard guard(mutex);
    cancelled = true;
    woken.notify_all();
  });
  // A delay beyond the clock's range never ends, as a sleep that long would not.
  Deadline deadline = Deadline::after(Duration::from_millis(ms));
  std::unique_lock lock(mutex);
  auto done = [&] { return cancelled; };
  if (deadline.infinite) {
    woken.wait(lock, done);
  } else {
    woken.wait_until(lock, deadline.at, done);
  }
}

}  // namespace

ProgressState make_progress_state(std::string_view tool_name, const json& arguments) {
  ProgressState state;
  std::string_view label = tool_name;
  if (label.starts_with("cargo_")) label.remove_prefix(6);
  state.label = std::string(label);
  state.target = string_member(arguments, "target");
  if (std::optional<std::string> profile = string_member(arguments, "profile")) {
    state.profile_label =
        (*profile == "debug" || *profile == "dev") ? "[dev]" : fmt::format("[{}]", *profile);
  } else {
    state.profile_label = parse_bool_arg(arguments, "release") ? "[release]" : "[dev]";
  }
  return state;
}

std::optional<std::string> progress_message(ProgressState& state, std::string_view line,
                                            JsonLineReader& reader) {
  if (line.starts_with("tarnwick:")) return std::string(line);
  // Compiler messages read quickly; the few other records, and whatever the
  // quick reader cannot vouch for, go to the library's parser.
  std::optional<JsonNode> record = reader.read(line);
  std::optional<JsonNode> reason = record ? record->find("reason") : std::nullopt;
  std::string scratch;
  if (reason && reason->is_string() && reason->string_value(scratch) == "compiler-message")
    return compiler_message(state, *record);
  return progress_message(state, line);
}

std::optional<std::string> progress_message(ProgressState& state, std::string_view line) {
  if (line.starts_with("tarnwick:")) return std::string(line);
  json record = json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (record.is_discarded()) return std::string(line);
  std::optional<std::string> reason = string_member(record, "reason");
  if (!reason) return std::nullopt;
  if (*reason == "build-finished") return build_finished_message(state, record);
  if (*reason == "compiler-message") return compiler_message(state, record);
  if (*reason == "compiler-artifact") return artifact_message(state, record);
  if (*reason == "x-tarnwick-phase") {
    state.phase = string_member(record, "phase");
  } else if (*reason == "x-tarnwick-progress-total") {
    take_progress_total(state, record);
  }
  return std::nullopt;
}

std::optional<std::string> registry_short_name(std::string_view package_id) {
  constexpr std::string_view prefix = "registry+";
  if (!package_id.starts_with(prefix)) return std::nullopt;
  std::string_view location = package_id.substr(prefix.size());
  location = location.substr(0, location.find('#'));
  while (location.ends_with('/')) location.remove_suffix(1);
  size_t slash = location.rfind('/');
  std::string_view last = slash == std::string_view::npos ? location : location.substr(slash + 1);
  if (last == kPublicIndexName) return std::string(kPublicShortName);
  return std::string(last);
}

std::pair<std::string, std::string> split_package_id(std::string_view package_id,
                                                     const json& record) {
  std::string_view fragment;
  if (size_t hash = package_id.find('#'); hash != std::string_view::npos) {
    fragment = package_id.substr(hash + 1);
    fragment = fragment.substr(0, fragment.find('#'));
  }
  if (size_t at = fragment.rfind('@'); at != std::string_view::npos)
    return {std::string(fragment.substr(0, at)), std::string(fragment.substr(at + 1))};
  std::string name = "?";
  if (const json* target = find_member(record, "target"))
    name = string_member(*target, "name").value_or("?");
  return {std::move(name), std::string(fragment)};
}

ProgressReporter::ProgressReporter(std::string_view tool_name, const json& arguments,
                                   std::string progress_token_text, uint64_t progress_delay_ms,
                                   NotificationWriter writer, CancelFlag cancel)
    : state_(make_progress_state(tool_name, arguments)),
      progress_token_text_(std::move(progress_token_text)),
      progress_delay_ms_(progress_delay_ms),
      writer_(std::move(writer)),
      cancel_(std::move(cancel)) {}

void ProgressReporter::report_cargo_progress(std::string_view line) {
  if (closed_) return;
  std::optional<std::string> message = progress_message(state_, line, reader_);
  if (!message || message->empty()) return;
  // The keys in sorted order, as every object written as a value has them.
  std::string params = "{\"message\":";
  params += to_json_text(json(std::move(*message)));
  params += ",\"progress\":";
  params += std::to_string(counter_);
  params += ",\"progressToken\":";
  params += progress_token_text_;
  params += '}';
  if (!writer_("notifications/progress", params)) return;
  ++counter_;  // wraps at 2^32
  if (progress_delay_ms_ != 0) wait_unless_cancelled(progress_delay_ms_, cancel_);
}

}  // namespace tarnwick
