#include "runner/incremental.h"

#include <fmt/format.h>

#include "base/json_text.h"
#include "base/output.h"
#include "base/path_text.h"
#include "base/quoted.h"
#include "base/text_lines.h"
#include "platform/dir_tree.h"
#include "platform/environment.h"
#include "runner/output_filters.h"

namespace tarnwick {
namespace {

constexpr std::string_view kFailedBuild = R"({"reason":"build-finished","success":false})";
constexpr std::string_view kSucceededBuild = R"({"reason":"build-finished","success":true})";
/// How cargo's one build-finished record begins; cargo writes it on a line
/// of its own.
constexpr std::string_view kBuildEndStart = R"({"reason":"build-finished",)";

/// Where the first line of `text` that is cargo's build-finished record
/// starts, or npos.
size_t build_end_offset(std::string_view text) {
  for (size_t at = text.find(kBuildEndStart); at != std::string_view::npos;
       at = text.find(kBuildEndStart, at + 1))
    if (at == 0 || text[at - 1] == '\n') return at;
  return std::string_view::npos;
}

bool mentions_finalize(std::string_view text) {
  return text.find("finalizing incremental") != std::string_view::npos ||
         text.find("finalize incremental") != std::string_view::npos;
}

/// The string member `key` of `object`, if it is one.
const std::string* string_member(const json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

bool is_compiler_message(const json& value) {
  const std::string* reason = string_member(value, "reason");
  return reason && *reason == "compiler-message";
}

const json& message_of(const json& value) {
  static const json kNull;
  auto it = value.find("message");
  return it == value.end() ? kNull : *it;
}

bool is_absolute(std::string_view path) { return path.starts_with('/'); }

bool is_session_name(std::string_view name) {
  return name.ends_with("-working") && to_valid_utf8(name) == name;
}

void remove_session(const std::string& path) {
  if (auto status = platform::remove_tree(path); status) {
    send_log_message("info", fmt::format("removed stale incremental session directory `{}`", path));
  } else {
    send_log_message(
        "info", fmt::format("could not remove stale incremental session directory `{}`: {}", path,
                            error_text(status.error())));
  }
}

/// The real (not linked) subdirectories of `dir`; nothing when it cannot be listed.
std::vector<platform::DirEntry> real_subdirectories(const std::string& dir) {
  std::vector<platform::DirEntry> dirs;
  auto listing = platform::list_directory(dir, /*follow_link=*/false);
  if (!listing) return dirs;
  for (auto& entry : *listing)
    if (entry.kind == platform::EntryKind::Directory) dirs.push_back(std::move(entry));
  return dirs;
}

/// Removes the "-working" sessions among the entries of one incremental
/// directory and, since rustc keeps them per crate, among the entries of its
/// crate directories.
void clear_incremental_dir(const std::string& incremental) {
  for (const auto& entry : real_subdirectories(incremental)) {
    std::string path = join_path(incremental, entry.name);
    if (is_session_name(entry.name)) {
      remove_session(path);
      continue;
    }
    for (const auto& session : real_subdirectories(path))
      if (is_session_name(session.name)) remove_session(join_path(path, session.name));
  }
}

}  // namespace

std::string incremental_target_dir(const std::optional<std::string>& cwd,
                                   const TargetDirOverride& target_dir_override) {
  std::optional<std::string> configured =
      target_dir_override ? *target_dir_override : platform::get_env("CARGO_TARGET_DIR");
  std::string base = cwd ? *cwd : platform::current_directory().value_or("");
  if (configured && !configured->empty()) {
    if (is_absolute(*configured)) return *configured;
    return join_path(base, *configured);
  }
  return join_path(base, "target");
}

void clear_stale_incremental_sessions(const std::optional<std::string>& cwd,
                                      const TargetDirOverride& target_dir_override) {
  std::string target = incremental_target_dir(cwd, target_dir_override);
  // The target directory itself may be a link the user set up; nothing below it is followed.
  auto listing = platform::list_directory(target, /*follow_link=*/true);
  if (!listing) return;
  for (const auto& entry : *listing) {
    if (entry.kind != platform::EntryKind::Directory) continue;
    std::string incremental = join_path(join_path(target, entry.name), "incremental");
    clear_incremental_dir(incremental);
  }
}

std::optional<std::string> demote_finalize_advisory(std::string_view line) {
  // Every line of the run passes here; 'z' is rare enough to look for first.
  if (!has_substring_rare_last(line, "finaliz") || !has_substring(line, "\"compiler-message\""))
    return std::nullopt;
  std::optional<json> parsed = parse_json_line(line);
  if (!parsed || !is_compiler_message(*parsed)) return std::nullopt;
  json& value = *parsed;
  const json& message = message_of(value);
  const std::string* level = string_member(message, "level");
  if (!level || (*level != "error" && *level != "warning")) return std::nullopt;
  const std::string* text = string_member(message, "message");
  if (!text || !mentions_finalize(*text)) return std::nullopt;

  std::string prefix = *level + ": ";
  json& editable = value["message"];
  editable["level"] = "note";
  if (const std::string* rendered = string_member(editable, "rendered"))
    editable["rendered"] = replace_first_with_note(*rendered, prefix);
  return to_json_text(value);
}

bool is_build_end_record(std::string_view line) { return line.starts_with(kBuildEndStart); }

int32_t rescue_finalize_advisory(std::string& stdout_text, int32_t exit_code,
                                 const ProgressSink& sink) {
  // Only cargo's own build failure is rescued: a run whose build succeeded
  // may have run tests, and what they print is not the build's.
  std::string_view text = stdout_text;
  size_t build_end = build_end_offset(text);
  if (build_end == std::string_view::npos) return exit_code;
  size_t newline = text.find('\n', build_end);
  size_t line_end =
      newline == std::string_view::npos ? text.size() : line_content_end(text, build_end, newline);
  std::string_view build_end_line = text.substr(build_end, line_end - build_end);
  if (build_end_line != kFailedBuild) return exit_code;
  bool advisory_seen = false;
  for (std::string_view line : split_lines(text.substr(0, build_end))) {
    std::optional<json> value = parse_json_line(line);
    if (!value || !is_compiler_message(*value)) continue;
    const json& message = message_of(*value);
    const std::string* level = string_member(message, "level");
    if (!level) continue;
    if (*level == "error") return exit_code;
    const std::string* said = string_member(message, "message");
    if (*level == "note" && said && mentions_finalize(*said)) advisory_seen = true;
  }
  if (!advisory_seen) return exit_code;

  stdout_text.replace(build_end, build_end_line.size(), mark_build_success(build_end_line));
  json note = {
      {"reason", "x-tarnwick-note"},
      {"text",
       fmt::format("tarnwick: build succeeded; exit {} was caused by -D warnings escalating "
                   "the incremental-session finalise advisory to a hard error. The source "
                   "compiled without errors. See the tarnwick README for details.",
                   exit_code)}};
  std::string record = to_json_text(note);
  sink(record);
  stdout_text.append(record).push_back('\n');
  return 0;
}

std::string mark_build_success(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (true) {
    size_t found = text.find(kFailedBuild, pos);
    if (found == std::string_view::npos) break;
    out.append(text.substr(pos, found - pos)).append(kSucceededBuild);
    pos = found + kFailedBuild.size();
  }
  out.append(text.substr(pos));
  return out;
}

std::string replace_first_with_note(std::string_view text, std::string_view prefix) {
  size_t found = text.find(prefix);
  if (found == std::string_view::npos) return std::string(text);
  return fmt::format("{}note: {}", text.substr(0, found), text.substr(found + prefix.size()));
}

}  // namespace tarnwick
